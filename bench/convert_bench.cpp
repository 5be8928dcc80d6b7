// Converting a 3000 x 2000 JPEG into a deflated object in a DICOM directory, against the sum of
// its two big parts measured in the same program: loading the picture and deflating its pixel
// bytes with the engine and level the deflated writer uses (ISA-L, deflateLevel()). Target: at
// most 1.15 x that sum. zlib level 6 (DCMTK's deflate) on the same bytes is timed beside it:
// "x_zlib6_speed" and "x_zlib6_size" of BM_DeflatePixels compare the engine with it.
//
//   b2d_convert_bench                 the timings; the ratio is the counter "x_parts"
//   b2d_convert_bench --memory        peak memory of one conversion over the idle program,
//                                     against the picture's raw size (target: at most 3.5 x)

#include "DeflateEngines.h"

#include "common/Bitmap.h"
#include "common/VeltaronTools.h"
#include "dicom/ComVtDicom_TLB.h"
#include "dicom/uDicom.h"
#include "pictures/gfx_files.h"
#include "stores/ImageData.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QImage>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

constexpr int Width = 3000;
constexpr int Height = 2000;

struct Corpus {
    QTemporaryDir dir;
    QString jpeg;
    b2d::DicomDirHandler handler;
    Corpus()
    {
        // A photograph-like picture: gradients with noise, saved as a baseline JPEG.
        QImage img(Width, Height, QImage::Format_RGB888);
        std::mt19937 random(99);
        std::uniform_int_distribution<int> noise(-6, 6);
        for (int y = 0; y < Height; ++y) {
            uchar* line = img.scanLine(y);
            for (int x = 0; x < Width; ++x) {
                line[x * 3] = uchar(std::clamp(x * 200 / Width + 30 + noise(random), 0, 255));
                line[x * 3 + 1] = uchar(std::clamp(y * 180 / Height + 40 + noise(random), 0, 255));
                line[x * 3 + 2] = uchar(std::clamp((x + y) * 120 / (Width + Height) + 60 + noise(random), 0, 255));
            }
        }
        jpeg = dir.filePath("photo.jpg");
        img.save(jpeg, "JPEG", 90);
        handler.dicomdirkatalog = dir.filePath("store") + "/";
        handler.uniktnr = 1;
    }
};

Corpus& corpus()
{
    static Corpus c;
    return c;
}

double loadSeconds = 0, deflateSeconds = 0;

template <typename F>
double timed(F&& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<uint8_t> loadRgb()
{
    b2d::Bitmap picture(0, 0, b2d::PixelFormat::Bits24);
    b2d::LoadPictureFile(picture, corpus().jpeg);
    return b2d::ExtractRgbPixels(picture);
}

void BM_Load(benchmark::State& state)
{
    for (auto _ : state) {
        b2d::Bitmap picture(0, 0, b2d::PixelFormat::Bits24);
        loadSeconds = timed([&] { b2d::LoadPictureFile(picture, corpus().jpeg); });
        benchmark::DoNotOptimize(picture.bits());
    }
}

double zlib6Seconds = 0, zlib6Bytes = 0;

void BM_ZlibDeflatePixels(benchmark::State& state)
{
    const std::vector<uint8_t> rgb = loadRgb();
    std::vector<uint8_t> out;
    for (auto _ : state)
        zlib6Seconds = timed([&] { zlib6Bytes = double(b2d::bench::zlibDeflate(rgb, out, 6)); });
    state.counters["out_MB"] = zlib6Bytes / 1e6;
}

void BM_DeflatePixels(benchmark::State& state)
{
    const std::vector<uint8_t> rgb = loadRgb();
    std::vector<uint8_t> out;
    double bytes = 0;
    for (auto _ : state)
        deflateSeconds = timed([&] { bytes = double(b2d::bench::isalDeflate(rgb, out, b2d::deflateLevel())); });
    state.SetLabel("ISA-L level " + std::to_string(b2d::deflateLevel()));
    state.counters["out_MB"] = bytes / 1e6;
    if (zlib6Seconds > 0) {
        state.counters["x_zlib6_speed"] = zlib6Seconds / deflateSeconds;
        state.counters["x_zlib6_size"] = bytes / zlib6Bytes;
    }
}

b2d::ConvertOutput convertOnce()
{
    static const std::vector<b2d::StandardTag> noTags;
    b2d::ConvertInput in;
    in.file = corpus().jpeg;
    in.modality = "XC";
    in.sopClassUid = "1.2.840.10008.5.1.4.1.1.77.1.4";
    in.zlibCode = 25;
    b2d::PictureRows rows;
    rows.PATIENTNR = 1;
    rows.LOPNR = 1;
    rows.KATNR = 1;
    rows.PERSONNR = "19500101-1234";
    rows.DATUM = QDateTime::currentDateTime();
    b2d::ConversionContext context;
    context.standardTags = &noTags;
    context.handler = &corpus().handler;
    b2d::ConvertOutput out;
    if (!b2d::convertToDicom(in, rows, context, out))
        std::fprintf(stderr, "conversion failed: %s\n", qPrintable(out.errorText));
    return out;
}

void BM_Convert(benchmark::State& state)
{
    for (auto _ : state) {
        const double seconds = timed([] { convertOnce(); });
        state.counters["x_parts"] = seconds / (loadSeconds + deflateSeconds);
    }
}

BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ZlibDeflatePixels)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DeflatePixels)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Convert)->Unit(benchmark::kMillisecond)->Iterations(3);

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--memory") == 0) {
        corpus(); // the test picture exists before the idle size is taken
        const long idle = peakKilobytes();
        convertOnce();
        const double raw = double(Width) * Height * 3 / 1024.0;
        const long peak = peakKilobytes();
        std::printf("idle %ld KiB, peak %ld KiB, added %.1f x the raw pixel size (%.0f KiB)\n", idle, peak,
                    double(peak - idle) / raw, raw);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
