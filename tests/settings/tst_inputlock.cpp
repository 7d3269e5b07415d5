#include "Form.h"
#include "InputLock.h"
#include "MessageBoxes.h"
#include "SettingsWindow.h"
#include "TestRegistry.h"

#include <QAbstractButton>

using namespace zdb;

namespace {

const QString kUnlockQuestion =
    QStringLiteral("ロックを解除し、設定変更が可能な状態にします。\r"
                   "システムに詳しい方は、\u3000\u3000はい\u3000\u3000を選択して下さい\r"
                   "そうでない場合は、\u3000\u3000\u3000\u3000いいえ\u3000を選択して下さい");

// Every input's Locked flag and every button's Enabled flag, by position.
QStringList flags(const Form &form)
{
    QStringList out;
    for (int i = 0; i < form.controlCount(); ++i) {
        const Control c = form.control(i);
        const QString label = c.index() >= 0 ? QStringLiteral("%1(%2)").arg(c.name()).arg(c.index()) : c.name();
        if (c.kind() == ControlKind::TextBox || c.kind() == ControlKind::ComboBox)
            out << label + (c.locked() ? QStringLiteral(" locked") : QStringLiteral(" open"));
        else if (c.widget())
            out << label + (c.enabled() ? QStringLiteral(" enabled") : QStringLiteral(" disabled"));
    }
    return out;
}

int countOf(const QStringList &list, const QString &suffix)
{
    return int(std::count_if(list.begin(), list.end(), [&](const QString &s) { return s.endsWith(suffix); }));
}

} // namespace

class InputLockTest : public QObject {
    Q_OBJECT
private slots:
    void firstPressLocksWithoutQuestion()
    {
        test::ShownWindow w;
        QVERIFY(w.ready());
        QTest::mouseClick(w[QStringLiteral("ロックと解除")].widget(), Qt::LeftButton);
        QVERIFY(w.tp.boxes.shown.isEmpty());
        const QStringList f = flags(w.window);
        QCOMPARE(countOf(f, " locked"), 20); // nineteen inputs and 設定番号
        QCOMPARE(countOf(f, " open"), 0);
        QVERIFY(f.contains(QStringLiteral("設定読込 disabled")));
        QVERIFY(f.contains(QStringLiteral("設定記憶 disabled")));
        QCOMPARE(countOf(f, " disabled"), 2); // exempt buttons, options, labels untouched

        // Read-only, not disabled: the field still takes the focus, refuses typing.
        w[QStringLiteral("DBサーバー名")].setFocus();
        w.type(QStringLiteral("x"));
        QCOMPARE(w.focusLabel(), QStringLiteral("DBサーバー名"));
        QCOMPARE(w[QStringLiteral("DBサーバー名")].text(), QString());
    }

    void unlockAsks_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("unlocked");
        QTest::newRow("yes") << int(kAnswerYes) << true;
        QTest::newRow("no") << int(kAnswerNo) << false;
    }

    void unlockAsks()
    {
        QFETCH(int, answer);
        QFETCH(bool, unlocked);
        test::ShownWindow w;
        QVERIFY(w.ready());
        const QStringList open = flags(w.window);
        ロックと解除_Click(w.window);
        const QStringList locked = flags(w.window);
        w.tp.boxes.answers = {answer};
        ロックと解除_Click(w.window);
        QCOMPARE(w.tp.boxes.shown.size(), 1);
        QCOMPARE(w.tp.boxes.shown[0].prompt, kUnlockQuestion);
        QCOMPARE(w.tp.boxes.shown[0].code, int(kMsgYesNo));
        QVERIFY(!w.tp.boxes.shown[0].title.has_value());
        QCOMPARE(flags(w.window), unlocked ? open : locked);
    }

    // The state is read from DBサーバー名 alone; every press brings all the
    // controls into line with it.
    void stateComesFromTheServiceName()
    {
        test::ShownWindow w;
        QVERIFY(w.ready());
        ロックと解除_Click(w.window);
        w[QStringLiteral("DBサーバー名")].setLocked(false);
        w[QStringLiteral("設定記憶")].setEnabled(true);
        ロックと解除_Click(w.window);
        QVERIFY(w.tp.boxes.shown.isEmpty());
        QCOMPARE(countOf(flags(w.window), " locked"), 20); // nineteen inputs and 設定番号
        QVERIFY(!w[QStringLiteral("設定記憶")].enabled());
    }

    void lockedComboKeepsItsEntry()
    {
        test::ShownWindow w;
        QVERIFY(w.ready());
        ロックと解除_Click(w.window);
        Control number = w[QStringLiteral("設定番号")];
        number.setFocus();
        w.type(QStringLiteral("5"));
        w.press(Qt::Key_Down);
        QCOMPARE(number.text(), QStringLiteral("1"));
    }

    // Another window: the buttons it names as exempt, in any case, stay
    // usable; the field it names holds the state; options are untouched.
    void namesComeFromTheWindow_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QStringList>("exempt");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<QStringList>("disabled"); // by the lock
        QTest::newRow("main window's names")
            << QStringLiteral("DBサーバー名") << test::testWindowControls().alwaysUsable
            << QStringList{"yes", "End", "pRn", QStringLiteral("ロックと解除"), QStringLiteral("下矢印"), "Other"}
            << QStringList{"Other"};
        // The main window's exempt names mean nothing on this window.
        QTest::newRow("other names") << "Service" << QStringList{"Go", "LOCK"}
                                     << QStringList{"go", "Lock", "YES", "END", "Other"}
                                     << QStringList{"YES", "END", "Other"};
    }
    void namesComeFromTheWindow()
    {
        QFETCH(QString, field);
        QFETCH(QStringList, exempt);
        QFETCH(QStringList, buttons);
        QFETCH(QStringList, disabled);
        SettingsControls names = test::testWindowControls();
        names.serviceName = field;
        names.alwaysUsable = exempt;
        setSettingsControls(names);
        test::TestPlatform tp;
        Form form(tp.platform, QStringLiteral("SCR100"));
        QList<Control> made;
        for (const QString &n : buttons)
            made << form.addControl(ControlKind::CommandButton, n);
        Control option = form.addControl(ControlKind::OptionButton, QStringLiteral("DNO"), 0);
        option.setEnabled(false);
        Control stateField = form.addControl(ControlKind::TextBox, field);
        Control combo = form.addControl(ControlKind::ComboBox, QStringLiteral("Combo1"));
        form.addControl(ControlKind::SysInfo, QStringLiteral("SysInfo1"));

        ロックと解除_Click(form);
        for (int i = 0; i < made.size(); ++i)
            QVERIFY2(made[i].enabled() != disabled.contains(buttons[i]), qPrintable(buttons[i]));
        QVERIFY(stateField.locked());
        QVERIFY(combo.locked());
        QVERIFY(tp.boxes.shown.isEmpty());
        ロックと解除_Click(form);
        QCOMPARE(tp.boxes.shown.size(), 1); // the state was read from the named field
        QVERIFY(!stateField.locked());
        QVERIFY(!combo.locked());
        for (const Control &c : made)
            QVERIFY(c.enabled());
        QVERIFY(!option.enabled());
    }
};

ZDB_TEST(InputLockTest);
#include "tst_inputlock.moc"
