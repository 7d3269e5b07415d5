#include "ErrorOf.h"
#include "FileOps.h"
#include "PlatformError.h"
#include "TestRegistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

using namespace zdb;
using zdb::test::errorOf;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// What a run does with one file: stage, read back, put in place.
void backUp(FileOps &files, const QString &from, const QString &to)
{
    const StagedCopy staged = files.stageCopy(from, to, {});
    QString previous;
    try {
        if (!files.verifyCopy(staged, {}))
            throw PlatformError(kErrDiskIo);
        previous = files.swapIntoPlace(staged.path, to);
    } catch (...) {
        files.discard(staged.path);
        throw;
    }
    files.discard(previous);
}

QStringList tempFilesIn(const QString &folder)
{
    QStringList out;
    for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        if (name.contains(QString::fromLatin1(kTempMarker)) || name.contains(QString::fromLatin1(kPreviousMarker)))
            out << name;
    return out;
}

} // namespace

class FileOpsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    HostFileOps files_;
    QString p(const QString &rel) const { return dir_.filePath(rel); }

private slots:
    void init() { QVERIFY(dir_.isValid()); }
    void cleanup() { QVERIFY(QDir(dir_.path()).removeRecursively() && QDir().mkpath(dir_.path())); }

    void copyReplacesAndKeepsTime_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("previous");
        QTest::newRow("empty file, new target") << "a.mdf"
                                                << "b.mdf" << 0 << false;
        QTest::newRow("odd size over old copy") << "a.mdf"
                                                << "b.mdf" << (3 << 20) + 7 << true;
        QTest::newRow("japanese names") << QStringLiteral("販売データ.MDF") << QStringLiteral("月曜日/販売.MDF") << 4096
                                        << true;
    }
    void copyReplacesAndKeepsTime()
    {
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(int, size);
        QFETCH(bool, previous);
        QByteArray bytes(size, '\0');
        for (int i = 0; i < size; ++i)
            bytes[i] = char(i * 31 + i / 4096);
        QVERIFY(writeFile(p(source), bytes));
        QVERIFY(QDir().mkpath(QFileInfo(p(target)).path()));
        if (previous)
            QVERIFY(writeFile(p(target), "an older and longer copy of something else"));
        const QDateTime mtime(QDate(2024, 3, 1), QTime(12, 34, 56));
        QFile src(p(source));
        QVERIFY(src.open(QIODevice::ReadWrite) && src.setFileTime(mtime, QFileDevice::FileModificationTime));
        src.close();

        backUp(files_, p(source), p(target));
        QCOMPARE(readFile(p(target)), bytes);
        QCOMPARE(QFileInfo(p(target)).lastModified(), mtime);
        QVERIFY(tempFilesIn(QFileInfo(p(target)).path()).isEmpty());
    }

    void copyFailures_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("number");
        QTest::newRow("source missing") << "missing.mdf"
                                        << "t.mdf" << int(kErrFileNotFound);
        QTest::newRow("source is a folder") << "folder"
                                            << "t.mdf" << int(kErrFileNotFound);
        QTest::newRow("target folder missing") << "s.mdf"
                                               << "nowhere/t.mdf" << int(kErrPathNotFound);
        QTest::newRow("target under a file") << "s.mdf"
                                             << "s.mdf/t.mdf" << int(kErrPathNotFound);
        QTest::newRow("target is a folder") << "s.mdf"
                                            << "folder" << int(kErrPathFileAccess);
        QTest::newRow("target names a folder") << "s.mdf"
                                               << "folder/" << int(kErrPathFileAccess);
    }
    void copyFailures()
    {
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(int, number);
        QVERIFY(writeFile(p(QStringLiteral("s.mdf")), "data"));
        QVERIFY(QDir(dir_.path()).mkdir(QStringLiteral("folder")));
        QCOMPARE(errorOf([&] { backUp(files_, p(source), p(target)); }), number);
        QVERIFY(tempFilesIn(dir_.path()).isEmpty());
        QVERIFY(tempFilesIn(p(QStringLiteral("folder"))).isEmpty());
        QCOMPARE(readFile(p(QStringLiteral("s.mdf"))), QByteArray("data"));
    }

    // A write that runs out of room midway leaves the old copy and no temporary file.
    void diskFullMidwayLeavesOldCopy()
    {
        QVERIFY(writeFile(p(QStringLiteral("s.mdf")), QByteArray(2 << 20, 'x')));
        QVERIFY(writeFile(p(QStringLiteral("t.mdf")), "previous"));
        struct rlimit old;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = 1 << 20;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const int number = errorOf([&] { backUp(files_, p(QStringLiteral("s.mdf")), p(QStringLiteral("t.mdf"))); });
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QCOMPARE(number, int(kErrDiskFull));
        QCOMPARE(readFile(p(QStringLiteral("t.mdf"))), QByteArray("previous"));
        QVERIFY(tempFilesIn(dir_.path()).isEmpty());
    }

    // /dev/shm is another file system: the kernel copy may refuse and the
    // plain copy takes over.
    void copyAcrossFileSystems()
    {
        QTemporaryDir shm(QStringLiteral("/dev/shm/zdbtest-XXXXXX"));
        if (!shm.isValid())
            QSKIP("no /dev/shm");
        const QByteArray bytes(5 << 20, 'q');
        QVERIFY(writeFile(shm.filePath(QStringLiteral("s")), bytes));
        backUp(files_, shm.filePath(QStringLiteral("s")), p(QStringLiteral("t")));
        QCOMPARE(readFile(p(QStringLiteral("t"))), bytes);
    }

    void exists_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("exists");
        QTest::newRow("file") << "f" << true;
        QTest::newRow("link to file") << "link" << true;
        QTest::newRow("folder") << "d" << false;
        QTest::newRow("missing") << "none" << false;
        QTest::newRow("dangling link") << "dangling" << false;
    }
    void exists()
    {
        QFETCH(QString, path);
        QFETCH(bool, exists);
        QVERIFY(writeFile(p(QStringLiteral("f")), "x"));
        QVERIFY(QDir(dir_.path()).mkdir(QStringLiteral("d")));
        QVERIFY(QFile::link(p(QStringLiteral("f")), p(QStringLiteral("link"))));
        QVERIFY(QFile::link(p(QStringLiteral("none")), p(QStringLiteral("dangling"))));
        QCOMPARE(files_.fileExists(p(path)), exists);
        QVERIFY(!files_.fileExists(QString()));
    }

    void makeFolders_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("made"); // "" nothing made
        QTest::addColumn<bool>("ok");
        QTest::newRow("whole path") << "a/b/c/"
                                    << "a/b/c" << true;
        QTest::newRow("stops at last slash") << "a/b/file.mdf"
                                             << "a/b" << true;
        QTest::newRow("japanese") << QStringLiteral("退避/月曜日/") << QStringLiteral("退避/月曜日") << true;
        QTest::newRow("blocked by a file") << "plain/x/"
                                           << "" << false;
    }
    void makeFolders()
    {
        QFETCH(QString, path);
        QFETCH(QString, made);
        QFETCH(bool, ok);
        QVERIFY(writeFile(p(QStringLiteral("plain")), "x"));
        QCOMPARE(files_.makeSureDirectoryPathExists(p(path)), ok);
        if (!made.isEmpty())
            QVERIFY(QFileInfo(p(made)).isDir());
        QVERIFY(!QFileInfo::exists(p(QStringLiteral("a/b/file.mdf"))));
    }

    void sameFile_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("same");
        QTest::newRow("same path") << "db/x.mdf"
                                   << "db/x.mdf" << true;
        QTest::newRow("dot and double slash") << "db/x.mdf"
                                              << "db/./sub/..//x.mdf" << true;
        QTest::newRow("hard link") << "db/x.mdf"
                                   << "hard.mdf" << true;
        QTest::newRow("symbolic link") << "db/x.mdf"
                                       << "soft.mdf" << true;
        QTest::newRow("through linked folder") << "db/x.mdf"
                                               << "dblink/x.mdf" << true;
        QTest::newRow("new file through linked folder") << "db/new.mdf"
                                                        << "dblink/new.mdf" << true;
        QTest::newRow("other file") << "db/x.mdf"
                                    << "db/y.ldf" << false;
        QTest::newRow("new files differ") << "db/n1"
                                          << "db/n2" << false;
        QTest::newRow("existing and new") << "db/x.mdf"
                                          << "db/n1" << false;
    }
    void sameFile()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, same);
        QVERIFY(QDir().mkpath(p(QStringLiteral("db/sub"))));
        QVERIFY(writeFile(p(QStringLiteral("db/x.mdf")), "x"));
        QVERIFY(writeFile(p(QStringLiteral("db/y.ldf")), "y"));
        QCOMPARE(::link(QFile::encodeName(p(QStringLiteral("db/x.mdf"))).constData(),
                        QFile::encodeName(p(QStringLiteral("hard.mdf"))).constData()),
                 0);
        QVERIFY(QFile::link(p(QStringLiteral("db/x.mdf")), p(QStringLiteral("soft.mdf"))));
        QVERIFY(QFile::link(p(QStringLiteral("db")), p(QStringLiteral("dblink"))));
        QCOMPARE(files_.sameFile(p(a), p(b)), same);
        QCOMPARE(files_.sameFile(p(b), p(a)), same);
    }

    void swapAndUndo_data()
    {
        QTest::addColumn<bool>("previous");
        QTest::newRow("over a previous copy") << true;
        QTest::newRow("no previous copy") << false;
    }
    void swapAndUndo()
    {
        QFETCH(bool, previous);
        const QString target = p(QStringLiteral("t.mdf"));
        QVERIFY(writeFile(p(QStringLiteral("s.mdf")), "new"));
        if (previous)
            QVERIFY(writeFile(target, "old"));
        const StagedCopy staged = files_.stageCopy(p(QStringLiteral("s.mdf")), target, {});
        QVERIFY(
            QFileInfo(staged.path).fileName().startsWith(QStringLiteral(".t.mdf") + QString::fromLatin1(kTempMarker)));
        QCOMPARE(readFile(target), previous ? QByteArray("old") : QByteArray("<missing>"));

        const QString before = files_.swapIntoPlace(staged.path, target);
        QCOMPARE(readFile(target), QByteArray("new"));
        // The previous copy never sits under a name that leftover cleaning removes.
        QVERIFY(!QFileInfo::exists(staged.path));
        if (previous) {
            QVERIFY(QFileInfo(before).fileName().startsWith(QStringLiteral(".t.mdf")
                                                            + QString::fromLatin1(kPreviousMarker)));
            QCOMPARE(readFile(before), QByteArray("old"));
        } else {
            QCOMPARE(before, QString());
        }
        files_.swapBack(staged.path, before, target);
        QCOMPARE(readFile(target), previous ? QByteArray("old") : QByteArray("<missing>"));
        QCOMPARE(readFile(staged.path), QByteArray("new"));
        QVERIFY(before.isEmpty() || !QFileInfo::exists(before));
        files_.discard(staged.path);
        QVERIFY(tempFilesIn(dir_.path()).isEmpty());
    }

    // Both ways of copying hash exactly the source's bytes, report progress up
    // to the whole size, and the read-back tells a sound copy from a changed one.
    void stagedCopyVerified_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<qint64>("size");
        for (const auto &[name, method] : {std::pair{"read and write", CopyMethod::ReadWrite},
                                           std::pair{"kernel copy, then hash", CopyMethod::OffloadThenHash}}) {
            QTest::addRow("%s, empty", name) << int(method) << qint64(0);
            QTest::addRow("%s, one byte", name) << int(method) << qint64(1);
            QTest::addRow("%s, several chunks and a bit", name) << int(method) << qint64((40 << 20) + 3);
        }
    }
    void stagedCopyVerified()
    {
        QFETCH(int, method);
        QFETCH(qint64, size);
        HostFileOps files{CopyMethod(method)};
        QByteArray bytes(size, '\0');
        for (qint64 i = 0; i < size; ++i)
            bytes[i] = char(i * 7 + i / 65536);
        QVERIFY(writeFile(p(QStringLiteral("s.mdf")), bytes));
        QList<qint64> seen;
        const StagedCopy copy =
            files.stageCopy(p(QStringLiteral("s.mdf")), p(QStringLiteral("t.mdf")), [&](qint64 done, qint64 total) {
                QCOMPARE(total, size);
                seen << done;
            });
        QCOMPARE(readFile(copy.path), bytes);
        if (!copy.shared)
            QCOMPARE(copy.checksum, contentChecksum(bytes));
        QCOMPARE(seen.last(), size);
        QVERIFY(std::is_sorted(seen.begin(), seen.end()));
        if (size > (32 << 20) && !copy.shared)
            QVERIFY(seen.size() > 2); // the bar moves during a long copy

        seen.clear();
        QVERIFY(files.verifyCopy(copy, [&](qint64 done, qint64) { seen << done; }));
        QCOMPARE(seen.last(), size);
        if (size == 0 || copy.shared)
            return;
        QFile f(copy.path);
        QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(size - 1) && f.putChar(char(bytes[size - 1] ^ 1)));
        f.close();
        QVERIFY(!files.verifyCopy(copy, {}));
        // Put right and one byte longer: still not the source.
        QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(size - 1) && f.putChar(bytes[size - 1]));
        QVERIFY(f.resize(size + 1));
        f.close();
        QVERIFY(!files.verifyCopy(copy, {}));
    }

    // A folder the run has yet to make is measured on its nearest existing ancestor.
    void freeSpaceMeasured_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("existing folder") << "t.mdf";
        QTest::newRow("folders yet to make") << "new/deeper/t.mdf";
    }
    void freeSpaceMeasured()
    {
        QFETCH(QString, target);
        const FreeSpace s = files_.freeSpace(p(target));
        QVERIFY(s.known);
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(dir_.path()).constData(), &st), 0);
        QCOMPARE(s.device, quint64(st.st_dev));
        struct statvfs vfs;
        QCOMPARE(::statvfs(QFile::encodeName(dir_.path()).constData(), &vfs), 0);
        const double now = double(vfs.f_bavail) * double(vfs.f_frsize);
        QVERIFY2(std::abs(double(s.available) - now) < 256.0 * (1 << 20), qPrintable(QString::number(s.available)));
        QVERIFY(!QFileInfo::exists(p(QStringLiteral("new"))));
    }

    void moveAsideAndBack()
    {
        const QString target = p(QStringLiteral("t.ldf"));
        QCOMPARE(files_.moveAside(target), QString());
        QVERIFY(writeFile(target, "log"));
        const QString aside = files_.moveAside(target);
        QVERIFY(!QFileInfo::exists(target));
        QCOMPARE(readFile(aside), QByteArray("log"));
        files_.moveBack(aside, target);
        QCOMPARE(readFile(target), QByteArray("log"));
        QVERIFY(tempFilesIn(dir_.path()).isEmpty());
    }
};

ZDB_TEST(FileOpsTest);
#include "tst_fileops.moc"
