// The demo practice converted end to end (every patient into its DICOM-directory store, over-large
// pictures shrunk with the Mitchell filter, objects deflated), against the sum of its parts done
// alone on the same pictures: loading each picture, shrinking the over-large one, and deflating
// the pixel bytes each stored object holds.
//
//   b2d_run_throughput [RUNS]     (default 3; the best run counts)
//
// Prints the run's pictures per second and raw megabytes (decoded 24-bit pixels) per second, the
// time of each part, and the run's time over the sum of the parts.

#include "app/RunSession.h"
#include "common/Bitmap.h"
#include "common/Messages.h"
#include "common/Settings.h"
#include "db/DemoPractice.h"
#include "pictures/gfx_effects.h"
#include "pictures/gfx_files.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrmz.h>

#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

using namespace b2d;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Raw deflate at DCMTK's level, as the deflated transfer syntax holds it.
void deflateBytes(const Uint8* data, size_t size)
{
    z_stream stream{};
    if (deflateInit2(&stream, dcmZlibCompressionLevel.get(), Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::vector<uint8_t> out(deflateBound(&stream, uLong(size)));
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = uInt(size);
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
}

struct RunFigures {
    double seconds = 0;
    double cpuSeconds = 0; // the rest of seconds is spent waiting, mostly for the disk
    int successes = 0;
    int failures = 0;
    QStringList pictures; // files of the converted pictures
};

RunFigures convertDemo(const DemoPracticeInfo& demo, const QString& logFolder)
{
    auto settings = Settings::createDefault(currentWorkFolder());
    ScriptedMessages messages;
    messages.defaultAnswer = true; // clearing the lists of the previous run
    RunObserver observer;
    RunSession session(*settings, messages, observer, logFolder);
    if (!session.connect(demo.dataLinkFile, QString(), QString(), nullptr) || !session.selectSeries("Dicomkatalog"))
        throw std::runtime_error("cannot connect to the demo practice");
    RunOptions options;
    options.shrink = true;
    options.filter = FilterKind::MitchellFilter;
    options.zlib = true;

    const Clock::time_point start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    session.run.btnExecuteClick(options);
    RunFigures figures;
    figures.seconds = secondsSince(start);
    figures.cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    figures.successes = session.run.successes;
    figures.failures = session.run.failures;

    QFile log(logFolder + "SUCCEED_LOGG.TXT");
    if (!log.open(QIODevice::ReadOnly))
        throw std::runtime_error("no SUCCEED log");
    static const QRegularExpression picture(QStringLiteral("^Patientnr: .*, Bild: (.*) \\(\\d+ byte\\)"));
    for (const QString& line : QString::fromLatin1(log.readAll()).split("\r\n"))
        if (const QRegularExpressionMatch m = picture.match(line); m.hasMatch())
            figures.pictures << m.captured(1);
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir work;
    // Settings and data links of this program only, never the machine's.
    qputenv("B2D_USER_SETTINGS_ROOT", (work.path() + "/user").toUtf8());
    qputenv("B2D_MACHINE_SETTINGS_ROOT", (work.path() + "/machine").toUtf8());
    qputenv("B2D_COMMON_FILES", (work.path() + "/common").toUtf8());
    QGuiApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    try {
        const DemoPracticeInfo demo = createDemoPractice(work.filePath("demo"), false);
        const QString logFolder = demo.folder + "/";

        RunFigures best;
        for (int i = 0; i < runs; ++i) {
            RunFigures r = convertDemo(demo, logFolder);
            std::printf("run %d: %.3f s (%.3f s on the processor), %d converted, %d failed\n", i + 1, r.seconds,
                        r.cpuSeconds, r.successes, r.failures);
            if (i == 0 || r.seconds < best.seconds)
                best = std::move(r);
        }

        // The parts, each done alone on the same pictures (best of the runs as well).
        const uint32_t maximumBytes = 40u * 1'000'000u;
        double loadSeconds = 1e9, shrinkSeconds = 1e9, deflateSeconds = 1e9;
        double rawBytes = 0;
        for (int i = 0; i < runs; ++i) {
            double load = 0, shrink = 0;
            rawBytes = 0;
            for (const QString& file : best.pictures) {
                Bitmap picture(0, 0, PixelFormat::Bits24);
                Clock::time_point start = Clock::now();
                LoadPictureFile(picture, file);
                picture.convertTo24();
                load += secondsSince(start);
                const double size = double(picture.width()) * picture.height() * 3;
                rawBytes += size;
                if (size > maximumBytes) {
                    const double f = std::sqrt(double(maximumBytes) / size);
                    Bitmap target(0, 0, PixelFormat::Bits24);
                    start = Clock::now();
                    ResampleBitmap(picture, target, int(std::trunc(f * picture.width())),
                                   int(std::trunc(f * picture.height())), FilterKind::MitchellFilter, 3.0f);
                    shrink += secondsSince(start);
                }
            }
            double deflateTime = 0;
            QDirIterator it(demo.dicomDirFolder, {"*.dcm"}, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                DcmFileFormat object;
                if (object.loadFile(QFile::encodeName(it.next()).constData()).bad())
                    throw std::runtime_error("a stored object does not load");
                const Uint8* pixels = nullptr;
                unsigned long length = 0;
                if (object.getDataset()->findAndGetUint8Array(DCM_PixelData, pixels, &length).bad())
                    throw std::runtime_error("a stored object has no pixel data");
                const Clock::time_point start = Clock::now();
                deflateBytes(pixels, length);
                deflateTime += secondsSince(start);
            }
            loadSeconds = std::min(loadSeconds, load);
            shrinkSeconds = std::min(shrinkSeconds, shrink);
            deflateSeconds = std::min(deflateSeconds, deflateTime);
        }

        const double parts = loadSeconds + shrinkSeconds + deflateSeconds;
        const double mb = rawBytes / 1e6;
        std::printf("\nconversion run: %d pictures, %.1f MB raw pixels in %.3f s\n", best.successes, mb, best.seconds);
        std::printf("  %.1f pictures/s, %.1f raw MB/s\n", best.successes / best.seconds, mb / best.seconds);
        std::printf("parts alone: loading %.3f s, shrinking %.3f s, deflating %.3f s = %.3f s\n", loadSeconds,
                    shrinkSeconds, deflateSeconds, parts);
        std::printf("  %.1f pictures/s, %.1f raw MB/s\n", best.successes / parts, mb / parts);
        std::printf("run / sum of parts: %.2f\n", best.seconds / parts);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "b2d_run_throughput: %s\n", e.what());
        return 1;
    }
    return 0;
}
