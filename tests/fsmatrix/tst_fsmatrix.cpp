// Backups of a pair on real file systems, each made on a loop device or in
// memory: exFAT through FUSE (no exchange-rename), XFS with reflinks, btrfs,
// tmpfs. Each sees a first backup, a second one replacing the pair, failed
// ones that keep it, and a run killed between its two swaps. Needs root;
// without loop devices or FUSE it says SKIPPED and exits 77.
#include "FileOps.h"
#include "PlatformError.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace zdb;
using test::readFile;
using test::writeFile;

namespace {

// Runs a program with its arguments, no shell; its output when it succeeds.
std::optional<QByteArray> run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return std::nullopt;
    return p.readAllStandardOutput().trimmed();
}

// A few MiB whose every byte depends on the version.
QByteArray contents(char version, qint64 size)
{
    QByteArray bytes(size, '\0');
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char(i * 31 + i / 4099 + qint64(version) * 7);
    return bytes;
}

// A file system mounted for as long as this lives.
class Mounted {
public:
    Mounted(const QString &kind, const QString &folder) : folder_(folder)
    {
        mountPoint_ = folder + QStringLiteral("/mnt");
        QDir().mkpath(mountPoint_);
        if (kind == QStringLiteral("tmpfs")) {
            mounted_ = run(QStringLiteral("mount"),
                           {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                            QStringLiteral("size=64m"), QStringLiteral("tmpfs"), mountPoint_})
                           .has_value();
            return;
        }
        const QString image = folder + QStringLiteral("/fs.img");
        QFile f(image);
        if (!f.open(QIODevice::WriteOnly) || !f.resize(qint64(kind == QStringLiteral("xfs") ? 512 : 256) << 20))
            return;
        f.close();
        const auto dev = run(QStringLiteral("losetup"), {QStringLiteral("--find"), QStringLiteral("--show"), image});
        if (!dev)
            return;
        device_ = QString::fromLocal8Bit(*dev);
        std::optional<QByteArray> made;
        if (kind == QStringLiteral("exfat"))
            made = run(QStringLiteral("mkfs.exfat"), {device_});
        else if (kind == QStringLiteral("xfs"))
            made = run(QStringLiteral("mkfs.xfs"),
                       {QStringLiteral("-q"), QStringLiteral("-m"), QStringLiteral("reflink=1"), device_});
        else
            made = run(QStringLiteral("mkfs.btrfs"), {QStringLiteral("-q"), device_});
        if (!made)
            return;
        mounted_ = kind == QStringLiteral("exfat")
            ? run(QStringLiteral("mount.exfat-fuse"), {device_, mountPoint_}).has_value()
            : run(QStringLiteral("mount"), {device_, mountPoint_}).has_value();
    }
    ~Mounted()
    {
        if (mounted_ && !run(QStringLiteral("umount"), {mountPoint_}))
            run(QStringLiteral("umount"), {QStringLiteral("-l"), mountPoint_});
        if (!device_.isEmpty())
            run(QStringLiteral("losetup"), {QStringLiteral("-d"), device_});
    }
    Mounted(const Mounted &) = delete;
    Mounted &operator=(const Mounted &) = delete;

    bool mounted() const { return mounted_; }
    QString path(const char *rel) const { return mountPoint_ + u'/' + QString::fromUtf8(rel); }
    // The file system type the kernel reports for the mount point.
    QString type() const
    {
        const auto out = run(QStringLiteral("findmnt"),
                             {QStringLiteral("-n"), QStringLiteral("-o"), QStringLiteral("FSTYPE"), mountPoint_});
        return out ? QString::fromLocal8Bit(*out) : QString();
    }

private:
    QString folder_, mountPoint_, device_;
    bool mounted_ = false;
};

// The commit of a pair as a run does it: both staged and read back before
// either replaces its previous copy; on any failure the previous pair stays.
struct PairRun {
    FileOps &files;
    QString sources[2], targets[2];
    Progress whileStagingData;
    bool corruptLog = false;
    bool cloned = false; // the log copy shares the source's blocks
    bool killBetweenSwaps = false;

    void operator()()
    {
        files.recoverInterrupted(targets[0], targets[1]);
        for (const QString &t : targets)
            QVERIFY(files.makeSureDirectoryPathExists(t));
        StagedCopy staged[2];
        QString previous[2];
        try {
            staged[0] = files.stageCopy(sources[0], targets[0], whileStagingData);
            staged[1] = files.stageCopy(sources[1], targets[1], {});
            cloned = staged[1].shared;
            if (corruptLog && !cloned) {
                QFile f(staged[1].path);
                if (!f.open(QIODevice::ReadWrite) || !f.seek(1000) || !f.putChar('!'))
                    throw PlatformError(kErrDiskIo);
            }
            for (const StagedCopy &s : staged)
                if (!files.verifyCopy(s, {}))
                    throw PlatformError(kErrDiskIo);
            previous[0] = files.swapIntoPlace(staged[0].path, targets[0]);
            if (killBetweenSwaps)
                return; // as if killed: nothing more is done
            try {
                previous[1] = files.swapIntoPlace(staged[1].path, targets[1]);
            } catch (...) {
                files.swapBack(staged[0].path, previous[0], targets[0]);
                throw;
            }
        } catch (...) {
            for (const StagedCopy &s : staged)
                files.discard(s.path);
            throw;
        }
        for (const QString &p : previous)
            files.discard(p);
    }
};

