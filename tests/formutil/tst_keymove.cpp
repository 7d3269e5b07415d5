#include "FocusMark.h"
#include "KeyMove.h"
#include "TestRegistry.h"
#include "WindowFixture.h"

#include <QLineEdit>
#include <QSignalSpy>

using namespace zdb;

class KeyMoveTest : public QObject {
    Q_OBJECT
private slots:
    void movesTheFocus_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<bool>("locked");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QString>("number"); // text of 設定番号 afterwards; "" not checked

        const int none = Qt::NoModifier;
        auto row = [&](const char *name, const QString &start, bool locked, const QString &typed, Qt::Key key, int mods,
                       const QString &focus, const QString &number = {}) {
            QTest::newRow(name) << start << locked << typed << int(key) << mods << focus << number;
        };
        const QString num = QStringLiteral("設定番号");
        row("enter to next field", "DBサーバー名", false, "", Qt::Key_Return, none, "DBデータパス");
        row("keypad enter", "DBデータパス", false, "", Qt::Key_Enter, Qt::KeypadModifier, "DBログパス");
        row("enter into the frame", "DBログパス", false, "", Qt::Key_Return, none, "Path(0)");
        row("enter to second column", "Path(7)", false, "", Qt::Key_Return, none, "Path2(0)");
        row("down", "Path(3)", false, "", Qt::Key_Down, none, "Path(4)");
        row("up", "Path2(0)", false, "", Qt::Key_Up, none, "Path(7)");
        row("enter from END", "END", false, "", Qt::Key_Return, none, "DBサーバー名");
        row("down from last path", "Path2(7)", false, "", Qt::Key_Down, none, "ロックと解除");
        row("past the frame wraps to YES", "下矢印", false, "", Qt::Key_Return, none, "YES");
        row("up at position 0 stays", "YES", false, "", Qt::Key_Up, none, "YES");
        row("shift enter", "DBサーバー名", false, "", Qt::Key_Return, Qt::ShiftModifier, "DBデータパス");
        row("tab is the toolkit's", "DBサーバー名", false, "", Qt::Key_Tab, none, "DBデータパス");
        row("other key", "DBサーバー名", false, "", Qt::Key_F2, none, "DBサーバー名");
        // Combo box: up and down are its own, Enter picks the typed entry.
        row("combo down is the box's", num, false, "", Qt::Key_Down, none, num, "2");
        row("combo up is the box's", num, false, "", Qt::Key_Up, none, num, "1");
        row("combo picks 3", num, false, "3", Qt::Key_Return, none, "設定読込", "3");
        row("combo 12 picks the last", num, false, "12", Qt::Key_Return, none, "設定読込", "9");
        row("combo grouped 1,000", num, false, "1,000", Qt::Key_Return, none, "設定読込", "9");
        row("combo full-width", num, false, QStringLiteral("４"), Qt::Key_Return, none, "設定読込", "4");
        row("combo half to even down", num, false, "3.5", Qt::Key_Return, none, "設定読込", "3");
        row("combo half to even up", num, false, "4.5", Qt::Key_Return, none, "設定読込", "5");
        row("combo 0 stays", num, false, "0", Qt::Key_Return, none, "設定読込", "0");
        row("combo 0.3 stays", num, false, "0.3", Qt::Key_Return, none, "設定読込", "0.3");
        row("combo negative stays", num, false, "-2", Qt::Key_Return, none, "設定読込", "-2");
        row("combo letters stay", num, false, "abc", Qt::Key_Return, none, "設定読込", "abc");
        // Locked: the settings buttons are disabled and stepped over.
        row("locked enter skips disabled", num, true, "", Qt::Key_Return, none, "下矢印", "1");
        row("locked up stays", "下矢印", true, "", Qt::Key_Up, none, "下矢印");
        row("locked field still entered", "DBサーバー名", true, "", Qt::Key_Return, none, "DBデータパス");
        row("locked combo keeps entry", num, true, "", Qt::Key_Down, none, num, "1");
        // Left and right leave a text field only at its ends.
        row("left on selected text", "DBデータパス", false, "", Qt::Key_Left, none, "DBサーバー名");
        row("left with caret inside", "DBデータパス", false, "abc", Qt::Key_Left, none, "DBデータパス");
        row("right at the end", "DBサーバー名", false, "abc", Qt::Key_Right, none, "DBデータパス");
        row("right empty field", "Path(2)", false, "", Qt::Key_Right, none, "Path(3)");
        row("left empty field", "Path(0)", false, "", Qt::Key_Left, none, "DBログパス");
        row("left on a button", "YES", false, "", Qt::Key_Left, none, "YES");
        row("right on a button", "END", false, "", Qt::Key_Right, none, "END");
        row("right on an option", "DNO(2)", false, "", Qt::Key_Right, none, "DNO(2)");
        // Options: the routine moves them by tab position; where it stops at a
        // label the group's own arrow keys take over.
        row("option up", "DNO(2)", false, "", Qt::Key_Up, none, "DNO(1)");
        row("option up to title wraps", "DNO(0)", false, "", Qt::Key_Up, none, "YES");
        row("option enter at a label", "DNO(3)", false, "", Qt::Key_Return, none, "DNO(3)");
        row("option enter at last", "DNO(7)", false, "", Qt::Key_Return, none, "DNO(7)");
        row("option down in the group", "DNO(3)", false, "", Qt::Key_Down, none, "DNO(4)");
    }

    void movesTheFocus()
    {
        QFETCH(QString, start);
        QFETCH(bool, locked);
        QFETCH(QString, typed);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, focus);
        QFETCH(QString, number);

        test::ShownWindow w;
        QVERIFY(w.ready());
        if (locked)
            test::lockInputs(w.window);
        w[start].setFocus();
        QCOMPARE(w.focusLabel(), start);
        if (!typed.isEmpty())
            w.type(typed);
        w.press(Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(w.focusLabel(), focus);
        if (!number.isEmpty())
            QCOMPARE(w[QStringLiteral("設定番号")].text(), number);
    }

    // The key that moved the focus must not act any further: an arrow that
    // reached the option it came from would also move the selection.
    void movingKeyStopsThere_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("focus");
        QTest::newRow("up") << "DNO(2)" << int(Qt::Key_Up) << "DNO(1)";
        QTest::newRow("down") << "DNO(1)" << int(Qt::Key_Down) << "DNO(2)";
    }

    void movingKeyStopsThere()
    {
        QFETCH(QString, start);
        QFETCH(int, key);
        QFETCH(QString, focus);
        test::ShownWindow w;
        QVERIFY(w.ready());
        w[start].setValue(true);
        w[start].setFocus();
        w.press(Qt::Key(key));
        QCOMPARE(w.focusLabel(), focus);
        QVERIFY(w[start].value());
        QVERIFY(!w[focus].value());
    }

    void keyThatStaysReachesTheField()
    {
        test::ShownWindow w;
        QVERIFY(w.ready());
        w[QStringLiteral("DBサーバー名")].setFocus();
        w.type(QStringLiteral("abc"));
        w.press(Qt::Key_Left);
        w.press(Qt::Key_Left);
        w.type(QStringLiteral("X"));
        QCOMPARE(w[QStringLiteral("DBサーバー名")].text(), QStringLiteral("aXbc"));
    }

    void optionKeepsItsGroupKeys()
    {
        test::ShownWindow w;
        QVERIFY(w.ready());
        w[QStringLiteral("DNO(3)")].setValue(true);
        w[QStringLiteral("DNO(3)")].setFocus();
        w.press(Qt::Key_Down);
        QCOMPARE(w.focusLabel(), QStringLiteral("DNO(4)"));
        QVERIFY(w[QStringLiteral("DNO(4)")].value());
        QVERIFY(!w[QStringLiteral("DNO(3)")].value());
    }

    // Called directly, the routine alone: a label that is not an end label
    // stops it, and a key that needs the caret ends it on a button.
    void routineAloneLeavesTheFocus_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<int>("keyCode");
        QTest::newRow("down at label") << "DNO(3)" << 40;
        QTest::newRow("up at label") << "DNO(4)" << 38;
        QTest::newRow("left on button") << "YES" << 37;
        QTest::newRow("right on option") << "DNO(1)" << 39;
        QTest::newRow("escape") << "DBサーバー名" << 27;
    }

    void routineAloneLeavesTheFocus()
    {
        QFETCH(QString, start);
        QFETCH(int, keyCode);
        test::ShownWindow w;
        QVERIFY(w.ready());
        w[start].setFocus();
        キー移動1(w.window, qint16(keyCode));
        QCOMPARE(w.focusLabel(), start);
        QVERIFY(w.window.isVisible());
    }

    void escapeCloses_data()
    {
        QTest::addColumn<QString>("start");
        QTest::newRow("field") << "DBサーバー名";
        QTest::newRow("combo") << "設定番号";
        QTest::newRow("option") << "DNO(5)";
        QTest::newRow("button") << "YES";
    }

    void escapeCloses()
    {
        QFETCH(QString, start);
        test::ShownWindow w;
        QVERIFY(w.ready());
        w[start].setFocus();
        w.press(Qt::Key_Escape);
        QVERIFY(!w.window.isVisible());
    }

    void keyPreviewOff()
    {
        test::ShownWindow w;
        QVERIFY(w.ready());
        w.window.setKeyPreview(false);
        w[QStringLiteral("DBサーバー名")].setFocus();
        w.press(Qt::Key_Return);
        w.press(Qt::Key_Escape);
        QCOMPARE(w.focusLabel(), QStringLiteral("DBサーバー名"));
        QVERIFY(w.window.isVisible());
    }
};

ZDB_TEST(KeyMoveTest);
#include "tst_keymove.moc"
