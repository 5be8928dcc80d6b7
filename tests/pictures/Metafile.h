#pragma once

#include <QByteArray>

#include <initializer_list>

namespace b2d::test {

// Builds a placeable metafile: a 1 x 2/3 inch frame with a red rectangle filling the middle half.
inline QByteArray SmallMetafile()
{
    QByteArray body;
    auto word = [&body](int v) { body.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF)); };
    auto record = [&](int function, std::initializer_list<int> params) {
        const int words = 3 + int(params.size());
        word(words & 0xFFFF);
        word(words >> 16);
        word(function);
        for (int v : params)
            word(v);
    };
    record(0x020B, {0, 0});                     // SetWindowOrg y, x
    record(0x020C, {960, 1440});                // SetWindowExt height, width
    record(0x02FC, {0, 0x00FF, 0x0000, 0});     // CreateBrushIndirect solid, red
    record(0x012D, {0});                        // SelectObject brush
    record(0x02FA, {5, 0, 0, 0, 0});            // CreatePenIndirect null pen
    record(0x012D, {1});                        // SelectObject pen
    record(0x041B, {720, 1080, 240, 360});      // Rectangle bottom, right, top, left
    record(0x0000, {});                         // EOF

    QByteArray header;
    auto hword = [&header](int v) { header.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF)); };
    const int totalWords = (18 + int(body.size())) / 2;
    hword(1);                // in a file
    hword(9);                // header words
    hword(0x0300);           // version
    hword(totalWords & 0xFFFF);
    hword(totalWords >> 16);
    hword(2);                // objects
    hword(8);                // largest record, words
    hword(0);
    hword(0);                // members

    QByteArray placeable;
    auto pword = [&placeable](int v) { placeable.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF)); };
    pword(0xCDD7);
    pword(0x9AC6);
    pword(0);
    for (int v : {0, 0, 1440, 960, 1440, 0, 0})
        pword(v);
    quint16 checksum = 0;
    for (int i = 0; i < 20; i += 2)
        checksum ^= quint16(uchar(placeable[i]) | (uchar(placeable[i + 1]) << 8));
    pword(checksum);
    return placeable + header + body;
}

} // namespace b2d::test
