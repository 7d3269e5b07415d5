// Times a backup run of a 1 GiB data file and a 256 MiB log file against
// `cp` of the same files, and reports the run's peak memory.
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
#include <vector>

using namespace zdb;

namespace {

// The service commands succeed without touching any service.
class StubShells : public CommandShellFactory {
    class Shell : public CommandShell {
        int run(const QString &, int, bool) override { return 0; }
    };

public:
    std::unique_ptr<CommandShell> create() override { return std::make_unique<Shell>(); }
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
            block[i] = char(done / block.size() + i);   // distinct pages
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

    AnswerYes boxes;
    NoSettings settings;
    SkippingTime time;
    StubShells shells;
    HostFileOps files;
    HostRunLock lock(at("run.lock"));
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

    std::vector<double> runs, cps, syncs;
    for (int round = 1; round <= 3; ++round) {
        QFile::remove(at("bk/その他/DATA.MDF"));
        QFile::remove(at("bk/その他/DATA_LOG.LDF"));
        QFile::remove(at("cp.MDF"));
        QFile::remove(at("cp.LDF"));
        boxes.prompts.clear();
        const double run = seconds([&] { YES_Click(w); });
        const QString msg = w.control(QStringLiteral("MSG1")).text();
        if (msg != QStringLiteral("正常に処理終了しました") || boxes.prompts.size() != 1) {
            std::fprintf(stderr, "run failed: %s / %s\n", qPrintable(msg), qPrintable(boxes.prompts.join(u'|')));
            return 1;
        }
        const double copy = seconds([&] {
            cp(at("DATA.MDF"), at("cp.MDF"));
            cp(at("DATA_LOG.LDF"), at("cp.LDF"));
        });
        const double sync = seconds([&] { QProcess::execute(QStringLiteral("sync"), {at("cp.MDF"), at("cp.LDF")}); });
        std::printf("round %d: run %.3f s, cp %.3f s, then sync %.3f s\n", round, run, copy, sync);
        runs.push_back(run);
        cps.push_back(copy);
        syncs.push_back(sync);
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("median: run %.3f s (restart wait skipped), cp %.3f s, cp+sync %.3f s\n", median(runs), median(cps),
                median(cps) + median(syncs));
    std::printf("ratio run/cp %.2f, run/(cp+sync) %.2f\n", median(runs) / median(cps),
                median(runs) / (median(cps) + median(syncs)));
    std::printf("peak memory (ru_maxrss) %.1f MiB\n", usage.ru_maxrss / 1024.0);
    return 0;
}
