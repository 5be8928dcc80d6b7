// Our own readers (PCX, TGA, PhotoCD) and the JPEG 2000 picture, each loading one picture
// through LoadPictureFile as the conversion does. The pictures (3000 x 2000, PhotoCD at its
// fixed 768 x 512) are made once with ImageMagick in a temporary folder.

#include "common/Bitmap.h"
#include "pictures/gfx_files.h"

#include <benchmark/benchmark.h>

#include <QString>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;

const fs::path& pictureFolder()
{
    static const fs::path folder = [] {
        const fs::path dir = fs::temp_directory_path() / ("b2d_readers_bench_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        const std::string source = (dir / "source.ppm").string();
        const std::string make = "convert -size 3000x2000 plasma:fractal -seed 7 " + source;
        const std::string pictures[] = {
            "convert " + source + " -type TrueColor " + (dir / "big.pcx").string(),
            "convert " + source + " -orient TopLeft -compress RLE " + (dir / "big.tga").string(),
            "convert " + source + " " + (dir / "big.jp2").string(),
            "convert " + source + " -resize 768x512! " + (dir / "big.pcd").string(),
        };
        if (std::system(make.c_str()) != 0)
            throw std::runtime_error("ImageMagick could not make the test picture");
        for (const std::string& command : pictures)
            if (std::system(command.c_str()) != 0)
                throw std::runtime_error("ImageMagick failed: " + command);
        return dir;
    }();
    return folder;
}

void loadPicture(benchmark::State& state, const char* name)
{
    const QString path = QString::fromStdString((pictureFolder() / name).string());
    for (auto _ : state) {
        b2d::Bitmap bitmap;
        b2d::LoadPictureFile(bitmap, path);
        benchmark::DoNotOptimize(bitmap.bits());
        if (bitmap.isEmpty())
            state.SkipWithError("nothing loaded");
    }
}

BENCHMARK_CAPTURE(loadPicture, pcx_24bit_3000x2000, "big.pcx")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(loadPicture, tga_rle_3000x2000, "big.tga")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(loadPicture, jp2_3000x2000, "big.jp2")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(loadPicture, pcd_768x512, "big.pcd")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::error_code ignored;
    fs::remove_all(pictureFolder(), ignored);
    return 0;
}
