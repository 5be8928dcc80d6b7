// The deflate engines on two pictures, and storing each picture as a deflated DICOM file with
// our writer (ISA-L) against DCMTK's own deflated writing with zlib level 6.
//
//   b2d_dicom_bench [--benchmark_filter=...]
//
// Pictures: "photo", 3000 x 2000 RGB gradients with sensor noise; "scan", a 2000 x 2500 grey
// page of text-like bands on a light background.
// BM_Engine/<picture>/<engine>/<level>: engine 0 zlib, 1 libdeflate, 2 ISA-L on the raw pixels.
//   Counters: out_MB, x_zlib6_size (size against zlib 6), x_zlib6_speed (zlib 6's time / this).
// BM_Save/<picture>/<writer>: writer 0 SaveToFile (ISA-L at deflateLevel(), set with
//   B2D_DEFLATE_LEVEL), writer 1 DCMTK's saveFile with zlib 6. Counters as above, against the
//   DCMTK file (the whole file: meta header, encoding, deflate, flush to disk, rename).

#include "DeflateEngines.h"

#include "dicom/ComVtDicom_TLB.h"

#include <benchmark/benchmark.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrmz.h>

#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace {

struct Picture {
    int width;
    int height;
    int samples;
    std::vector<uint8_t> pixels;
};

// A photograph-like picture: smooth gradients with sensor noise, so that deflate works about as
// hard as on real pictures (neither all-equal nor incompressible bytes).
Picture makePhoto()
{
    Picture p{3000, 2000, 3, {}};
    p.pixels.resize(size_t(p.width) * size_t(p.height) * 3);
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> noise(-3, 3);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            uint8_t* px = p.pixels.data() + (size_t(y) * size_t(p.width) + size_t(x)) * 3;
            px[0] = uint8_t(std::clamp(x * 200 / p.width + 30 + noise(random), 0, 255));
            px[1] = uint8_t(std::clamp(y * 180 / p.height + 40 + noise(random), 0, 255));
            px[2] = uint8_t(std::clamp((x + y) * 120 / (p.width + p.height) + 60 + noise(random), 0, 255));
        }
    return p;
}

// A grey scan: light paper with a little noise and darker bands of "text".
Picture makeScan()
{
    Picture p{2000, 2500, 1, {}};
    p.pixels.resize(size_t(p.width) * size_t(p.height));
    std::mt19937 random(99);
    std::normal_distribution<double> noise(0, 2);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            double v = 230;
            if ((y / 40) % 3 == 1 && x % 300 < 220)
                v = 40 + (x * 7 + y * 3) % 50;
            p.pixels[size_t(y) * size_t(p.width) + size_t(x)] = uint8_t(std::clamp(int(v + noise(random)), 0, 255));
        }
    return p;
}

const Picture& picture(int index)
{
    static const Picture photo = makePhoto();
    static const Picture scan = makeScan();
    return index == 0 ? photo : scan;
}

const char* pictureName(int index)
{
    return index == 0 ? "photo" : "scan";
}

template <typename F>
double timed(F&& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Reference {
    double seconds = 0;
    double bytes = 0;
};

// zlib level 6 on the raw pixels: best of three, measured once per picture.
const Reference& zlib6(int index)
{
    static std::map<int, Reference> done;
    auto found = done.find(index);
    if (found != done.end())
        return found->second;
    Reference r{1e30, 0};
    std::vector<uint8_t> out;
    for (int i = 0; i < 3; ++i)
        r.seconds = std::min(r.seconds, timed([&] { r.bytes = double(b2d::bench::zlibDeflate(picture(index).pixels, out, 6)); }));
    return done[index] = r;
}

void BM_Engine(benchmark::State& state)
{
    const int index = int(state.range(0));
    const int engine = int(state.range(1));
    const int level = int(state.range(2));
    const Picture& p = picture(index);
    const Reference& reference = zlib6(index);
    std::vector<uint8_t> out;
    size_t size = 0;
    double total = 0;
    for (auto _ : state) {
        total += timed([&] {
            size = engine == 0   ? b2d::bench::zlibDeflate(p.pixels, out, level)
                   : engine == 1 ? b2d::bench::libdeflateDeflate(p.pixels, out, level)
                                 : b2d::bench::isalDeflate(p.pixels, out, level);
        });
    }
    const double seconds = total / double(state.iterations());
    state.SetLabel(std::string(pictureName(index)) + (engine == 0 ? " zlib" : engine == 1 ? " libdeflate" : " ISA-L") +
                   " level " + std::to_string(level));
    state.counters["out_MB"] = double(size) / 1e6;
    state.counters["x_zlib6_size"] = double(size) / reference.bytes;
    state.counters["x_zlib6_speed"] = reference.seconds / seconds;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.pixels.size()));
}

