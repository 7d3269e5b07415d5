#include "FocusMark.h"
#include "Form.h"
#include "ScreenPrint.h"
#include "TestRegistry.h"
#include "WindowFixture.h"

#include <QHash>
#include <QLineEdit>

using namespace zdb;

namespace {

// The colour that covers most of an image: a control's ground, whatever its
// caption, frame or focus rectangle add.
QString mostCommonColour(const QImage &image)
{
    QHash<QRgb, int> counts;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x)
            ++counts[rgb.pixel(x, y)];
    QRgb best = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > counts.value(best))
            best = it.key();
    return QColor(best).name();
}

// The control as painted on screen; a frame without the controls it holds.
QString drawnColour(const Control &c)
{
    QWidget *w = c.widget();
    QImage image(w->size(), QImage::Format_RGB32);
    image.fill(Qt::magenta);
    const auto flags = c.kind() == ControlKind::Frame ? QWidget::RenderFlags(QWidget::DrawWindowBackground)
                                                      : QWidget::DrawWindowBackground | QWidget::DrawChildren;
    w->render(&image, QPoint(), QRegion(), flags);
    return mostCommonColour(image);
}

} // namespace

class FocusMarkTest : public QObject {
    Q_OBJECT
private slots:
    void markFollowsTheFocus_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::newRow("field to field") << "DBサーバー名"
                                        << "DBデータパス";
        QTest::newRow("button to button") << "YES"
                                          << "END";
        QTest::newRow("option to field") << "DNO(2)"
                                         << "Path(2)";
        QTest::newRow("combo to button") << "設定番号"
                                         << "設定読込";
        QTest::newRow("field to no tab stop") << "Path2(7)"
                                              << "PRN";
    }

    void markFollowsTheFocus()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        test::ShownWindow w;
        QVERIFY(w.ready());
        w[from].setFocus();
        QCOMPARE(w[from].backColor(), kFocusMark);
        w[to].setFocus();
        QCOMPARE(w[to].backColor(), kFocusMark);
        // Button face, not the layout's grey and not white.
        QCOMPARE(w[from].backColor(), kButtonFace);
        int marked = 0;
        for (int i = 0; i < w.window.controlCount(); ++i) {
            const Control c = w.window.control(i);
            if (c.widget() && c.backColor() == kFocusMark)
                ++marked;
        }
        QCOMPARE(marked, 1);
    }

    void clickAndTabEnter()
    {
        test::ShownWindow w;
        QVERIFY(w.ready());
        QTest::mouseClick(w[QStringLiteral("ロックと解除")].widget(), Qt::LeftButton);
        QCOMPARE(w[QStringLiteral("ロックと解除")].backColor(), kFocusMark);
        w[QStringLiteral("DBログパス")].setText(QStringLiteral("  log  "));
        w[QStringLiteral("DBデータパス")].setFocus();
        w.press(Qt::Key_Tab);
        const Control log = w[QStringLiteral("DBログパス")];
        QCOMPARE(log.backColor(), kFocusMark);
        // The toolkit selects all on Tab; the mark's own selection wins.
        QCOMPARE(log.selStart(), 0);
        QCOMPARE(log.selLength(), 3);
    }

    void selectsFromTheStart_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("length");
        QTest::newRow("plain") << "abc" << 3;
        QTest::newRow("leading blanks") << "  abc" << 3;
        QTest::newRow("trailing blanks") << "abc  " << 3;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("ideographic space is text") << QStringLiteral("　abc") << 4;
    }

    void selectsFromTheStart()
    {
        QFETCH(QString, text);
        QFETCH(int, length);
        test::ShownWindow w;
        QVERIFY(w.ready());
        for (const char *name : {"Path(4)", "設定番号"}) {
            Control c = w[QString::fromUtf8(name)];
            c.setText(text);
            c.setFocus();
            QCOMPARE(c.selStart(), 0);
            QCOMPARE(c.selLength(), length);
            QCOMPARE(c.text(), text);
        }
    }

    // What the screen shows, not only what is stored: each kind of control is
    // painted in its layout colour, in the mark while it has the focus, white
    // on the printed picture, and in its layout colour again after the print.
    void drawnColours_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QColor>("layout");
        QTest::addColumn<bool>("focused");
        const QColor grey(224, 224, 224);
        const QColor buttonFace = toQColor(kButtonFace);
        QTest::newRow("text box") << "Path(1)" << grey << false;
        QTest::newRow("text box, focused") << "Path(1)" << grey << true;
        QTest::newRow("combo box") << QStringLiteral("設定番号") << grey << false;
        QTest::newRow("combo box, focused") << QStringLiteral("設定番号") << grey << true;
        QTest::newRow("option") << "DNO(2)" << grey << false;
        QTest::newRow("option, focused") << "DNO(2)" << grey << true;
        QTest::newRow("selected option, focused") << "DNO(0)" << grey << true;
        QTest::newRow("button") << QStringLiteral("設定読込") << buttonFace << false;
        QTest::newRow("button, focused") << QStringLiteral("設定読込") << buttonFace << true;
        QTest::newRow("label") << "LABEL1(1)" << QColor(255, 255, 192) << false;
        QTest::newRow("frame") << "Frame1" << QColor(192, 192, 192) << false;
    }

    void drawnColours()
    {
        QFETCH(QString, control);
        QFETCH(QColor, layout);
        QFETCH(bool, focused);
        test::ShownWindow w;
        QVERIFY(w.ready());
        const Control c = w[control];
        if (focused) {
            Control(c).setFocus();
            QCOMPARE(w.focusLabel(), control);
        }
        QCOMPARE(drawnColour(c), focused ? QStringLiteral("#c0ffc0") : layout.name());

        test::KeyedWindow copy(w.tp.platform);
        copy.setAttribute(Qt::WA_DontShowOnScreen);
        hcpy1(w.window, copy);
        QCOMPARE(w.tp.printer.jobs, 1);
        const QRect onPicture(c.widget()->mapTo(&w.window, QPoint(0, 0)), c.widget()->size());
        QCOMPARE(mostCommonColour(w.tp.printer.lastPicture.copy(onPicture)), QStringLiteral("#ffffff"));
        QCOMPARE(drawnColour(c), layout.name());
    }

    // Coming back from another window returns the focus: no new entry.
    void returningToTheWindowIsNoEntry()
    {
        test::ShownWindow w;
        QVERIFY(w.ready());
        Control field = w[QStringLiteral("DBデータパス")];
        field.setText(QStringLiteral("abcdef"));
        field.setFocus();
        field.setSelStart(2);
        QCOMPARE(field.selLength(), 0);
        field.setBackColor(rgb(1, 2, 3)); // would be marked again on an entry

        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        w.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));

        QCOMPARE(w.focusLabel(), QStringLiteral("DBデータパス"));
        QCOMPARE(field.selLength(), 0);
        QCOMPARE(field.backColor(), rgb(1, 2, 3));
    }

    // Key-up calls: only Enter and the arrows act; 37, 39 and 13 keep the
    // caret where it is.
    void keyUpFilter_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("keyCode");
        QTest::addColumn<bool>("acts");
        QTest::addColumn<bool>("selects");
        QTest::newRow("keyup letter") << "keyup" << 65 << false << false;
        QTest::newRow("KEYUP escape") << "KEYUP" << 27 << false << false;
        QTest::newRow("KeyUp up") << "KeyUp" << 38 << true << true;
        QTest::newRow("keyup down") << "keyup" << 40 << true << true;
        QTest::newRow("keyup left") << "KEYUP" << 37 << true << false;
        QTest::newRow("keyup right") << "KEYUP" << 39 << true << false;
        QTest::newRow("keyup enter") << "KEYUP" << 13 << true << false;
        QTest::newRow("gotfocus letter") << "GotFocus" << 65 << true << true;
        QTest::newRow("gotfocus zero") << "GotFocus" << 0 << true << true;
        QTest::newRow("gotfocus enter") << "GotFocus" << 13 << true << false;
    }

    void keyUpFilter()
    {
        QFETCH(QString, event);
        QFETCH(int, keyCode);
        QFETCH(bool, acts);
        QFETCH(bool, selects);
        test::ShownWindow w;
        QVERIFY(w.ready());
        Control field = w[QStringLiteral("DBデータパス")];
        Control other = w[QStringLiteral("DBサーバー名")];
        field.setText(QStringLiteral("abcdef"));
        field.setFocus();
        field.setSelStart(3);
        field.setBackColor(rgb(1, 2, 3));
        other.setBackColor(kFocusMark);

        フォーカス色付1(w.window, event, qint16(keyCode));
        QCOMPARE(other.backColor(), acts ? kButtonFace : kFocusMark);
        QCOMPARE(field.backColor(), acts ? kFocusMark : rgb(1, 2, 3));
        QCOMPARE(field.selStart(), selects ? 0 : 3);
        QCOMPARE(field.selLength(), selects ? 6 : 0);
    }
};

