#include "Platform.h"
#include "SettingsBackend.h"
#include "SettingsStore.h"
#include "SettingsWindow.h"
#include "TestRegistry.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace zdb;

Q_DECLARE_METATYPE(zdb::SettingsControls)

namespace {

const QString kBase = QStringLiteral("ZorvatDBバックアップ");

QStringList fieldKeys()
{
    QStringList keys = {QStringLiteral("DBサーバー名"), QStringLiteral("DBデータパス"), QStringLiteral("DBログパス")};
    for (int i = 0; i < 8; ++i)
        keys << QStringLiteral("DBデータパス1%1").arg(i);
    for (int i = 0; i < 8; ++i)
        keys << QStringLiteral("DBログパス1%1").arg(i);
    return keys;
}

void fillDistinct(Form &w, const QString &tag)
{
    int n = 0;
    for (Control c : test::inputFields(w))
        c.setText(QStringLiteral("%1-%2").arg(tag).arg(n++));
}

} // namespace

class SettingsStoreTest : public QObject {
    Q_OBJECT
private slots:
    void sectionFollowsTrimmedNumber_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("section");
        QTest::newRow("1") << "1" << kBase + "1";
        QTest::newRow("blanks around") << "  3 " << kBase + "3";
        QTest::newRow("empty") << "" << kBase;
        QTest::newRow("letters") << "abc" << kBase + "abc";
        QTest::newRow("inner blank kept") << " a b " << kBase + "a b";
    }
    void sectionFollowsTrimmedNumber()
    {
        QFETCH(QString, number);
        QFETCH(QString, section);
        test::TestPlatform tp;
        test::SettingsWindow w(tp.platform);
        w.control(QStringLiteral("設定番号")).setText(number);
        QVariant scratch;
        FMM_SETレジストリ1(w, scratch);
        QCOMPARE(settingsSection(w), section);
        for (const QString &key : fieldKeys())
            QVERIFY2(tp.settings.values.contains(test::MemorySettings::keyOf("QXN", section, key)), qPrintable(key));
        QCOMPARE(tp.settings.writes, 19);
    }

    // The stored keys are the same whatever the window calls the controls
    // that show them.
    void keysStayWhateverTheControlsAreCalled_data()
    {
        QTest::addColumn<SettingsControls>("names");
        QTest::newRow("main window's names") << test::testWindowControls();
        QTest::newRow("other names") << SettingsControls{"Number", "Server", "Source", "Log", "Dest", "Dest2", {}};
    }
    void keysStayWhateverTheControlsAreCalled()
    {
        QFETCH(SettingsControls, names);
        setSettingsControls(names);
        test::TestPlatform tp;
        Form w(tp.platform, QStringLiteral("SCR100"));
        w.addControl(ControlKind::ComboBox, names.number).setText(QStringLiteral(" 4 "));
        QList<Control> shown;
        for (const QString &name : {names.serviceName, names.dataSource, names.logSource})
            shown << w.addControl(ControlKind::TextBox, name);
        for (const QString &name : {names.dataTargets, names.logTargets})
            for (int i = 0; i < 8; ++i)
                shown << w.addControl(ControlKind::TextBox, name, i);
        for (int n = 0; n < shown.size(); ++n)
            shown[n].setText(QStringLiteral(" v-%1 ").arg(n));

        QVariant scratch;
        FMM_SETレジストリ1(w, scratch);
        const QStringList keys = fieldKeys();
        QCOMPARE(tp.settings.values.size(), keys.size());
        for (int n = 0; n < keys.size(); ++n)
            QCOMPARE(tp.settings.read("QXN", kBase + "4", keys[n], "x"), QStringLiteral("v-%1").arg(n));

        for (Control c : shown)
            c.setText(QString());
        FMM_GETレジストリ1(w, scratch);
        for (int n = 0; n < shown.size(); ++n)
            QCOMPARE(shown[n].text(), QStringLiteral("v-%1").arg(n));
    }

    void loadEmptiesFieldsWithoutKeys()
    {
        test::TestPlatform tp;
        test::SettingsWindow w(tp.platform);
        tp.settings.values.insert(test::MemorySettings::keyOf("QXN", kBase + "1", "DBログパス17"), "/bk/sun.ldf");
        fillDistinct(w, "old");
        w.control(QStringLiteral("設定番号")).setText("1");
        QVariant scratch;
        FMM_GETレジストリ1(w, scratch);
        const QList<Control> f = test::inputFields(w);
        for (int i = 0; i < f.size(); ++i)
            QCOMPARE(f[i].text(), i == 18 ? QStringLiteral("/bk/sun.ldf") : QString());
    }

    void storeTrimsAndShowsTrimmedSingleFields()
    {
        test::TestPlatform tp;
        test::SettingsWindow w(tp.platform);
        w.control(QStringLiteral("設定番号")).setText("2");
        fillDistinct(w, "v");
        w.control(QStringLiteral("DBサーバー名")).setText(" MSSQLServer  ");
        w.control(QStringLiteral("Path"), 3).setText("  /bk/thu.mdf ");
        QVariant scratch;
        FMM_SETレジストリ1(w, scratch);
        const QString section = kBase + "2";
        QCOMPARE(tp.settings.read("QXN", section, QStringLiteral("DBサーバー名"), "x"), QStringLiteral("MSSQLServer"));
        QCOMPARE(w.control(QStringLiteral("DBサーバー名")).text(), QStringLiteral("MSSQLServer"));
        QCOMPARE(tp.settings.read("QXN", section, QStringLiteral("DBデータパス13"), "x"),
                 QStringLiteral("/bk/thu.mdf"));
        // The destination boxes are not refreshed after a store.
        QCOMPARE(w.control(QStringLiteral("Path"), 3).text(), QStringLiteral("  /bk/thu.mdf "));
        // A field left empty is stored as empty.
        w.control(QStringLiteral("Path2"), 0).setText("");
        FMM_SETレジストリ1(w, scratch);
        QCOMPARE(tp.settings.read("QXN", section, QStringLiteral("DBログパス10"), "x"), QString());
    }

    void storingOneNumberLeavesAnotherAlone()
    {
        test::TestPlatform tp;
        test::SettingsWindow w(tp.platform);
        Control number = w.control(QStringLiteral("設定番号"));
        number.setText("1");
        fillDistinct(w, "one");
        QVariant scratch;
        FMM_SETレジストリ1(w, scratch);
        const auto before = tp.settings.values;
        number.setText("2");
        fillDistinct(w, "two");
        FMM_SETレジストリ1(w, scratch);
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QCOMPARE(tp.settings.values.value(it.key()), it.value());
        number.setText("1");
        FMM_GETレジストリ1(w, scratch);
        QCOMPARE(w.control(QStringLiteral("Path2"), 7).text(), QStringLiteral("one-18"));
    }

    void loadButton_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("yes") << int(kAnswerYes) << true;
        QTest::newRow("no") << int(kAnswerNo) << false;
    }
    void loadButton()
    {
        QFETCH(int, answer);
        QFETCH(bool, loaded);
        test::TestPlatform tp;
        test::SettingsWindow w(tp.platform);
        tp.settings.values.insert(test::MemorySettings::keyOf("QXN", kBase + "5", QStringLiteral("DBサーバー名")),
                                  "SVC5");
        w.control(QStringLiteral("設定番号")).setText("5");
        w.control(QStringLiteral("DBサーバー名")).setText("typed");
        tp.boxes.answers = {answer};
        設定読込_Click(w);
        QCOMPARE(tp.boxes.shown.size(), 1);
        QCOMPARE(tp.boxes.shown[0].prompt, QStringLiteral("設定情報を読み込みます。よろしいですか"));
        QCOMPARE(tp.boxes.shown[0].code, 4);
        QVERIFY(!tp.boxes.shown[0].title);
        QCOMPARE(w.control(QStringLiteral("DBサーバー名")).text(),
                 loaded ? QStringLiteral("SVC5") : QStringLiteral("typed"));
    }

    void storeButton_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("failFlush");
        QTest::addColumn<SettingsFault>("fault");
        QTest::addColumn<int>("writes");
        QTest::addColumn<QString>("result");
        const auto none = SettingsFault::None;
        QTest::newRow("yes") << int(kAnswerYes) << false << none << 19 << QStringLiteral("入力情報を記憶しました。");
        QTest::newRow("no") << int(kAnswerNo) << false << none << 0
                            << QStringLiteral("入力情報は記憶されませんでした。");
        QTest::newRow("yes, store fails") << int(kAnswerYes) << true << none << 19
                                          << QStringLiteral("エラーです。設定を記憶できません。\r/memory/QXN.ini");
        QTest::newRow("yes, file unreadable")
            << int(kAnswerYes) << true << SettingsFault::Unreadable << 19
            << QStringLiteral("エラーです。設定を記憶できません。\r設定ファイルを読み込めません。\r/memory/QXN.ini");
        QTest::newRow("yes, not a file")
            << int(kAnswerYes) << true << SettingsFault::NotAFile << 19
            << QStringLiteral(
                   "エラーです。設定を記憶できません。\r設定ファイルが通常のファイルではありません。\r/memory/QXN.ini");
    }
    void storeButton()
    {
        QFETCH(int, answer);
        QFETCH(bool, failFlush);
        QFETCH(SettingsFault, fault);
        QFETCH(int, writes);
        QFETCH(QString, result);
        test::TestPlatform tp;
        tp.settings.failFlush = failFlush;
        tp.settings.faultState = fault;
        test::SettingsWindow w(tp.platform);
        tp.boxes.answers = {answer};
        設定記憶_Click(w);
        QCOMPARE(tp.boxes.prompts(), QStringList({QStringLiteral("入力情報を記憶します。よろしいですか"), result}));
        QCOMPARE(tp.boxes.shown[0].code, 4);
        QCOMPARE(tp.boxes.shown[1].code, 0);
        QVERIFY(!tp.boxes.shown[0].title && !tp.boxes.shown[1].title);
        QCOMPARE(tp.settings.writes, writes);
    }

    // A store that failed leaves nothing behind: loading shows the file.
    void loadAfterFailedStoreShowsTheFile()
    {
        QTemporaryDir dir;
        // A file where the folder should be: no user, root included, can write there.
        QFile blocker(dir.filePath("notafolder"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        test::TestPlatform tp;
        QtSettingsBackend store(dir.filePath("notafolder/QXN.ini"));
        Platform p{tp.boxes, store, tp.clock, tp.systemInfo, tp.events, tp.printer, tp.backups};
        test::SettingsWindow w(p);
        w.load();
        fillDistinct(w, "typed");
        設定記憶_Click(w);
        QVERIFY(tp.boxes.prompts().last().startsWith(QStringLiteral("エラーです。設定を記憶できません。")));
        設定読込_Click(w);
        for (Control c : test::inputFields(w))
            QCOMPARE(c.text(), QString());
    }

    // The real store: what is kept under number 3 comes back in a new window.
    void realStoreSurvivesRestart()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath("QXN.ini");
        {
            test::TestPlatform tp;
            QtSettingsBackend store(ini);
            Platform p{tp.boxes, store, tp.clock, tp.systemInfo, tp.events, tp.printer, tp.backups};
            test::SettingsWindow w(p);
            w.load();
            w.control(QStringLiteral("設定番号")).setText("3");
            fillDistinct(w, QStringLiteral("三"));
            設定記憶_Click(w);
            QCOMPARE(tp.boxes.prompts().last(), QStringLiteral("入力情報を記憶しました。"));
        }
        test::TestPlatform tp;
        QtSettingsBackend store(ini);
        Platform p{tp.boxes, store, tp.clock, tp.systemInfo, tp.events, tp.printer, tp.backups};
        test::SettingsWindow w(p);
        w.load();
        // Number 1 holds nothing yet.
        QCOMPARE(w.control(QStringLiteral("DBサーバー名")).text(), QString());
        w.control(QStringLiteral("設定番号")).setText("3");
        設定読込_Click(w);
        int n = 0;
        for (Control c : test::inputFields(w))
            QCOMPARE(c.text(), QStringLiteral("三-%1").arg(n++));
    }
};

ZDB_TEST(SettingsStoreTest);
#include "tst_settingsstore.moc"
