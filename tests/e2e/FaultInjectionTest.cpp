#include "E2eSupport.h"

#include "dicom/DicomTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

using namespace b2d;
using namespace b2d::test;

namespace {

QStringList runArgs(const DemoFixture& demo, const QString& series, QStringList extra = {})
{
    return QStringList{"run", "--udl", demo.info.dataLinkFile, "--series", series, "--yes", "--erase"} + extra;
}

int countPrefix(const QStringList& lines, const QString& prefix)
{
    return int(std::count_if(lines.begin(), lines.end(), [&](const QString& l) { return l.startsWith(prefix); }));
}

// A started run of the program in the demo folder, killed if the test leaves it running.
class RunningProgram {
public:
    RunningProgram(DemoFixture& demo, const QStringList& args, const std::function<void()>& inChild = {})
    {
        m_process.setWorkingDirectory(demo.info.folder);
        if (inChild)
            m_process.setChildProcessModifier(inChild);
        m_process.start(B2D_BINARY, args);
        if (!m_process.waitForStarted())
            throw std::runtime_error("the program did not start");
    }
    ~RunningProgram()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }
    QProcess& process() { return m_process; }
    bool running() const { return m_process.state() == QProcess::Running; }
    // The exit code once the run ended within ms, else -1.
    int finish(int ms)
    {
        if (!m_process.waitForFinished(ms) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        return m_process.exitCode();
    }

private:
    QProcess m_process;
};

// storescp on 127.0.0.1 with extra options, its log read by the test; killed with the test.
class Storescp {
public:
    explicit Storescp(const QStringList& options)
    {
        m_port = freeTcpPort();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("storescp"),
                        QStringList{"-v", "-aet", "STORESCP", "-od", m_dir.path()} + options + QStringList{QString::number(m_port)});
        if (!m_process.waitForStarted())
            throw std::runtime_error("storescp did not start");
        for (int i = 0; i < 100; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(m_port));
            if (probe.waitForConnected(100))
                return;
            QThread::msleep(50);
        }
        throw std::runtime_error("storescp does not listen");
    }
    ~Storescp() { kill(); }
    int port() const { return m_port; }
    // Waits until storescp has logged text; false after ms.
    bool waitForLog(const QByteArray& text, int ms)
    {
        QElapsedTimer waited;
        waited.start();
        while (!m_log.contains(text) && waited.elapsed() < ms && m_process.state() == QProcess::Running) {
            m_process.waitForReadyRead(50);
            m_log += m_process.readAll();
        }
        return m_log.contains(text);
    }
    void kill()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_log;
    int m_port = 0;
};

// A TCP peer on 127.0.0.1 that is no DICOM server: it accepts connections and either closes
// each after its first bytes (in the middle of the association request) or never says a word.
// It stops with the test.
class RawPeer {
public:
    enum class Mode { CloseAfterFirstBytes, Silent };

    explicit RawPeer(Mode mode) : m_mode(mode)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(m_listener, 8) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~RawPeer()
    {
        m_stop = true;
        m_thread.join();
        for (int fd : m_open)
            ::close(fd);
        ::close(m_listener);
    }
    int port() const { return m_port; }

private:
    void serve()
    {
        while (!m_stop) {
            pollfd listening{m_listener, POLLIN, 0};
            if (::poll(&listening, 1, 100) <= 0)
                continue;
            const int fd = ::accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                continue;
            if (m_mode == Mode::Silent) {
                m_open.push_back(fd);
                continue;
            }
            // An association request is far longer than this: the peer goes away in its middle.
            char head[20];
            size_t got = 0;
            pollfd reading{fd, POLLIN, 0};
            while (got < sizeof head && ::poll(&reading, 1, 2000) > 0) {
                const ssize_t n = ::read(fd, head + got, sizeof head - got);
                if (n <= 0)
                    break;
                got += size_t(n);
            }
            ::close(fd);
        }
    }

    Mode m_mode;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::vector<int> m_open;
    std::thread m_thread;
};