// A window of another screen, to see the routine handle what the main window
// lacks: an input screen's name, a label carrying the mark, no focus at all.
class FocusMarkOtherWindowTest : public QObject {
    Q_OBJECT
    struct Screen {
        test::TestPlatform tp;
        Form form;
        Control field1, field2, button, label;
        explicit Screen(const QString &name) : form(tp.platform, name)
        {
            field1 = form.addControl(ControlKind::TextBox, QStringLiteral("Text1"));
            field2 = form.addControl(ControlKind::TextBox, QStringLiteral("Text2"));
            button = form.addControl(ControlKind::CommandButton, QStringLiteral("Command1"));
            label = form.addControl(ControlKind::Label, QStringLiteral("Label1"));
            form.addControl(ControlKind::SysInfo, QStringLiteral("SysInfo1"));
            int y = 0;
            for (Control c : {field1, field2, button, label})
                c.widget()->setGeometry(0, y += 30, 100, 25);
        }
    };

private slots:
    void clearingColour_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<OleColor>("field");
        QTest::newRow("input screen") << QStringLiteral("得意先入力") << kInputScreenField;
        QTest::newRow("name only contains it") << QStringLiteral("入力確認") << kButtonFace;
        QTest::newRow("other screen") << QStringLiteral("SCR100") << kButtonFace;
    }

    void clearingColour()
    {
        QFETCH(QString, name);
        QFETCH(OleColor, field);
        Screen s(name);
        s.form.show();
        s.form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&s.form));
        s.field1.setBackColor(kFocusMark);
        s.button.setBackColor(kFocusMark);
        s.label.setBackColor(kFocusMark);
        s.field2.setFocus();
        フォーカス色付1(s.form, QStringLiteral("GotFocus"), 0);
        QCOMPARE(s.field1.backColor(), field);
        QCOMPARE(s.button.backColor(), kButtonFace); // a button in every window
        QCOMPARE(s.label.backColor(), kFocusMark); // labels are left alone
        QCOMPARE(s.field2.backColor(), kFocusMark);
    }

    void noActiveControlOnlyClears()
    {
        Screen s(QStringLiteral("SCR100"));
        s.field1.setBackColor(kFocusMark);
        QVERIFY(s.form.activeControl().isNull());
        フォーカス色付1(s.form, QStringLiteral("GotFocus"), 0);
        QCOMPARE(s.field1.backColor(), kButtonFace);
        QCOMPARE(s.field2.backColor(), kWindowBackground);
    }
};

ZDB_TEST(FocusMarkTest);
ZDB_TEST(FocusMarkOtherWindowTest);
#include "tst_focusmark.moc"
