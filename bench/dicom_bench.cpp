// Storing a 3000 x 2000 RGB data set as a deflated DICOM file (SaveToFile with code 25: meta
// header, encoding, deflate, flush to disk, rename) against zlib alone deflating the same pixel
// bytes at the same level into memory. The target: the store costs at most 1.15 x the deflate.
//
//   b2d_dicom_bench [--benchmark_repetitions=5]
//
// The ratio is printed as the counter "x_deflate" of the store benchmark.

#include "dicom/ComVtDicom_TLB.h"

#include <benchmark/benchmark.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcostrmz.h>

#include <QString>
#include <QTemporaryDir>

#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr int Width = 3000;
constexpr int Height = 2000;

// A photograph-like picture: smooth gradients with sensor noise, so that deflate works about as
// hard as on real pictures (neither all-equal nor incompressible bytes).
const std::vector<uint8_t>& pixels()
{
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> p(size_t(Width) * Height * 3);
        std::mt19937 random(1234);
        std::uniform_int_distribution<int> noise(-3, 3);
        for (int y = 0; y < Height; ++y)
            for (int x = 0; x < Width; ++x) {
                uint8_t* px = p.data() + (size_t(y) * Width + x) * 3;
                px[0] = uint8_t(std::clamp(x * 200 / Width + 30 + noise(random), 0, 255));
                px[1] = uint8_t(std::clamp(y * 180 / Height + 40 + noise(random), 0, 255));
                px[2] = uint8_t(std::clamp((x + y) * 120 / (Width + Height) + 60 + noise(random), 0, 255));
            }
        return p;
    }();
    return data;
}

int level()
{
    return dcmZlibCompressionLevel.get();
}

// Raw deflate, as the deflated transfer syntax holds it.
size_t deflatePixels()
{
    const std::vector<uint8_t>& in = pixels();
    z_stream stream{};
    if (deflateInit2(&stream, level(), Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::vector<uint8_t> out(deflateBound(&stream, uLong(in.size())));
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = uInt(in.size());
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const size_t produced = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
    return produced;
}

b2d::DicomDataSetPtr dataSet()
{
    using b2d::combinedTag;
    b2d::DicomDataSetPtr ds = b2d::CreateDicomDataSet();
    ds->AddString(combinedTag(0x0008, 0x0016), QStringLiteral("1.2.840.10008.5.1.4.1.1.77.1.4"), true);
    ds->AddString(combinedTag(0x0008, 0x0018), QStringLiteral("1.2.826.0.1.3680043.10.1134.5.1.1"), true);
    ds->AddString2(0x0010, 0x0010, QStringLiteral("Åström^Karin"), true);
    ds->AddString2(0x0010, 0x0020, QStringLiteral("19500101-1234"), true);
    ds->AddString2(0x0028, 0x0002, QStringLiteral("3"), true);
    ds->AddString2(0x0028, 0x0004, QStringLiteral("RGB"), true);
    ds->AddString2(0x0028, 0x0006, QStringLiteral("0"), true);
    ds->AddString2(0x0028, 0x0100, QStringLiteral("8"), true);
    ds->AddString2(0x0028, 0x0101, QStringLiteral("8"), true);
    ds->AddString2(0x0028, 0x0102, QStringLiteral("7"), true);
    ds->AddString2(0x0028, 0x0103, QStringLiteral("0"), true);
    ds->AddString2(0x0028, 0x0011, QString::number(Width), true);
    ds->AddString2(0x0028, 0x0010, QString::number(Height), true);
    ds->AddByteArray(combinedTag(0x7FE0, 0x0010), int64_t(pixels().size()), true, pixels());
    ds->CreateIcon(170, 113, 1);
    return ds;
}

double deflateSeconds = 0;

void BM_ZlibDeflatePixels(benchmark::State& state)
{
    size_t size = 0;
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        size = deflatePixels();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    deflateSeconds = total / double(state.iterations());
    state.counters["level"] = level();
    state.counters["out_MB"] = double(size) / 1e6;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixels().size()));
}

void BM_SaveDeflatedDataSet(benchmark::State& state)
{
    QTemporaryDir dir;
    const b2d::DicomDataSetPtr ds = dataSet();
    const QString path = dir.filePath(QStringLiteral("object.dcm"));
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        ds->SaveToFile(path, b2d::TransferSyntaxCode::Deflated);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const double seconds = total / double(state.iterations());
    if (deflateSeconds > 0)
        state.counters["x_deflate"] = seconds / deflateSeconds;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixels().size()));
}

} // namespace

BENCHMARK(BM_ZlibDeflatePixels)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_SaveDeflatedDataSet)->Unit(benchmark::kMillisecond)->MinTime(3.0);

BENCHMARK_MAIN();