// Sends the PACS series to the peer on port.
void aimAtPeer(DemoFixture& demo, int port, const QString& aeTitle)
{
    demo.exec(QStringLiteral("UPDATE DICOMSERVERS SET SERVERPORT = %1, REMOTEAE = '%2' WHERE LOPNR = 1").arg(port).arg(aeTitle));
}

} // namespace

// A statement of the database update failing for one picture takes back all of that picture's
// changes, whichever step fails and however the database ends the transaction, and the run goes
// on with the next picture.
TEST(DatabaseFaults, AFailingUpdateTakesBackThatPictureAloneAndTheRunGoesOn)
{
    DemoFixture demo;
    const PictureLedger ledger(demo);
    // The first, a middle and the last statement fail. 1010.2 is the patient's status picture:
    // its new DICOMBILDER row is refused. 1002.3 is analysed and named by a finding picture: its
    // analysis moves before BESBILDER refuses. 1006.3 is analysed: its references have all moved
    // when its row refuses to go, and RAISE(ROLLBACK) ends the transaction inside the database.
    demo.exec("CREATE TRIGGER REFUSE_OBJECT BEFORE INSERT ON DICOMBILDER WHEN NEW.PATIENTNR = 1010 AND "
              "NEW.SOPINSTANCEUID LIKE '%.1010.%.2' BEGIN SELECT RAISE(FAIL, 'DICOMBILDER är full'); END");
    demo.exec("CREATE TRIGGER REFUSE_FINDING BEFORE UPDATE ON BESBILDER WHEN NEW.PATIENTNR = 1002 AND "
              "NEW.BILD2 IS NOT OLD.BILD2 BEGIN SELECT RAISE(ABORT, 'fyndbilden är låst'); END");
    demo.exec("CREATE TRIGGER REFUSE_DELETE BEFORE DELETE ON PATBILDER WHEN OLD.PATIENTNR = 1006 AND OLD.LOPNR = 3 "
              "BEGIN SELECT RAISE(ROLLBACK, 'bilden får inte raderas'); END");
    ASSERT_EQ(demo.count("SELECT COUNT(*) FROM PATANALYSER WHERE PATIENTNR = 1002 AND BILDNR = 3"), 1);
    ASSERT_EQ(demo.count("SELECT COUNT(*) FROM PATANALYSER WHERE PATIENTNR = 1006 AND BILDNR = 3"), 1);
    ASSERT_EQ(demo.count("SELECT COUNT(*) FROM KUNDER WHERE PATIENTNR = 1010 AND PATSTATUS = 2"), 1);
    const int selected = demo.count("SELECT COUNT(*) FROM PATBILDER B WHERE B.BILDFLIK IS NOT NULL AND "
                                    "EXISTS (SELECT 1 FROM KUNDER K WHERE K.PATIENTNR = B.PATIENTNR)");

    const ProcessResult r = demo.run(runArgs(demo, "Dicomkatalog"));
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
    const QStringList failed = demo.logLines("FAILED_LOGG.TXT");
    const int successes = countPrefix(ok, "Patientnr: ");
    EXPECT_EQ(successes + countPrefix(failed, "FAILED - Patientnr: "), selected);

    struct Refused {
        const char* picture;
        const char* message;
    };
    for (const Refused& refused : {Refused{"1010.2", "DICOMBILDER är full"}, Refused{"1002.3", "fyndbilden är låst"},
                                   Refused{"1006.3", "bilden får inte raderas"}}) {
        SCOPED_TRACE(refused.picture);
        const QStringList errors = ok.filter(QStringLiteral("Error in UPDATE/DELETE! Picture: %1, ").arg(refused.picture));
        ASSERT_EQ(errors.size(), 1) << ok.join('\n');
        EXPECT_TRUE(errors[0].contains(refused.message)) << errors[0];
        EXPECT_EQ(ok.filter(QStringLiteral("Deleted picture: %1").arg(refused.picture)).size(), 0);
        // The object stays stored; the database keeps the row and every old reference.
        const std::map<QString, QString> objects = objectsByPicture(demo.info.dicomDirFolder);
        const auto object = objects.find(refused.picture);
        ASSERT_NE(object, objects.end());
        EXPECT_EQ(objectProblem(object->second), QString());
        EXPECT_EQ(demo.count(QStringLiteral("SELECT COUNT(*) FROM DICOMBILDER WHERE SOPINSTANCEUID = '%1'")
                                 .arg(QFileInfo(object->second).completeBaseName())),
                  0);
    }
    EXPECT_EQ(demo.count("SELECT COUNT(*) FROM PATANALYSER WHERE PATIENTNR = 1002 AND BILDNR = 3"), 1);
    EXPECT_EQ(demo.count("SELECT COUNT(*) FROM PATANALYSER WHERE PATIENTNR = 1006 AND BILDNR = 3"), 1);
    EXPECT_EQ(demo.count("SELECT COUNT(*) FROM KUNDER WHERE PATIENTNR = 1010 AND PATSTATUS = 2"), 1);
    EXPECT_EQ(demo.scalar("SELECT BILD2 FROM BESBILDER WHERE PATIENTNR = 1002 AND LOPNR = 1").toString(),
              "Status_1002_3.PNG");
    // Every other picture converted in full, those of the same patients and those after them.
    EXPECT_EQ(ledger.expectWholePictures(demo, demo.info.dicomDirFolder), successes - 3);
    EXPECT_EQ(countPrefix(ok, "Deleted picture: "), successes - 3);
    EXPECT_EQ(demo.count("SELECT COUNT(*) FROM PATBILDER WHERE PATIENTNR IN (1002, 1006, 1010) AND BILDFLIK IS NOT NULL"), 3);
    EXPECT_GT(successes, 100);
}

