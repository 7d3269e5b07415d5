#include "ErrorOf.h"
#include "FileOps.h"
#include "PlatformError.h"
#include "TestFiles.h"
#include "TestRegistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <fcntl.h>
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
        QVERIFY(test::ourFilesIn(QFileInfo(p(target)).path()).isEmpty());
    }

    void copyFailures_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("number");
        QTest::newRow("source missing") << "missing.mdf"
                                        << "t.mdf" << int(kErrFileNotFound);
        QTest::newRow("source is a folder") << "folder"
                                            << "t.mdf" << int(kErrPathFileAccess);
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
        QVERIFY(test::ourFilesIn(dir_.path()).isEmpty());
        QVERIFY(test::ourFilesIn(p(QStringLiteral("folder"))).isEmpty());
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
        QVERIFY(test::ourFilesIn(dir_.path()).isEmpty());
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

    // Whether there is a previous copy and whether the folder flush works:
    // what swapIntoPlace returns or throws says where the files are, and its
    // undo puts them back.
    void swapAndUndo_data()
    {
        QTest::addColumn<bool>("previous");
        QTest::addColumn<QString>("flush"); // ok, fails, fails with its undo
        for (const bool previous : {true, false})
            for (const char *flush : {"ok", "fails", "fails with its undo"})
                QTest::addRow("%s, flush %s", previous ? "over a previous copy" : "no previous copy", flush)
                    << previous << QString::fromLatin1(flush);
    }
    void swapAndUndo()
    {
        QFETCH(bool, previous);
        QFETCH(QString, flush);
        bool flushFails = false, flushFailed = false;
        SystemCalls calls = SystemCalls::host();
        calls.rename = [&](const char *from, const char *to) {
            // The undo's renames fail as well.
            if (flushFailed && flush == "fails with its undo") {
                errno = EIO;
                return -1;
            }
            return ::rename(from, to);
        };
        calls.syncFolder = [&](int fd) {
            if (flushFails) {
                flushFailed = true;
                errno = EIO;
                return -1;
            }
            return ::fsync(fd);
        };
        HostFileOps files(CopyMethod::OffloadThenHash, calls);
        const QString target = p(QStringLiteral("t.mdf"));
        const QByteArray old = previous ? QByteArray("old") : QByteArray("<missing>");
        QVERIFY(writeFile(p(QStringLiteral("s.mdf")), "new"));
        if (previous)
            QVERIFY(writeFile(target, "old"));
        const StagedCopy staged = files.stageCopy(p(QStringLiteral("s.mdf")), target, {});
        QVERIFY(
            QFileInfo(staged.path).fileName().startsWith(QStringLiteral(".t.mdf") + QString::fromLatin1(kTempMarker)));

        flushFails = flush != "ok";
        QString before;
        const int number = errorOf([&] { before = files.swapIntoPlace(staged.path, target); });
        flushFails = flushFailed = false;
        if (flush == "fails") {
            QCOMPARE(number, int(kErrDiskIo));
            QCOMPARE(readFile(target), old);
            QCOMPARE(readFile(staged.path), QByteArray("new"));
            QCOMPARE(test::ourFilesIn(dir_.path()), QStringList{QFileInfo(staged.path).fileName()});
            return;
        }
        if (flush == "fails with its undo") {
            // Neither on disk nor undone: an error, never success, and both
            // copies left where recovery finds them.
            QCOMPARE(number, int(kErrDiskIo));
            QByteArrayList contents{readFile(target)};
            for (const QString &name : test::ourFilesIn(dir_.path()))
                contents << readFile(dir_.filePath(name));
            QVERIFY(contents.contains("new"));
            QCOMPARE(contents.contains("old"), previous);
            return;
        }
        QCOMPARE(number, 0);
        QCOMPARE(readFile(target), QByteArray("new"));
        // The previous copy never sits under a name that leftover cleaning removes.
        QVERIFY(!QFileInfo::exists(staged.path));
        // Without a previous copy, an empty mark says there was none.
        QVERIFY(QFileInfo(before).fileName().startsWith(
            QStringLiteral(".t.mdf") + QString::fromLatin1(previous ? kPreviousMarker : kAbsentMarker)));
        QCOMPARE(readFile(before), previous ? QByteArray("old") : QByteArray());
        files.swapBack(staged.path, before, target);
        QCOMPARE(readFile(target), old);
        QCOMPARE(readFile(staged.path), QByteArray("new"));
        files.discard(staged.path);
        QVERIFY(test::ourFilesIn(dir_.path()).isEmpty());
    }

    // A kernel copy may copy less than asked, or not at all between these
    // files; a source that changes size under the copy is never a good copy.
    void copySteps_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<int>("step"); // bytes the kernel copies per call; 0 refuses
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("number");
        const int offload = int(CopyMethod::OffloadThenHash), reading = int(CopyMethod::ReadWrite);
        QTest::newRow("short kernel copies") << offload << 1000 << "none" << 0;
        QTest::newRow("kernel refuses, read instead") << offload << 0 << "none" << 0;
        QTest::newRow("grows midway, kernel copy") << offload << 1000 << "grow" << int(kErrDiskIo);
        QTest::newRow("shrinks midway, kernel copy") << offload << 1000 << "shrink" << int(kErrDiskIo);
        QTest::newRow("grows midway, reading") << reading << 0 << "grow" << int(kErrDiskIo);
        QTest::newRow("shrinks midway, reading") << reading << 0 << "shrink" << int(kErrDiskIo);
    }
    void copySteps()
    {
        QFETCH(int, method);
        QFETCH(int, step);
        QFETCH(QString, change);
        QFETCH(int, number);
        const qint64 size = (3 << 20) + 333;
        QByteArray bytes(size, '\0');
        for (qint64 i = 0; i < size; ++i)
            bytes[i] = char(i * 13 + i / 4093);
        const QString source = p(QStringLiteral("s.mdf"));
        QVERIFY(writeFile(source, bytes));
        int kernelCalls = 0;
        SystemCalls calls = SystemCalls::host();
        calls.copyFileRange = [&](int in, off_t *inOffset, int out, off_t *outOffset, size_t length) -> ssize_t {
            ++kernelCalls;
            if (step == 0) {
                errno = EXDEV;
                return -1;
            }
            return ::copy_file_range(in, inOffset, out, outOffset, std::min(length, size_t(step)), 0);
        };
        HostFileOps files(CopyMethod(method), calls);
        bool changed = false;
        const Progress changeMidway = [&](qint64 done, qint64) {
            if (change == "none" || changed || done == 0)
                return;
            changed = true;
            QFile f(source);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(change == "grow" ? f.seek(size) && f.write("more") == 4 : f.resize(done / 2));
        };
        StagedCopy copy;
        QCOMPARE(errorOf([&] { copy = files.stageCopy(source, p(QStringLiteral("t.mdf")), changeMidway); }), number);
        if (number != 0) {
            QVERIFY(changed);
            QVERIFY(test::ourFilesIn(dir_.path()).isEmpty());
            return;
        }
        if (step > 0)
            QVERIFY(kernelCalls > size / step);
        QCOMPARE(readFile(copy.path), bytes);
        QCOMPARE(copy.checksum, contentChecksum(bytes));
        QVERIFY(files.verifyCopy(copy, {}));
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

    // What changed since the pre-copy is kept off the target (in memory, past
    // a bound beside the source) and written into the pre-copy afterwards.
    void changesKeptOffTheTarget_data()
    {
        QTest::addColumn<qint64>("changedFrom"); // every byte from here on changes
        QTest::addColumn<qint64>("newSize");
        const qint64 size = (20 << 20) + 5;
        QTest::newRow("a few blocks") << size - 200000 << size;
        QTest::newRow("past the memory bound: spilled") << qint64(5 << 20) << size;
        QTest::newRow("grew") << size - 3 << size + 70000;
        QTest::newRow("shrank") << size << size - 100000;
    }
    void changesKeptOffTheTarget()
    {
        QFETCH(qint64, changedFrom);
        QFETCH(qint64, newSize);
        HostFileOps files;
        const QString source = p(QStringLiteral("src/s.mdf"));
        QByteArray bytes((20 << 20) + 5, 'a');
        QVERIFY(QDir().mkpath(p(QStringLiteral("src"))) && writeFile(source, bytes));
        const PreCopy pre = files.preCopy(source, p(QStringLiteral("t.mdf")), {});
        const QByteArray staged = readFile(pre.path);
        bytes.resize(newSize, 'g');
        std::fill(bytes.begin() + std::min(changedFrom, newSize), bytes.end(), 'b');
        QVERIFY(writeFile(source, bytes));
        const ChangedBlocks changes = files.captureChanges(source, pre, {});
        QCOMPARE(readFile(pre.path), staged); // the target untouched
        QCOMPARE(changes.spill.isEmpty() ? QString() : QFileInfo(changes.spill).path(),
                 newSize - changedFrom > (8 << 20) ? p(QStringLiteral("src")) : QString());
        const StagedCopy copy = files.applyChanges(pre, changes, {});
        files.discard(changes.spill);
        QCOMPARE(readFile(copy.path), bytes);
        QVERIFY(files.verifyCopy(copy, {}));
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

    void moveAsideAndBack_data()
    {
        QTest::addColumn<bool>("flushFails");
        QTest::newRow("flushed") << false;
        QTest::newRow("flush fails: stays in place") << true;
    }
    void moveAsideAndBack()
    {
        QFETCH(bool, flushFails);
        SystemCalls calls = SystemCalls::host();
        calls.syncFolder = [&](int fd) {
            if (flushFails) {
                errno = EIO;
                return -1;
            }
            return ::fsync(fd);
        };
        HostFileOps files(CopyMethod::OffloadThenHash, calls);
        const QString target = p(QStringLiteral("t.ldf"));
        QCOMPARE(files.moveAside(target), QString());
        QVERIFY(writeFile(target, "log"));
        QString aside;
        QCOMPARE(errorOf([&] { aside = files.moveAside(target); }), flushFails ? int(kErrDiskIo) : 0);
        if (!flushFails) {
            QVERIFY(!QFileInfo::exists(target));
            QCOMPARE(readFile(aside), QByteArray("log"));
            files.moveBack(aside, target);
        }
        QCOMPARE(readFile(target), QByteArray("log"));
        QVERIFY(test::ourFilesIn(dir_.path()).isEmpty());
    }
};

ZDB_TEST(FileOpsTest);
#include "tst_fileops.moc"
