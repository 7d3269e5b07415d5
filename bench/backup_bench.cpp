// Times a backup run of a 1 GiB data file and a 256 MiB log file against
// `cp` of the same files: the downtime (end of the stop command to the start
// of the start command), the time the read-back adds after the restart, and
// the run's peak memory, for each way of copying.
#include "BackupRun.h"
#include "Clock.h"
#include "CommandShell.h"
#include "EventPump.h"
#include "FileOps.h"
#include "MainWindow.h"
#include "MessageBoxes.h"
#include "Platform.h"
#include "RunLock.h"
#include "SettingsBackend.h"
#include "SystemInfo.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <utility>
#include <vector>

using namespace zdb;

namespace {

// The service commands succeed without touching any service; the times
// around them mark the downtime.
class StubShells : public CommandShellFactory {
    class Shell : public CommandShell {
    public:
        explicit Shell(StubShells &owner) : owner_(owner) {}
        int run(const QString &line, int, bool) override
        {
            if (line.startsWith(QStringLiteral("NET STOP")))
                owner_.stopEnded = owner_.clock.nsecsElapsed();
            else {
                owner_.startBegan = owner_.clock.nsecsElapsed();
                owner_.startEnded = owner_.startBegan;
            }
            return 0;
        }

    private:
        StubShells &owner_;
    };

public:
    StubShells() { clock.start(); }
    std::unique_ptr<CommandShell> create() override { return std::make_unique<Shell>(*this); }
    QElapsedTimer clock;
    qint64 stopEnded = 0, startBegan = 0, startEnded = 0;
};

class AnswerYes : public MessageBoxes {
public:
    int show(const QString &prompt, int, const std::optional<QString> &) override
    {
        prompts << prompt;
        return kAnswerYes;
    }
    QStringList prompts;
};

// The restart wait passes at once: the clock jumps by what would be slept.
class SkippingTime : public Clock, public EventPump {
public:
    QDateTime now() const override { return QDateTime::currentDateTime().addMSecs(skippedMs); }
    void doEvents() override { QCoreApplication::processEvents(); }
    void waitEvents(int maxMs) override { skippedMs += maxMs; }
    void paintEvents() override { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }
    qint64 skippedMs = 0;
};

class NoSettings : public SettingsBackend {
public:
    QString read(const QString &, const QString &, const QString &, const QString &def) override { return def; }
    void write(const QString &, const QString &, const QString &, const QString &) override {}
    bool flush() override { return true; }
    QString location() const override { return {}; }
};

bool makeFile(const QString &path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, '\0');
    for (qint64 done = 0; done < size; done += block.size()) {
        for (int i = 0; i < block.size(); i += 4096)
            block[i] = char(done / block.size() + i); // distinct pages
        if (f.write(block) != block.size())
            return false;
    }
    return f.flush();
}

double seconds(const std::function<void()> &f)
{
    QElapsedTimer t;
    t.start();
    f();
    return t.nsecsElapsed() / 1e9;
}

void cp(const QString &from, const QString &to)
{
    if (QProcess::execute(QStringLiteral("cp"), {from, to}) != 0)
        std::fprintf(stderr, "cp failed\n");
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    QTemporaryDir dir(base.isEmpty() ? QDir::tempPath() + QStringLiteral("/zdbbench-XXXXXX")
                                     : base + QStringLiteral("/zdbbench-XXXXXX"));
    const auto at = [&](const char *name) { return dir.filePath(QString::fromUtf8(name)); };
    std::printf("files in %s\n", qPrintable(dir.path()));
    if (!makeFile(at("DATA.MDF"), qint64(1) << 30) || !makeFile(at("DATA_LOG.LDF"), qint64(256) << 20)) {
        std::fprintf(stderr, "cannot write the source files\n");
        return 1;
    }

    // Sources on disk first, so that no round pays for writing them back.
    QProcess::execute(QStringLiteral("sync"), {});

    AnswerYes boxes;
    NoSettings settings;
    SkippingTime time;
    StubShells shells;
    HostFileOps files;
    HostRunLock lock;
    class : public SystemInfo {
        int osPlatform() const override { return 2; }
        QString productName() const override { return QStringLiteral("bench"); }
    } info;
    Platform platform;
    platform.messageBoxes = &boxes;
    platform.settings = &settings;
    platform.clock = &time;
    platform.systemInfo = &info;
    platform.events = &time;
    platform.shells = &shells;
    platform.files = &files;
    platform.runLock = &lock;

    MainWindow w(platform);
    w.load();
    w.control(QStringLiteral("DBデータパス")).setText(at("DATA.MDF"));
    w.control(QStringLiteral("DBログパス")).setText(at("DATA_LOG.LDF"));
    w.control(QStringLiteral("DNO"), 7).setValue(true);
    w.control(QStringLiteral("Path"), 7).setText(at("bk/その他/DATA.MDF"));
    w.control(QStringLiteral("Path2"), 7).setText(at("bk/その他/DATA_LOG.LDF"));

    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const auto clear = [&] {
        for (const char *name : {"bk/その他/DATA.MDF", "bk/その他/DATA_LOG.LDF", "cp.MDF", "cp.LDF"})
            QFile::remove(at(name));
    };
    const int rounds = 5;
    for (const auto &[name, method] : {std::pair{"read+hash+write", CopyMethod::ReadWrite},
                                       std::pair{"copy_file_range+hash", CopyMethod::OffloadThenHash}}) {
        HostFileOps methodFiles(method);
        platform.files = &methodFiles;
        std::vector<double> downs, verifies, cps;
        for (int round = 1; round <= rounds; ++round) {
            clear();
            boxes.prompts.clear();
            YES_Click(w);
            const qint64 returned = shells.clock.nsecsElapsed();
            const QString msg = w.control(QStringLiteral("MSG1")).text();
            if (msg != QStringLiteral("正常に処理終了しました") || boxes.prompts.size() != 1) {
                std::fprintf(stderr, "run failed: %s / %s\n", qPrintable(msg), qPrintable(boxes.prompts.join(u'|')));
                return 1;
            }
            const double down = (shells.startBegan - shells.stopEnded) / 1e9;
            // The restart wait is skipped, so what follows the start command is the read-back.
            const double verify = (returned - shells.startEnded) / 1e9;
            const double copy = seconds([&] {
                cp(at("DATA.MDF"), at("cp.MDF"));
                cp(at("DATA_LOG.LDF"), at("cp.LDF"));
            });
            QProcess::execute(QStringLiteral("sync"), {});
            std::printf("%s round %d: downtime %.3f s, cp %.3f s, ratio %.2f; read-back after restart %.3f s\n", name,
                        round, down, copy, down / copy, verify);
            downs.push_back(down);
            verifies.push_back(verify);
            cps.push_back(copy);
        }
        std::printf("%s median: downtime %.3f s, cp %.3f s, ratio %.2f, read-back after restart %.3f s\n", name,
                    median(downs), median(cps), median(downs) / median(cps), median(verifies));
    }
    clear();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory (ru_maxrss) %.1f MiB\n", usage.ru_maxrss / 1024.0);
    return 0;
}