// Another program holding the database locked for a moment in the middle of a run (the clinic's
// own system writing): the run waits for it and converts as it would have.
TEST(DatabaseFaults, ALockHeldByAnotherProgramDelaysTheRunAndLosesNothing)
{
    DemoFixture demo;
    const PictureLedger ledger(demo);
    RunningProgram run(demo, runArgs(demo, "Dicomkatalog"));
    QElapsedTimer waited;
    waited.start();
    while (run.running() && storeFiles(demo.info.dicomDirFolder).size() < 10 && waited.elapsed() < 60000)
        QThread::msleep(2);
    ASSERT_TRUE(run.running()) << "the run ended before the database could be locked";
    demo.exec("BEGIN EXCLUSIVE");
    QThread::msleep(3000);
    const int writtenMeanwhile = int(storeFiles(demo.info.dicomDirFolder).size());
    demo.exec("COMMIT");
    EXPECT_EQ(run.finish(300000), 1);

    const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
    EXPECT_EQ(ok.filter("Error in UPDATE/DELETE!").size(), 0) << ok.join('\n');
    const int successes = countPrefix(ok, "Patientnr: ");
    EXPECT_GT(successes, 100);
    EXPECT_GT(successes, writtenMeanwhile) << "the run did not go on after the lock";
    EXPECT_EQ(ledger.expectWholePictures(demo, demo.info.dicomDirFolder), successes);
}