int errorOf(PairRun &r)
{
    try {
        r();
    } catch (const PlatformError &e) {
        return e.number();
    }
    return 0;
}

} // namespace

class FsMatrixTest : public QObject {
    Q_OBJECT

private slots:
    void pairBackups_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("tool"); // what makes it; "" none
        QTest::addColumn<QString>("type"); // as the kernel reports it
        QTest::newRow("exFAT through FUSE") << "exfat"
                                            << "mount.exfat-fuse"
                                            << "fuseblk";
        QTest::newRow("XFS with reflinks") << "xfs"
                                           << "mkfs.xfs"
                                           << "xfs";
        QTest::newRow("btrfs") << "btrfs"
                               << "mkfs.btrfs"
                               << "btrfs";
        QTest::newRow("tmpfs") << "tmpfs"
                               << ""
                               << "tmpfs";
    }
    void pairBackups()
    {
        QFETCH(QString, kind);
        QFETCH(QString, tool);
        QFETCH(QString, type);
        if (!tool.isEmpty() && QStandardPaths::findExecutable(tool).isEmpty()
            && QStandardPaths::findExecutable(tool, {QStringLiteral("/sbin"), QStringLiteral("/usr/sbin")}).isEmpty())
            QSKIP(qPrintable(tool + QStringLiteral(" is missing: scripts/install-deps.sh installs it")));
        QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/zdbfs-XXXXXX"));
        QVERIFY(scratch.isValid());
        const Mounted fs(kind, scratch.path());
        QVERIFY2(fs.mounted(), qPrintable(kind + QStringLiteral(" could not be made and mounted")));
        QCOMPARE(fs.type(), type);

        HostFileOps files;
        PairRun r{files,
                  {fs.path("db/DATA.MDF"), fs.path("db/DATA_LOG.LDF")},
                  {fs.path("bk/月曜日/DATA.MDF"), fs.path("bk/月曜日/DATA_LOG.LDF")},
                  {},
                  false,
                  false};
        const QString folder = QFileInfo(r.targets[0]).path();
        const qint64 sizes[2] = {(3 << 20) + 5, (1 << 20) + 3};
        const auto sourcesAt = [&](char version) {
            for (int i = 0; i < 2; ++i)
                QVERIFY(writeFile(r.sources[i], contents(char(version + i), sizes[i])));
        };
        const auto pairIs = [&](char version) {
            for (int i = 0; i < 2; ++i)
                if (readFile(r.targets[i]) != contents(char(version + i), sizes[i]))
                    return false;
            return test::ourFilesIn(folder).isEmpty();
        };

        sourcesAt(1);
        QCOMPARE(errorOf(r), 0);
        QVERIFY(pairIs(1));

        sourcesAt(3);
        QCOMPARE(errorOf(r), 0);
        QVERIFY(pairIs(3));

        // The data file grows once its copy has begun (a clone has no midway):
        // the previous pair stays.
        sourcesAt(5);
        bool grown = false;
        r.whileStagingData = [&](qint64, qint64) {
            QFile f(r.sources[0]);
            if (!grown && f.open(QIODevice::Append))
                grown = f.write("more") == 4;
        };
        QCOMPARE(errorOf(r), int(kErrDiskIo));
        QVERIFY(grown);
        QVERIFY(pairIs(3));
        r.whileStagingData = {};

        // A copy that reads back different from its source: the previous pair
        // stays. A clone moves no bytes that could change on the way; there
        // the run goes through.
        sourcesAt(5);
        r.corruptLog = true;
        const int number = errorOf(r);
        r.corruptLog = false;
        const char standing = r.cloned ? 5 : 3;
        QCOMPARE(number, r.cloned ? 0 : int(kErrDiskIo));
        QVERIFY(pairIs(standing));
        QCOMPARE(r.cloned, kind == QStringLiteral("xfs") || kind == QStringLiteral("btrfs"));

        // Killed between the two swaps: the next run's recovery puts the
        // previous pair back before anything else.
        sourcesAt(7);
        r.killBetweenSwaps = true;
        QCOMPARE(errorOf(r), 0);
        QCOMPARE(readFile(r.targets[0]), contents(7, sizes[0]));
        files.recoverInterrupted(r.targets[0], r.targets[1]);
        QVERIFY(pairIs(standing));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const auto skip = [](const char *why) {
        std::printf("SKIPPED: %s\n", why);
        return 77;
    };
    if (::geteuid() != 0)
        return skip("needs root to make file systems on loop devices");
    if (!QFileInfo::exists(QStringLiteral("/dev/loop-control"))
        || !run(QStringLiteral("losetup"), {QStringLiteral("-f")}))
        return skip("no loop devices here");
    if (!QFileInfo::exists(QStringLiteral("/dev/fuse")))
        return skip("no FUSE here (/dev/fuse)");
    FsMatrixTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fsmatrix.moc"
