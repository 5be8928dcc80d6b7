#pragma once

// Raw deflate (no zlib header, as the deflated transfer syntax holds it) of one buffer with each
// engine the benchmarks compare. Each returns the compressed size.

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace b2d::bench {

inline size_t zlibDeflate(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, int level)
{
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    out.resize(deflateBound(&stream, uLong(in.size())));
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = uInt(in.size());
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const size_t produced = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("zlib deflate failed");
    return produced;
}

inline size_t libdeflateDeflate(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, int level)
{
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    if (compressor == nullptr)
        throw std::runtime_error("libdeflate_alloc_compressor failed");
    out.resize(libdeflate_deflate_compress_bound(compressor, in.size()));
    const size_t produced = libdeflate_deflate_compress(compressor, in.data(), in.size(), out.data(), out.size());
    libdeflate_free_compressor(compressor);
    if (produced == 0)
        throw std::runtime_error("libdeflate failed");
    return produced;
}

inline size_t isalDeflate(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, int level)
{
    static std::vector<uint8_t> levelBuffer(ISAL_DEF_LVL3_DEFAULT);
    isal_zstream stream;
    isal_deflate_init(&stream);
    stream.level = uint32_t(level);
    stream.level_buf = levelBuffer.data();
    stream.level_buf_size = uint32_t(levelBuffer.size());
    stream.end_of_stream = 1;
    stream.flush = NO_FLUSH;
    out.resize(in.size() + in.size() / 4 + 65536);
    stream.next_in = const_cast<uint8_t*>(in.data());
    stream.avail_in = uint32_t(in.size());
    stream.next_out = out.data();
    stream.avail_out = uint32_t(out.size());
    if (isal_deflate(&stream) != COMP_OK || stream.internal_state.state != ZSTATE_END)
        throw std::runtime_error("ISA-L deflate failed");
    return stream.total_out;
}

} // namespace b2d::bench
