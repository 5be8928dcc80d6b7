// Picture loading and resampling, each timed as a whole process beside the outside tool that
// sets its target:
//   loading a 3000 x 2000 baseline JPEG  vs  libjpeg-turbo's djpeg decoding it to /dev/null
//   ResampleBitmap 3000 x 2000 -> 2236 x 1490 with MitchellFilter  vs  ImageMagick's resize with
//   the same filter on one thread
// The test pictures are made once with ImageMagick in a temporary folder.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
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
void run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {})
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
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(args[0] + " failed");
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
    for (auto _ : state)
        run({"djpeg", "-outfile", "/dev/null", pictures().jpeg});
}

void BM_JpegLoadPictureFile(benchmark::State& state)
{
    for (auto _ : state)
        run({B2D_PICTURE_TOOL, "load", pictures().jpeg});
}

void BM_MitchellImageMagickOneThread(benchmark::State& state)
{
    for (auto _ : state)
        run({convertProgram(), pictures().ppm, "-filter", "Mitchell", "-resize", "2236x1490!",
             "null:"},
            {"MAGICK_THREAD_LIMIT=1"});
}

void BM_MitchellResampleBitmap(benchmark::State& state)
{
    for (auto _ : state)
        run({B2D_PICTURE_TOOL, "resample", pictures().ppm, "2236", "1490"});
}

// Child processes do the work: wall-clock time is the measure.
BENCHMARK(BM_JpegDjpegToDevNull)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_JpegLoadPictureFile)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_MitchellImageMagickOneThread)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_MitchellResampleBitmap)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

BENCHMARK_MAIN();