b2d::DicomDataSetPtr dataSet(const Picture& p)
{
    using b2d::combinedTag;
    b2d::DicomDataSetPtr ds = b2d::CreateDicomDataSet();
    ds->AddString(combinedTag(0x0008, 0x0016), QStringLiteral("1.2.840.10008.5.1.4.1.1.77.1.4"), true);
    ds->AddString(combinedTag(0x0008, 0x0018), QStringLiteral("1.2.826.0.1.3680043.10.1134.5.1.1"), true);
    ds->AddString2(0x0010, 0x0010, QStringLiteral("Åström^Karin"), true);
    ds->AddString2(0x0010, 0x0020, QStringLiteral("19500101-1234"), true);
    ds->AddString2(0x0028, 0x0002, QString::number(p.samples), true);
    ds->AddString2(0x0028, 0x0004, p.samples == 3 ? QStringLiteral("RGB") : QStringLiteral("MONOCHROME2"), true);
    if (p.samples == 3)
        ds->AddString2(0x0028, 0x0006, QStringLiteral("0"), true);
    ds->AddString2(0x0028, 0x0100, QStringLiteral("8"), true);
    ds->AddString2(0x0028, 0x0101, QStringLiteral("8"), true);
    ds->AddString2(0x0028, 0x0102, QStringLiteral("7"), true);
    ds->AddString2(0x0028, 0x0103, QStringLiteral("0"), true);
    ds->AddString2(0x0028, 0x0011, QString::number(p.width), true);
    ds->AddString2(0x0028, 0x0010, QString::number(p.height), true);
    ds->AddByteArray(combinedTag(0x7FE0, 0x0010), int64_t(p.pixels.size()), true, p.pixels);
    ds->CreateIcon(170, 113, 1);
    return ds;
}

// DCMTK writing the same object deflated with zlib level 6, as it did before our writer.
Reference& dcmtkZlib6(int index)
{
    static std::map<int, Reference> done;
    return done[index];
}

void BM_Save(benchmark::State& state)
{
    const int index = int(state.range(0));
    const bool dcmtk = state.range(1) == 1;
    QTemporaryDir dir;
    const b2d::DicomDataSetPtr ds = dataSet(picture(index));
    const QString path = dir.filePath(QStringLiteral("object.dcm"));
    DcmFileFormat loaded;
    if (dcmtk) {
        const QString plain = dir.filePath(QStringLiteral("plain.dcm"));
        ds->SaveToFile(plain, b2d::TransferSyntaxCode::ExplicitLittleEndian);
        if (loaded.loadFile(plain.toStdString().c_str()).bad())
            state.SkipWithError("the uncompressed file cannot be read");
        loaded.loadAllDataIntoMemory();
        dcmZlibCompressionLevel.set(6);
    }
    double total = 0;
    for (auto _ : state) {
        total += timed([&] {
            if (dcmtk)
                loaded.saveFile(path.toStdString().c_str(), EXS_DeflatedLittleEndianExplicit);
            else
                ds->SaveToFile(path, b2d::TransferSyntaxCode::Deflated);
        });
    }
    const double seconds = total / double(state.iterations());
    const double bytes = double(QFileInfo(path).size());
    state.SetLabel(std::string(pictureName(index)) +
                   (dcmtk ? " DCMTK zlib 6" : " SaveToFile ISA-L level " + std::to_string(b2d::deflateLevel())));
    state.counters["out_MB"] = bytes / 1e6;
    Reference& reference = dcmtkZlib6(index);
    if (dcmtk)
        reference = {seconds, bytes};
    if (reference.bytes > 0) {
        state.counters["x_zlib6_size"] = bytes / reference.bytes;
        state.counters["x_zlib6_speed"] = reference.seconds / seconds;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(picture(index).pixels.size()));
}

void engineArguments(benchmark::internal::Benchmark* b)
{
    for (int index : {0, 1}) {
        b->Args({index, 0, 6});
        b->Args({index, 0, 1});
        b->Args({index, 1, 1});
        b->Args({index, 1, 6});
        for (int level : {1, 2, 3})
            b->Args({index, 2, level});
    }
}

} // namespace

BENCHMARK(BM_Engine)->Apply(engineArguments)->Unit(benchmark::kMillisecond)->MinTime(1.0);
// The DCMTK reference runs first, so that SaveToFile's counters compare against it.
BENCHMARK(BM_Save)->Args({0, 1})->Args({0, 0})->Args({1, 1})->Args({1, 0})->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
