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

#include <sys/stat.h>
#include <unistd.h>

using namespace zdb;
using test::readFile;
using test::writeFile;
using zdb::test::errorOf;

namespace {

QByteArray native(const QString &path) { return QFile::encodeName(path); }

constexpr uid_t kNobody = 65534;

} // namespace

// Where a copy goes, whose folders it passes, and what a killed run left.
class TargetsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    HostFileOps files_;
    QString p(const QString &rel) const { return dir_.filePath(rel); }

private slots:
    void init() { QVERIFY(dir_.isValid()); }
    void cleanup() { QVERIFY(QDir(dir_.path()).removeRecursively() && QDir().mkpath(dir_.path())); }

    // The copy goes where the link leads, as cp writes through it.
    void linkedTargets_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("receives"); // "" the target itself
        QTest::newRow("plain file") << "bk/DATA.MDF"
                                    << "";
        QTest::newRow("no file yet") << "bk/NEW.MDF"
                                     << "";
        QTest::newRow("absolute link") << "bk/abs.MDF"
                                       << "real/DATA.MDF";
        QTest::newRow("relative link, other folder") << "bk/rel.MDF"
                                                     << "real/DATA.MDF";
        QTest::newRow("chain of links") << "bk/chain.MDF"
                                        << "real/DATA.MDF";
        QTest::newRow("link to a file yet to come") << "bk/ahead.MDF"
                                                    << "real/LATER.MDF";
    }
    void linkedTargets()
    {
        QFETCH(QString, target);
        QFETCH(QString, receives);
        QVERIFY(writeFile(p(QStringLiteral("bk/DATA.MDF")), "old"));
        QVERIFY(writeFile(p(QStringLiteral("real/DATA.MDF")), "old"));
        QVERIFY(writeFile(p(QStringLiteral("src.MDF")), "new"));
        QVERIFY(QFile::link(p(QStringLiteral("real/DATA.MDF")), p(QStringLiteral("bk/abs.MDF"))));
        QCOMPARE(::symlink("../real/DATA.MDF", native(p(QStringLiteral("bk/rel.MDF"))).constData()), 0);
        QCOMPARE(::symlink("rel.MDF", native(p(QStringLiteral("bk/chain.MDF"))).constData()), 0);
        QCOMPARE(::symlink("../real/LATER.MDF", native(p(QStringLiteral("bk/ahead.MDF"))).constData()), 0);

        const QString resolved = files_.resolveTarget(p(target));
        const QString destination = p(receives.isEmpty() ? target : receives);
        QVERIFY2(files_.sameFile(resolved, destination), qPrintable(resolved));
        QCOMPARE(QFileInfo(resolved).isSymLink(), false);

        const StagedCopy staged = files_.stageCopy(p(QStringLiteral("src.MDF")), resolved, {});
        QVERIFY(files_.verifyCopy(staged, {}));
        files_.discard(files_.swapIntoPlace(staged.path, resolved));
        QCOMPARE(readFile(destination, "-"), QByteArray("new"));
        QCOMPARE(readFile(p(target), "-"), QByteArray("new"));
        QCOMPARE(QFileInfo(p(target)).isSymLink(), !receives.isEmpty());
    }

    // A folder swapped for another after its check gets no copy.
    void stagedOnlyInTheCheckedFolder()
    {
        HostFileOps files;
        const QString target = p(QStringLiteral("bk/D.MDF")), source = p(QStringLiteral("src"));
        QVERIFY(writeFile(source, "new") && QDir().mkpath(p(QStringLiteral("bk"))));
        QCOMPARE(files.foreignFolder(target), QString());
        files.discard(files.stageCopy(source, target, {}).path);
        QVERIFY(QDir().rename(p(QStringLiteral("bk")), p(QStringLiteral("gone")))
                && QDir().mkpath(p(QStringLiteral("bk"))));
        QCOMPARE(errorOf([&] { files.stageCopy(source, target, {}); }), int(kErrPathFileAccess));
        QCOMPARE(QDir(p(QStringLiteral("bk"))).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void linkLoopRefused()
    {
        QCOMPARE(::symlink("b", native(p(QStringLiteral("a"))).constData()), 0);
        QCOMPARE(::symlink("a", native(p(QStringLiteral("b"))).constData()), 0);
        QCOMPARE(errorOf([&] { files_.resolveTarget(p(QStringLiteral("a"))); }), int(kErrPathFileAccess));
    }

    // Folders and links of another user inside a sticky world-writable
    // folder; root's and our own are fine, and so is a plain world-writable
    // folder's content, which the sticky rule does not cover.
    void foreignFolders_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("foreign"); // "" none
        QTest::newRow("another user's folder") << "tmp/theirs/DATA.MDF"
                                               << "tmp/theirs";
        QTest::newRow("deeper under it") << "tmp/theirs/mine/DATA.MDF"
                                         << "tmp/theirs";
        QTest::newRow("our folder") << "tmp/mine/DATA.MDF"
                                    << "";
        QTest::newRow("folder yet to make") << "tmp/new/DATA.MDF"
                                            << "";
        QTest::newRow("their link to our folder") << "tmp/planted/DATA.MDF"
                                                  << "tmp/planted";
        QTest::newRow("their link as the target") << "tmp/DATA.MDF"
                                                  << "tmp/DATA.MDF";
        QTest::newRow("our link into their folder") << "bk/via/DATA.MDF"
                                                    << "tmp/theirs";
        QTest::newRow("not sticky") << "open/theirs/DATA.MDF"
                                    << "";
    }
    void foreignFolders()
    {
        QFETCH(QString, target);
        QFETCH(QString, foreign);
        if (::geteuid() != 0)
            QSKIP("needs root to give files to another user");
        for (const char *folder : {"tmp/theirs/mine", "tmp/mine", "open/theirs", "bk"})
            QVERIFY(QDir().mkpath(p(QString::fromLatin1(folder))));
        QCOMPARE(::chmod(native(p(QStringLiteral("tmp"))).constData(), 01777), 0);
        QCOMPARE(::chmod(native(p(QStringLiteral("open"))).constData(), 0777), 0);
        QCOMPARE(::symlink("mine", native(p(QStringLiteral("tmp/planted"))).constData()), 0);
        QCOMPARE(::symlink("mine/DATA.MDF", native(p(QStringLiteral("tmp/DATA.MDF"))).constData()), 0);
        QCOMPARE(::symlink("../tmp/theirs", native(p(QStringLiteral("bk/via"))).constData()), 0);
        for (const char *theirs : {"tmp/theirs", "tmp/planted", "tmp/DATA.MDF", "open/theirs"})
            QCOMPARE(::lchown(native(p(QString::fromLatin1(theirs))).constData(), kNobody, kNobody), 0);

        const QString found = files_.foreignFolder(p(target));
        if (foreign.isEmpty())
            QCOMPARE(found, QString());
        else
            QVERIFY2(files_.sameFile(found, p(foreign)) && QFileInfo(found).fileName() == QFileInfo(foreign).fileName(),
                     qPrintable(found));
    }

    void newFoldersFollowTheUmask_data()
    {
        QTest::addColumn<int>("umask");
        QTest::newRow("022") << 022;
        QTest::newRow("027") << 027;
        QTest::newRow("077") << 077;
    }
    void newFoldersFollowTheUmask()
    {
        QFETCH(int, umask);
        const mode_t old = ::umask(mode_t(umask));
        const bool made = files_.makeSureDirectoryPathExists(p(QStringLiteral("a/b/DATA.MDF")));
        ::umask(old);
        QVERIFY(made);
        for (const char *folder : {"a", "a/b"}) {
            struct stat st;
            QCOMPARE(::stat(native(p(QString::fromLatin1(folder))).constData(), &st), 0);
            QCOMPARE(int(st.st_mode & 0777), 0777 & ~umask);
        }
    }

    // What a run killed at each point of its commit leaves, and what the next
    // run makes of it: the previous pair back, or the new pair alone.
    void recovery_data()
    {
        // data, log, previous data, previous log: "" none, "empty" an empty
        // file, "mark" the mark that the target had no previous copy, "resv"
        // a name reserved alone; a "+" after a copy: beside its reservation
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after"); // data, log ("-" missing)
        QTest::addColumn<int>("previousLeft");
        QTest::newRow("killed while staging") << QStringList{"d0", "l0", "", ""} << QStringList{"d0", "l0"} << 0;
        QTest::newRow("inside the data swap") << QStringList{"", "l0", "d0", ""} << QStringList{"d0", "l0"} << 0;
        QTest::newRow("between the swaps") << QStringList{"d1", "l0", "d0", ""} << QStringList{"d0", "l0"} << 0;
        QTest::newRow("inside the log swap") << QStringList{"d1", "", "d0", "l0"} << QStringList{"d0", "l0"} << 0;
        QTest::newRow("after both swaps") << QStringList{"d1", "l1", "d0", "l0"} << QStringList{"d1", "l1"} << 0;
        QTest::newRow("after the data side's removal")
            << QStringList{"d1", "l1", "", "l0"} << QStringList{"d1", "l1"} << 0;
        // Without a log source the commit moves the log aside, and is done
        // once the data side's previous copy is gone.
        QTest::newRow("no log source, after the data side's removal")
            << QStringList{"d1", "", "", "l0"} << QStringList{"d1", "-"} << 0;
        // The previous pair had no log file.
        QTest::newRow("no previous log, after both swaps")
            << QStringList{"d1", "l1", "d0", "mark"} << QStringList{"d1", "l1"} << 0;
        QTest::newRow("no previous log, before the log moves in")
            << QStringList{"d1", "", "d0", "mark"} << QStringList{"d0", "-"} << 0;
        // A previous copy's name taken, the copy not yet moved under it.
        QTest::newRow("name taken for the data side")
            << QStringList{"d0", "l0", "resv", ""} << QStringList{"d0", "l0"} << 0;
        QTest::newRow("name taken for the log side")
            << QStringList{"d1", "l0", "d0+", "resv"} << QStringList{"d0", "l0"} << 0;
        // An empty previous copy is a copy all the same.
        QTest::newRow("empty previous data, between the swaps")
            << QStringList{"d1", "l0", "+", ""} << QStringList{"", "l0"} << 0;
        QTest::newRow("empty previous log, after both swaps")
            << QStringList{"d1", "l1", "d0+", "+"} << QStringList{"d1", "l1"} << 0;
        // An earlier version's empty name: a name taken or an empty copy.
        QTest::newRow("earlier empty name beside its target")
            << QStringList{"d0", "l0", "empty", ""} << QStringList{"d0", "l0"} << 1;
        // A first commit cut short leaves nothing of ours.
        QTest::newRow("first commit, before the log moves in")
            << QStringList{"d1", "", "mark", "mark"} << QStringList{"-", "-"} << 0;
        QTest::newRow("only copy, no log anywhere") << QStringList{"", "", "d0", ""} << QStringList{"d0", "-"} << 0;
        QTest::newRow("only copy, no data anywhere") << QStringList{"", "", "", "l0"} << QStringList{"-", "l0"} << 0;
    }
    void recovery()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QFETCH(int, previousLeft);
        const QString data = p(QStringLiteral("bk/DATA.MDF")), log = p(QStringLiteral("bk/DATA_LOG.LDF"));
        const QString paths[4] = {data, log, p(QStringLiteral("bk/.DATA.MDF%1a1B2c3")),
                                  p(QStringLiteral("bk/.DATA_LOG.LDF%1Zz9y8X"))};
        for (int i = 0; i < 4; ++i) {
            const QString body = QString(before[i]).remove(u'+');
            const char *marker = body == "mark" ? kAbsentMarker : body == "resv" ? kReservedMarker : kPreviousMarker;
            if (!before[i].isEmpty())
                QVERIFY(
                    writeFile(paths[i].arg(QLatin1StringView(marker)),
                              QStringList{"mark", "empty", "resv"}.contains(body) ? QByteArray() : body.toLatin1()));
            if (before[i].endsWith(u'+'))
                QVERIFY(writeFile(paths[i].arg(QLatin1StringView(kReservedMarker)), {}));
        }
        // Staged copies of the killed run, and names that are not ours.
        QVERIFY(writeFile(p(QStringLiteral("bk/.DATA.MDF.zdbtmp-q1w2e3")), "staged"));
        QVERIFY(writeFile(p(QStringLiteral("bk/.DATA_LOG.LDF.zdbtmp-r4t5y6")), "staged"));
        QVERIFY(writeFile(p(QStringLiteral("bk/.DATA.MDF.zdbprev-toolong1")), "not ours"));

        files_.recoverInterrupted(data, log);

        QCOMPARE(readFile(data, "-"), after[0].toLatin1());
        QCOMPARE(readFile(log, "-"), after[1].toLatin1());
        QStringList left = QDir(p(QStringLiteral("bk"))).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        QCOMPARE(left.removeAll(QStringLiteral(".DATA.MDF.zdbprev-toolong1")), 1);
        left.removeAll(QStringLiteral("DATA.MDF"));
        left.removeAll(QStringLiteral("DATA_LOG.LDF"));
        QCOMPARE(left.size(), previousLeft);
    }

    // Another user's files under our names are theirs to keep.
    void recoverySparesOtherUsers()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to give files to another user");
        const QString data = p(QStringLiteral("bk/DATA.MDF")), log = p(QStringLiteral("bk/DATA_LOG.LDF"));
        const QString staged = p(QStringLiteral("bk/.DATA.MDF.zdbtmp-q1w2e3"));
        const QString previous = p(QStringLiteral("bk/.DATA_LOG.LDF.zdbprev-a1B2c3"));
        for (const QString &path : {data, log, staged, previous})
            QVERIFY(writeFile(path, "x"));
        for (const QString &path : {staged, previous})
            QCOMPARE(::chown(native(path).constData(), kNobody, kNobody), 0);
        files_.recoverInterrupted(data, log);
        QVERIFY(QFileInfo::exists(staged));
        QVERIFY(QFileInfo::exists(previous));
    }
};

ZDB_TEST(TargetsTest);
#include "tst_targets.moc"
