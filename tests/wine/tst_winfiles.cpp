// The host's file operations on Windows (run under Wine): names refused
// before the stop, long paths, and a source its service still holds.
#include "ErrorOf.h"
#include "FileOps.h"
#include "TestRegistry.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

#include <thread>

using namespace zdb;
using zdb::test::errorOf;

class WinFilesTest : public QObject {
    Q_OBJECT
private slots:
    void init() { QVERIFY(dir_.isValid()); }

    void targetNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("error");
        QTest::newRow("device") << "CON" << int(kErrPathFileAccess);
        QTest::newRow("device, any case and extension") << "nul.mdf" << int(kErrPathFileAccess);
        QTest::newRow("numbered port") << "COM1.bak" << int(kErrPathFileAccess);
        QTest::newRow("printer port in a folder") << "lpt9\\x.ldf" << int(kErrPathFileAccess);
        QTest::newRow("trailing dot") << "data." << int(kErrPathFileAccess);
        QTest::newRow("trailing blank") << "data " << int(kErrPathFileAccess);
        QTest::newRow("folder with a trailing dot") << "dir.\\x.mdf" << int(kErrPathFileAccess);
        QTest::newRow("stream") << "x.mdf:hidden" << int(kErrPathFileAccess);
        QTest::newRow("folder only") << "sub\\" << int(kErrPathFileAccess);
        QTest::newRow("a device's name inside a longer one") << "CONSOLE.mdf" << 0;
        QTest::newRow("forward slashes") << "a/b/x.mdf" << 0;
        QTest::newRow("Japanese") << QStringLiteral("売上\\データ.mdf") << 0;
        QTest::newRow("past MAX_PATH") << QString(120, u'f') + "\\" + QString(120, u'g') + "\\x.mdf" << 0;
    }
    // Refused before anything is stopped: Windows would write the copy to a
    // device, or quietly under another name.
    void targetNames()
    {
        QFETCH(QString, name);
        QFETCH(int, error);
        const QString target = QDir::toNativeSeparators(dir_.path()) + u'\\' + name;
        QCOMPARE(errorOf([&] { files_.prepareTarget(target); }), error);
        QCOMPARE(errorOf([&] { files_.resolveTarget(target); }), error);
        if (error == 0)
            QVERIFY2(files_.freeSpace(target).known, qPrintable(target));
    }

    // A database server holds its files with no sharing: they are looked at
    // by attributes before the stop, and a copy waits a moment for them.
    void sourceHeldPastTheStop()
    {
        const QString source = dir_.filePath(QStringLiteral("db.mdf"));
        const QByteArray content = QByteArray(3 << 20, 'x') + "end";
        QVERIFY(write(source, content));
        HANDLE held = ::CreateFileW(source.toStdWString().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        QVERIFY(held != INVALID_HANDLE_VALUE);
        QCOMPARE(errorOf([&] { files_.checkSource(source); }), 0);
        QCOMPARE(files_.fileSize(source), qint64(content.size()));
        QVERIFY(files_.sameFile(source, QDir::toNativeSeparators(source)));
        std::thread release([&] {
            ::Sleep(700);
            ::CloseHandle(held);
        });
        StagedCopy copy;
        const int got = errorOf([&] { copy = files_.stageCopy(source, dir_.filePath(QStringLiteral("t.mdf")), {}); });
        release.join();
        QCOMPARE(got, 0);
        QVERIFY(files_.verifyCopy(copy, {}));
        QFile staged(copy.path);
        QVERIFY(staged.open(QIODevice::ReadOnly));
        QCOMPARE(staged.readAll(), content);
    }

    void preCopyCaughtUp_data()
    {
        QTest::addColumn<DWORD>("sharing");
        QTest::addColumn<bool>("beside");
        QTest::newRow("shared, to the target") << DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE) << false;
        QTest::newRow("shared, changes beside the source") << DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE) << true;
        QTest::newRow("held with no sharing") << DWORD(0) << false;
    }
    // Before the stop a source is copied beside whatever the database has it
    // open for; one it shares with nobody is copied whole after the stop.
    // What it wrote until the stop is caught up either way.
    void preCopyCaughtUp()
    {
        QFETCH(DWORD, sharing);
        QFETCH(bool, beside);
        const QString source = dir_.filePath(QStringLiteral("run.mdf"));
        QByteArray content(5 << 20, 'a');
        QVERIFY(write(source, content));
        HANDLE db = ::CreateFileW(source.toStdWString().c_str(), GENERIC_READ | GENERIC_WRITE, sharing, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        QVERIFY(db != INVALID_HANDLE_VALUE);
        const QString target = dir_.filePath(QStringLiteral("copy.mdf"));
        const PreCopy pre = files_.preCopy(source, target, {});
        QCOMPARE(pre.path.isEmpty(), sharing == 0);
        // The database writes on until it stops, past the old end too.
        const QByteArray written(100000, 'z');
        ::SetFilePointer(db, 3 << 20, nullptr, FILE_BEGIN);
        DWORD n = 0;
        QVERIFY(::WriteFile(db, written.constData(), DWORD(written.size()), &n, nullptr));
        ::SetFilePointer(db, 0, nullptr, FILE_END);
        QVERIFY(::WriteFile(db, written.constData(), DWORD(written.size()), &n, nullptr));
        ::CloseHandle(db);
        content.replace(3 << 20, written.size(), written).append(written);
        StagedCopy copy;
        if (beside)
            copy = files_.applyChanges(pre, files_.captureChanges(source, pre, {}), {});
        else
            copy = files_.finishCopy(source, target, pre, {});
        QVERIFY(files_.verifyCopy(copy, {}));
        QFile staged(copy.path);
        QVERIFY(staged.open(QIODevice::ReadOnly));
        QVERIFY(staged.readAll() == content);
    }

    // What Wine has not got: a volume that clones (ReFS), folders of other
    // users. Played through the seams, the rest of the code is the real one.
    void seams_data()
    {
        QTest::addColumn<bool>("clones");
        QTest::addColumn<QString>("owner");
        QTest::addColumn<bool>("refused");
        QTest::newRow("cloning volume, another user's folder") << true << "S-1-5-21-7-8-9-1001" << true;
        QTest::newRow("no cloning, administrators' folder") << false << "S-1-5-32-544" << false;
        QTest::newRow("SYSTEM's folder") << false << "S-1-5-18" << false;
    }
    void seams()
    {
        QFETCH(bool, clones);
        QFETCH(QString, owner);
        QFETCH(bool, refused);
        SystemCalls calls = SystemCalls::host();
        calls.cloneFile = [&](void *from, void *to, std::int64_t size) {
            QByteArray bytes(qsizetype(size), '\0');
            DWORD n = 0;
            return clones && ::ReadFile(from, bytes.data(), DWORD(size), &n, nullptr) && n == size
                && ::WriteFile(to, bytes.constData(), n, &n, nullptr);
        };
        const QString shared = QDir::toNativeSeparators(dir_.filePath(QStringLiteral("shared")));
        calls.ownerOf = [&](const QString &path) { return path == shared ? owner : QStringLiteral("S-1-5-18"); };
        HostFileOps files(CopyMethod::ReadWrite, calls);
        const QString source = dir_.filePath(QStringLiteral("c.mdf"));
        QVERIFY(write(source, QByteArray(70000, 'c')));
        const QString clone = files.snapshot(source);
        QCOMPARE(!clone.isEmpty(), clones);
        const StagedCopy copy = files.stageCopy(source, dir_.filePath(QStringLiteral("t.mdf")), {});
        QCOMPARE(copy.shared, clones);
        QVERIFY(files.verifyCopy(copy, {}));
        for (const QString &made : {clone, copy.path}) {
            QFile read(made);
            QVERIFY(made.isEmpty() || (read.open(QIODevice::ReadOnly) && read.readAll() == QByteArray(70000, 'c')));
        }
        QVERIFY(QDir().mkpath(shared + QStringLiteral("\\in")));
        QCOMPARE(files.foreignFolder(shared + QStringLiteral("\\in\\t.mdf")), refused ? shared : QString());
    }

private:
    static bool write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }

    QTemporaryDir dir_;
    HostFileOps files_;
};

ZDB_TEST(WinFilesTest);

#include "tst_winfiles.moc"
