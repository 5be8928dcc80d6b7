// Picture loading and resampling, each timed as a whole process beside the outside tool that
// sets its target:
//   loading a 3000 x 2000 baseline JPEG  vs  libjpeg-turbo's djpeg decoding it to /dev/null
//   ResampleBitmap 3000 x 2000 -> 2236 x 1490 with MitchellFilter  vs  ImageMagick's resize with
//   the same filter on one thread
// The test pictures are made once with ImageMagick in a temporary folder.

#include "pictures/gfx_effects.h"
#include "pictures/gfx_files.h"

#include <benchmark/benchmark.h>

#include <QString>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Runs a program to its end with stdout and stderr on /dev/null; throws unless it exits 0.
// Returns the CPU time (user + system) the child used, in milliseconds: on a machine shared
// with other work it is steadier than the wall-clock time.
double run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {})
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStrings(extraEnv);
    for (char** e = environ; *e; ++e)
        envStrings.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start " + args[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(args[0] + " failed");
    auto ms = [](const timeval& t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Times a whole process per iteration; the child's CPU time goes into the counter "cpu_ms".
void runProcesses(benchmark::State& state, const std::vector<std::string>& args,
                  const std::vector<std::string>& extraEnv = {})
{
    double cpu = 0;
    for (auto _ : state)
        cpu += run(args, extraEnv);
    state.counters["cpu_ms"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

std::string convertProgram()
{
    return fs::exists("/usr/bin/convert") ? "/usr/bin/convert" : "convert";
}

struct Pictures {
    fs::path folder;
    std::string jpeg, ppm;

    Pictures()
    {
        folder = fs::temp_directory_path() / "b2d_picture_bench";
        fs::create_directories(folder);
        jpeg = (folder / "photo_3000x2000.jpg").string();
        ppm = (folder / "photo_3000x2000.ppm").string();
        if (!fs::exists(ppm))
            run({convertProgram(), "-seed", "5", "-size", "3000x2000", "plasma:fractal", "-blur",
                 "0x2", "-depth", "8", ppm});
        if (!fs::exists(jpeg))
            run({convertProgram(), ppm, "-quality", "90", "-sampling-factor", "2x2",
                 "-interlace", "None", jpeg});
    }
};

const Pictures& pictures()
{
    static const Pictures p;
    return p;
}

void BM_JpegDjpegToDevNull(benchmark::State& state)
{
    runProcesses(state, {"djpeg", "-outfile", "/dev/null", pictures().jpeg});
}

void BM_JpegDecoderProcess(benchmark::State& state)
{
    runProcesses(state, {B2D_PICTURE_TOOL, "jpeg", pictures().jpeg});
}

// The same through LoadPictureFile, Qt's start-up included.
void BM_JpegLoadPictureFileProcess(benchmark::State& state)
{
    runProcesses(state, {B2D_LOAD_TOOL, "load", pictures().jpeg});
}

// What one more picture costs inside the running program.
void BM_JpegLoadPictureFileInProcess(benchmark::State& state)
{
    const QString file = QString::fromStdString(pictures().jpeg);
    for (auto _ : state) {
        b2d::Bitmap picture;
        b2d::LoadPictureFile(picture, file);
        benchmark::DoNotOptimize(picture.bits());
    }
}

void BM_MitchellImageMagickOneThread(benchmark::State& state)
{
    runProcesses(state,
                 {convertProgram(), pictures().ppm, "-filter", "Mitchell", "-resize", "2236x1490!",
                  "null:"},
                 {"MAGICK_THREAD_LIMIT=1"});
}

void BM_MitchellResampleBitmapProcess(benchmark::State& state)
{
    runProcesses(state, {B2D_PICTURE_TOOL, "resample", pictures().ppm, "2236", "1490"});
}

void BM_MitchellResampleBitmapInProcess(benchmark::State& state)
{
    b2d::Bitmap source;
    b2d::LoadPictureFile(source, QString::fromStdString(pictures().jpeg));
    for (auto _ : state) {
        b2d::Bitmap target;
        b2d::ResampleBitmap(source, target, 2236, 1490, b2d::FilterKind::MitchellFilter, 3.0f);
        benchmark::DoNotOptimize(target.bits());
    }
}

// Child processes do the work: wall-clock time is the measure.
BENCHMARK(BM_JpegDjpegToDevNull)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_JpegDecoderProcess)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_JpegLoadPictureFileProcess)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_JpegLoadPictureFileInProcess)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_MitchellImageMagickOneThread)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_MitchellResampleBitmapProcess)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_MitchellResampleBitmapInProcess)->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

BENCHMARK_MAIN();