// Each way a DICOM server can fail a transfer ends in FAILED lines naming the cause, leaves the
// database as it was and deletes nothing, and the run goes on to its end.
TEST(PeerFaults, ARefusingDroppingOrSilentServerFailsThePicturesAndChangesNothing)
{
    struct Case {
        const char* name;
        // Starts the peer; returns its port and what the test does while the run goes on.
        std::function<std::pair<int, std::function<void()>>()> start;
        const char* firstCause; // of the first picture
        const char* laterCause; // of the pictures after it
        bool onePicture = false;
        const char* aeTitle = "STORESCP";
    };
    std::unique_ptr<Storescp> storescp;
    std::unique_ptr<RawPeer> raw;
    std::unique_ptr<PeerProcess> orthanc;
    const Case cases[] = {
        {"Orthanc refusing a call to another title",
         [&] {
             orthanc = std::make_unique<PeerProcess>();
             orthanc->startOrthanc("B2DTESTPACS");
             return std::pair<int, std::function<void()>>(orthanc->port(), {});
         },
         "association failed: DUL Association Rejected", "association failed: DUL Association Rejected", false, "ANNANPACS"},
        {"refusing",
         [&] {
             storescp = std::make_unique<Storescp>(QStringList{"--refuse"});
             return std::pair<int, std::function<void()>>(storescp->port(), {});
         },
         "association failed: DUL Association Rejected", "association failed: DUL Association Rejected"},
        {"aborting in the transfer",
         [&] {
             storescp = std::make_unique<Storescp>(QStringList{"--abort-during"});
             return std::pair<int, std::function<void()>>(storescp->port(), {});
         },
         // The abort arrives as the data goes out: the send or the wait for the answer fails.
         "STORESCP at 127.0.0.1:PORT failed: ", "STORESCP at 127.0.0.1:PORT failed: "},
        {"killed in the transfer",
         [&] {
             storescp = std::make_unique<Storescp>(QStringList{"--sleep-during", "60"});
             return std::pair<int, std::function<void()>>(storescp->port(), [&] {
                 // The object's data is on its way when the server dies; the next picture finds
                 // nothing listening.
                 ASSERT_TRUE(storescp->waitForLog("Received Store Request", 60000));
                 storescp->kill();
             });
         },
         "STORESCP at 127.0.0.1:PORT failed: ", "association failed: "},
        {"closing in the association request",
         [&] {
             raw = std::make_unique<RawPeer>(RawPeer::Mode::CloseAfterFirstBytes);
             return std::pair<int, std::function<void()>>(raw->port(), {});
         },
         "association failed: ", "association failed: "},
        {"never answering",
         [&] {
             raw = std::make_unique<RawPeer>(RawPeer::Mode::Silent);
             return std::pair<int, std::function<void()>>(raw->port(), {});
         },
         "association failed: DUL network read timeout", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DemoFixture demo;
        if (c.onePicture) // each picture waits out the time-out
            demo.exec("UPDATE PATBILDER SET BILDFLIK = NULL WHERE PATIENTNR = 1005 AND LOPNR <> 1");
        const int pictures = demo.count("SELECT COUNT(*) FROM PATBILDER WHERE PATIENTNR = 1005 AND BILDFLIK IS NOT NULL");
        const auto [port, during] = c.start();
        aimAtPeer(demo, port, c.aeTitle);
        const DatabaseState before = databaseState(demo);

        RunningProgram run(demo, runArgs(demo, "PACS", {"--from", "1005", "--to", "1005"}));
        if (during)
            during();
        // Bounded: connecting and the association each wait at most 30 seconds per picture.
        EXPECT_EQ(run.finish(pictures * 35000 + 30000), 1) << run.process().readAllStandardError().toStdString();
        const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
        const QStringList failed = demo.logLines("FAILED_LOGG.TXT");
        EXPECT_EQ(countPrefix(ok, "Patientnr: "), 0);
        EXPECT_EQ(countPrefix(ok, "Deleted picture: "), 0);
        EXPECT_EQ(ok.value(ok.size() - 2), "**** KLART ****");
        const QStringList lines = failed.filter(QRegularExpression("^FAILED - Patientnr: 1005, "));
        ASSERT_EQ(lines.size(), pictures);
        for (int i = 0; i < pictures; ++i) {
            const QString peer = QStringLiteral("Error in Store: C-STORE to %1 at 127.0.0.1:%2").arg(c.aeTitle).arg(port);
            EXPECT_TRUE(lines[i].contains("Det gick inte att spara DICOM-objektet: ")) << lines[i];
            EXPECT_TRUE(lines[i].contains(peer)) << lines[i];
            const QString cause = QString::fromUtf8(i == 0 ? c.firstCause : c.laterCause).replace("PORT", QString::number(port));
            EXPECT_TRUE(lines[i].contains(cause)) << lines[i] << "\nwanted: " << cause;
        }
        EXPECT_EQ(databaseState(demo), before);
        EXPECT_TRUE(storeFiles(demo.info.dicomDirFolder).isEmpty());
        storescp.reset();
        raw.reset();
        orthanc.reset();
    }
}

// The store folder turning into a file in the middle of a run: the pictures written before stay
// whole and converted, every later one fails and keeps its row and references.
TEST(StoreFaults, AStoreFolderReplacedByAFileFailsTheRestAndLosesNothing)
{
    DemoFixture demo;
    const PictureLedger ledger(demo);
    const QString store = QDir::cleanPath(demo.info.dicomDirFolder);
    const QString moved = store + ".flyttad";

    RunningProgram run(demo, runArgs(demo, "Dicomkatalog"));
    QElapsedTimer waited;
    waited.start();
    while (run.running() && storeFiles(store).size() < 15 && waited.elapsed() < 60000)
        QThread::msleep(2);
    ASSERT_TRUE(run.running()) << "the run ended before the store could be taken away";
    ASSERT_TRUE(QDir().rename(store, moved));
    writeAll(store, "ingen katalog");
    EXPECT_EQ(run.finish(300000), 1);

    const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
    const QStringList failed = demo.logLines("FAILED_LOGG.TXT");
    const int successes = countPrefix(ok, "Patientnr: ");
    EXPECT_GE(successes, 14);
    EXPECT_GT(failed.filter("Det gick inte att spara DICOM-objektet: ").size(), 50);
    EXPECT_EQ(ledger.expectWholePictures(demo, moved), successes);
    EXPECT_EQ(int(objectsByPicture(moved).size()), successes);
    EXPECT_EQ(readAll(store), "ingen katalog");
}

namespace {

// Runs the demo with extra options into a store that fills up: the pictures that do not fit
// fail naming the cause, leave no part of an object under its name, and keep
// their rows and references. The store is a small file system of its own where this system lets
// the test mount one; else a file size limit on the run makes the writes fail.
void expectAFullStoreToLoseNothing(const QStringList& extra)
{
    DemoFixture demo;
    const PictureLedger ledger(demo);
    QTemporaryDir mountPoint;
    const bool mounted =
        runProcess("mount", {"-t", "tmpfs", "-o", "size=2m", "tmpfs", mountPoint.path()}, 30000).exitCode == 0;
    struct Unmount {
        QString path;
        ~Unmount()
        {
            if (!path.isEmpty())
                runProcess("umount", {path}, 30000);
        }
    } unmount{mounted ? mountPoint.path() : QString()};
    QString store = QDir::cleanPath(demo.info.dicomDirFolder);
    std::function<void()> limit;
    const char* cause = "File too large";
    if (mounted) {
        store = mountPoint.path();
        demo.exec(QStringLiteral("UPDATE DICOMDIRS SET DICOMDIR = '%1/' WHERE LOPNR = 2").arg(store));
        cause = "No space left on device";
    } else {
        std::cout << "[ NOTE     ] cannot mount a file system here: a file size limit fills the store\n";
        // Larger than the database and the logs, smaller than the larger objects.
        limit = [] {
            const rlimit size{300000, 300000};
            ::setrlimit(RLIMIT_FSIZE, &size);
            ::signal(SIGXFSZ, SIG_IGN);
        };
    }

    RunningProgram run(demo, runArgs(demo, "Dicomkatalog", extra), limit);
    EXPECT_EQ(run.finish(300000), 1) << run.process().readAllStandardError().toStdString();
    const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
    const QStringList failed = demo.logLines("FAILED_LOGG.TXT").filter("Det gick inte att spara DICOM-objektet: ");
    const int successes = countPrefix(ok, "Patientnr: ");
    EXPECT_GT(successes, 5);
    EXPECT_GT(failed.size(), 5);
    for (const QString& line : failed)
        EXPECT_TRUE(line.contains(cause)) << line;
    // Only whole objects, each under its final name, and no temporary file left behind.
    const QStringList files = storeFiles(store);
    for (const QString& file : files)
        EXPECT_TRUE(file.endsWith(".dcm")) << file;
    EXPECT_EQ(files.size(), successes);
    EXPECT_EQ(ledger.expectWholePictures(demo, store), successes);
}

} // namespace

TEST(StoreFaults, AFullStoreFailsThePicturesThatDoNotFitAndLeavesNoPartObject)
{
    expectAFullStoreToLoseNothing({});
}

// A deflated object small enough to sit in a file's write buffer must fail too, not be
// committed short under its final name.
TEST(StoreFaults, AFullStoreFailsTheDeflatedPicturesThatDoNotFit)
{
    expectAFullStoreToLoseNothing({"--zlib"});
}
