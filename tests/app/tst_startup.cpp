#include "FocusMark.h"
#include "MainWindow.h"
#include "Platform.h"
#include "SettingsBackend.h"
#include "SettingsStore.h"
#include "StartUp.h"
#include "TestPlatform.h"
#include "TestRegistry.h"
#include "TestWindow.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

using namespace zdb;

class StartUpTest : public QObject {
    Q_OBJECT
private slots:
    void weekdayRow_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<int>("row");
        // 2026-12-07 is a Monday.
        for (int d = 0; d < 7; ++d)
            QTest::addRow("%s", qPrintable(QDate(2026, 12, 7 + d).toString(Qt::ISODate)))
                << QDate(2026, 12, 7 + d) << d;
        QTest::newRow("leap day, a Thursday") << QDate(2024, 2, 29) << 3;
    }
    void weekdayRow()
    {
        QFETCH(QDate, date);
        QFETCH(int, row);
        test::TestPlatform tp;
        tp.clock.current = QDateTime(date, QTime(23, 59, 59));
        MainWindow w(tp.platform);
        w.load();
        for (int i = 0; i < 8; ++i)
            QCOMPARE(w.control("DNO", i).value(), i == row);
    }

    void osFamily_data()
    {
        QTest::addColumn<int>("platform");
        QTest::addColumn<QString>("caption");
        QTest::newRow("0") << 0 << "Win32S";
        QTest::newRow("1") << 1 << "Windows Me";
        QTest::newRow("2") << 2 << "Windows 2000 & Xp";
        QTest::newRow("3") << 3 << "";
        QTest::newRow("-1") << -1 << "";
    }
    void osFamily()
    {
        QFETCH(int, platform);
        QFETCH(QString, caption);
        test::TestPlatform tp;
        tp.systemInfo.platform = platform;
        MainWindow w(tp.platform);
        w.load();
        QCOMPARE(w.control("LblOS").text(), caption);
    }

    void title()
    {
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        w.load();
        const QString expected =
            QStringLiteral("ZorvatDBバックアップ -  <ZorvatDBバックアップ:SCR520>") + QString(40, u' ');
        QCOMPARE(w.caption(), expected);
        QCOMPARE(w.windowTitle(), expected);
        // Applied to its own result it changes nothing.
        QCOMPARE(FMM_CapSet1(w, 1), expected);
    }

    void titleKeepsLongCaption_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("kept");
        QTest::newRow("39") << 39 << false;
        QTest::newRow("40") << 40 << true;
        QTest::newRow("41") << 41 << true;
    }
    void titleKeepsLongCaption()
    {
        QFETCH(int, length);
        QFETCH(bool, kept);
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        // UTF-16 units: one wide character counts one.
        const QString caption = QString(length, u'画');
        w.setCaption(caption);
        const QString title = FMM_CapSet1(w, 1);
        QCOMPARE(title == caption, kept);
        if (!kept)
            QVERIFY(title.endsWith(QStringLiteral(":") + caption + QStringLiteral(">") + QString(40, u' ')));
    }

    void productNameComesFromSystemInfo()
    {
        test::TestPlatform tp;
        tp.systemInfo.product = QStringLiteral("別製品");
        MainWindow w(tp.platform);
        w.load();
        QVERIFY(w.caption().startsWith(QStringLiteral("別製品 -  <ZorvatDBバックアップ:SCR520>")));
    }

    void settingsNumberList()
    {
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        w.load();
        Control n = w.control(QStringLiteral("設定番号"));
        QCOMPARE(n.listCount(), 9);
        for (int i = 0; i < 9; ++i)
            QCOMPARE(n.list(i), QString::number(i + 1));
        QCOMPARE(n.text(), QStringLiteral("1"));
    }

    void loadsSettingsNumberOne()
    {
        test::TestPlatform tp;
        tp.settings.values.insert(
            test::MemorySettings::keyOf("QXN", QStringLiteral("ZorvatDBバックアップ1"), QStringLiteral("DBサーバー名")),
            "MSSQL$ZORVAT");
        tp.settings.values.insert(
            test::MemorySettings::keyOf("QXN", QStringLiteral("ZorvatDBバックアップ2"), QStringLiteral("DBログパス")),
            "other");
        MainWindow w(tp.platform);
        w.load();
        QCOMPARE(w.control(QStringLiteral("DBサーバー名")).text(), QStringLiteral("MSSQL$ZORVAT"));
        // Nothing stored for the rest: the designed texts are gone.
        QCOMPARE(w.control(QStringLiteral("DBログパス")).text(), QString());
        QCOMPARE(w.control("Path", 0).text(), QString());
        QCOMPARE(tp.settings.writes, 0);
    }

    void shownWithFocusOnYes()
    {
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.isLoaded());
        QTRY_VERIFY(w.activeControl() == w.control("YES"));
        QCOMPARE(w.control("YES").backColor(), kFocusMark);
        // The start-up run found nothing marked: the layout's colours stay.
        QCOMPARE(w.control(QStringLiteral("DBサーバー名")).backColor(), rgb(224, 224, 224));
        QCOMPARE(w.control("END").backColor(), kButtonFace);
    }

    void endClosesWindow()
    {
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::mouseClick(w.control("END").widget(), Qt::LeftButton);
        QTRY_VERIFY(!w.isVisible());
    }

    // Whatever stands where the settings file should be, the window opens
    // with empty fields and one box naming the file; a store says why it
    // cannot keep anything and leaves the file alone.
    void settingsFileThatIsNoSettings_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("storeReason");
        const QString notAFile = QStringLiteral("通常のファイルではありません。");
        const QString notAFileStore = QStringLiteral("設定ファイルが通常のファイルではありません。\r");
        QTest::newRow("random bytes") << "bytes" << QString() << QStringLiteral("設定ファイルを読み込めません。\r");
        QTest::newRow("named pipe") << "pipe" << notAFile << notAFileStore;
        QTest::newRow("folder") << "folder" << notAFile << notAFileStore;
    }
    void settingsFileThatIsNoSettings()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QFETCH(QString, storeReason);
        QTemporaryDir dir;
        const QString ini = dir.filePath("QXN.ini");
        QByteArray bytes(4096, Qt::Uninitialized);
        QRandomGenerator(13).fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        if (kind == "bytes") {
            QFile file(ini);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        } else if (kind == "pipe") {
            QCOMPARE(::mkfifo(QFile::encodeName(ini).constData(), 0600), 0);
        } else {
            QVERIFY(QDir().mkpath(ini));
        }
        test::TestPlatform tp;
        QtSettingsBackend store(ini);
        Platform p{tp.boxes, store, tp.clock, tp.systemInfo, tp.events, tp.printer, tp.backups};
        MainWindow w(p);
        w.load();
        w.show();
        QTRY_COMPARE(tp.boxes.prompts(),
                     QStringList{QStringLiteral("エラーです。設定ファイルを読み込めません。") + reason
                                 + QStringLiteral("\r設定ファイルを確認して下さい。\r") + ini});
        for (Control c : test::inputFields(w))
            QCOMPARE(c.text(), QString());

        for (Control c : test::inputFields(w))
            c.setText(QStringLiteral("typed"));
        設定記憶_Click(w);
        QCOMPARE(tp.boxes.prompts().last(), QStringLiteral("エラーです。設定を記憶できません。\r") + storeReason + ini);
        const QFileInfo after(ini);
        if (kind == "bytes") {
            QFile file(ini);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), bytes);
        } else {
            QCOMPARE(after.isDir(), kind == "folder");
            QVERIFY(!after.isFile());
        }
    }
};

ZDB_TEST(StartUpTest);
#include "tst_startup.moc"
