#include "ErrorOf.h"
#include "Fonts.h"
#include "Form.h"
#include "PlatformError.h"
#include "TestPlatform.h"
#include "TestRegistry.h"
#include "Widgets.h"

#include <QAbstractItemView>
#include <QFontInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <functional>

using namespace zdb;
using zdb::test::errorOf;

namespace {

// A small window with one control of every kind and a two-element array.
struct SampleForm {
    test::TestPlatform tp;
    Form form{tp.platform, QStringLiteral("サンプル")};
    SampleForm()
    {
        form.resize(400, 300);
        form.addControl(ControlKind::TextBox, QStringLiteral("DBサーバー名")).setTabIndex(0);
        form.addControl(ControlKind::ComboBox, QStringLiteral("設定番号")).setTabIndex(1);
        form.addControl(ControlKind::CommandButton, QStringLiteral("YES")).setTabIndex(2);
        Control frame = form.addControl(ControlKind::Frame, QStringLiteral("Frame1"));
        frame.setTabIndex(3);
        form.addControl(ControlKind::OptionButton, QStringLiteral("DNO"), 0, frame.widget()).setTabIndex(4);
        form.addControl(ControlKind::OptionButton, QStringLiteral("DNO"), 1, frame.widget()).setTabIndex(5);
        form.addControl(ControlKind::Label, QStringLiteral("MSG1")).setTabIndex(6);
        form.addControl(ControlKind::SysInfo, QStringLiteral("SysInfo1"));
        int y = 0;
        for (int i = 0; i < form.controlCount(); ++i) {
            if (QWidget *w = form.control(i).widget())
                w->setGeometry(0, y += 25, 120, 22);
        }
    }
};

} // namespace

class FormTest : public QObject {
    Q_OBJECT
private slots:
    void positionsFollowCreationOrder()
    {
        SampleForm s;
        QCOMPARE(s.form.controlCount(), 8);
        QStringList types;
        for (int i = 0; i < s.form.controlCount(); ++i)
            types << s.form.control(i).typeName();
        QCOMPARE(types,
                 QStringList({"TextBox", "ComboBox", "CommandButton", "Frame", "OptionButton", "OptionButton", "Label",
                              "SysInfo"}));
        QCOMPARE(errorOf([&] { s.form.control(8); }), 9);
    }

    void lookupIgnoresCase_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("position");
        QTest::newRow("dno lower") << "dno" << 1 << 5;
        QTest::newRow("DNO upper") << "DNO" << 0 << 4;
        QTest::newRow("yes mixed") << "Yes" << -1 << 2;
        QTest::newRow("japanese") << QStringLiteral("設定番号") << -1 << 1;
        QTest::newRow("sysinfo") << "SYSINFO1" << -1 << 7;
    }
    void lookupIgnoresCase()
    {
        QFETCH(QString, name);
        QFETCH(int, index);
        QFETCH(int, position);
        SampleForm s;
        const Control c = index < 0 ? s.form.control(name) : s.form.control(name, index);
        QVERIFY(c == s.form.control(position));
    }

    void lookupFailures()
    {
        SampleForm s;
        QCOMPARE(errorOf([&] { s.form.control(QStringLiteral("nothing")); }), int(kErrNoSuchControl));
        QCOMPARE(errorOf([&] { s.form.control(QStringLiteral("DNO"), 2); }), int(kErrControlArray));
        QCOMPARE(errorOf([&] { s.form.control(QStringLiteral("DNO")); }), int(kErrControlArray));
        QCOMPARE(errorOf([&] { Control().text(); }), int(kErrObjectNotSet));
    }

    // Loops over all controls rely on a missing property failing, catchably.
    void missingPropertiesFail_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("property");
        QTest::newRow("button locked") << 2 << "locked";
        QTest::newRow("label selStart") << 6 << "selStart";
        QTest::newRow("option listCount") << 4 << "listCount";
        QTest::newRow("textbox value") << 0 << "value";
        QTest::newRow("sysinfo backColor") << 7 << "backColor";
        QTest::newRow("sysinfo tabIndex") << 7 << "tabIndex";
        QTest::newRow("sysinfo text") << 7 << "text";
        QTest::newRow("frame osPlatform") << 3 << "osPlatform";
        QTest::newRow("sysinfo setFocus") << 7 << "setFocus";
    }
    void missingPropertiesFail()
    {
        QFETCH(int, position);
        QFETCH(QString, property);
        SampleForm s;
        const Control c = s.form.control(position);
        const QHash<QString, std::function<void()>> calls = {
            {"locked", [&] { c.locked(); }},       {"selStart", [&] { c.selStart(); }},
            {"listCount", [&] { c.listCount(); }}, {"value", [&] { c.value(); }},
            {"backColor", [&] { c.backColor(); }}, {"tabIndex", [&] { c.tabIndex(); }},
            {"text", [&] { c.text(); }},           {"osPlatform", [&] { c.osPlatform(); }},
        };
        if (property == "setFocus") {
            Control copy = c;
            QCOMPARE(errorOf([&] { copy.setFocus(); }), int(kErrPropertyNotSupported));
            return;
        }
        QCOMPARE(errorOf(calls.value(property)), int(kErrPropertyNotSupported));
    }

    void coloursReadBackAsSetAndShow()
    {
        SampleForm s;
        s.form.show();
        Control box = s.form.control(0);
        Control button = s.form.control(2);
        QCOMPARE(box.backColor(), kWindowBackground);
        box.setBackColor(0xC0FFC0);
        QCOMPARE(box.backColor(), OleColor(0xC0FFC0));
        QCOMPARE(box.widget()->palette().color(QPalette::Base), QColor(192, 255, 192));
        button.setBackColor(rgb(0, 128, 128));
        QCOMPARE(button.widget()->palette().color(QPalette::Button), QColor(0, 128, 128));
        button.setBackColor(kButtonFace);
        QCOMPARE(button.backColor(), kButtonFace);
        QCOMPARE(button.widget()->palette().color(QPalette::Button), QApplication::palette().color(QPalette::Button));
        // The face really is painted in that colour.
        button.setBackColor(rgb(0, 0, 255));
        const QImage img = button.widget()->grab().toImage();
        const QColor face = img.pixelColor(img.width() / 2, img.height() / 2);
        QVERIFY2(face.blue() > 180 && face.red() < 80, qPrintable(face.name()));
        s.form.setBackColor(0xFFFFFF);
        QCOMPARE(s.form.backColor(), OleColor(0xFFFFFF));
        QCOMPARE(s.form.palette().color(QPalette::Window), QColor(Qt::white));
    }

    // MSG1 shows paths the operator typed: markup in them is text to show.
    void labelShowsMarkupAsText()
    {
        SampleForm s;
        Control label = s.form.control(QStringLiteral("MSG1"));
        label.setText(QStringLiteral("<b></b>"));
        QCOMPARE(label.text(), QStringLiteral("<b></b>"));
        const QImage drawn = label.widget()->grab().toImage();
        int ink = 0;
        for (int y = 0; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x)
                ink += qGray(drawn.pixel(x, y)) < 128;
        // As rich text it is an empty bold run: nothing at all is drawn.
        QVERIFY2(ink > 20, qPrintable(QString::number(ink)));
    }

    void lockedTextBoxIsReadOnlyButFocusable()
    {
        SampleForm s;
        s.form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.form));
        Control box = s.form.control(0);
        box.setText(QStringLiteral("abc"));
        box.setLocked(true);
        QVERIFY(box.locked());
        box.setFocus();
        QTRY_VERIFY(box.widget()->hasFocus());
        QTest::keyClicks(box.widget(), QStringLiteral("zz"));
        QCOMPARE(box.text(), QStringLiteral("abc"));
        box.setSelStart(0);
        box.setSelLength(2);
        QCOMPARE(box.selLength(), 2);
        QCOMPARE(static_cast<QLineEdit *>(box.widget())->selectedText(), QStringLiteral("ab"));
        box.setLocked(false);
        QTest::keyClick(box.widget(), Qt::Key_End);
        QTest::keyClicks(box.widget(), QStringLiteral("d"));
        QCOMPARE(box.text(), QStringLiteral("abcd"));
    }

    void lockedComboTakesNoChoice()
    {
        SampleForm s;
        s.form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.form));
        Control combo = s.form.control(1);
        for (int i = 1; i <= 3; ++i)
            combo.addItem(QString::number(i));
        combo.setText(QStringLiteral("1"));
        QCOMPARE(combo.listCount(), 3);
        QCOMPARE(combo.list(2), QStringLiteral("3"));
        QCOMPARE(combo.text(), QStringLiteral("1"));
        combo.setLocked(true);
        combo.setFocus();
        QTRY_VERIFY(combo.widget()->hasFocus() || combo.widget()->focusWidget() == QApplication::focusWidget());
        auto *box = static_cast<LockableComboBox *>(combo.widget());
        QTest::keyClick(box, Qt::Key_Down);
        QTest::keyClicks(box, QStringLiteral("9"));
        QWheelEvent wheel(QPointF(5, 5), box->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(box, &wheel);
        box->showPopup();
        QVERIFY(!box->view()->isVisible());
        QCOMPARE(combo.text(), QStringLiteral("1"));
        combo.setLocked(false);
        QTest::keyClick(box, Qt::Key_Down);
        QCOMPARE(combo.text(), QStringLiteral("2"));
    }

    void optionsAreOneGroup()
    {
        SampleForm s;
        Control a = s.form.control(QStringLiteral("DNO"), 0);
        Control b = s.form.control(QStringLiteral("DNO"), 1);
        a.setValue(true);
        b.setValue(true);
        QVERIFY(!a.value());
        QVERIFY(b.value());
        b.setValue(false);
        QVERIFY(!b.value());
    }

    void focusRequests()
    {
        SampleForm s;
        s.form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&s.form));
        QCOMPARE(errorOf([&] { s.form.control(QStringLiteral("MSG1")).setFocus(); }), int(kErrInvalidCall));
        QCOMPARE(errorOf([&] { s.form.control(QStringLiteral("Frame1")).setFocus(); }), int(kErrInvalidCall));
        Control yes = s.form.control(QStringLiteral("YES"));
        yes.setEnabled(false);
        QCOMPARE(errorOf([&] { yes.setFocus(); }), int(kErrInvalidCall));
        // A combo box's inner line edit counts as the combo box.
        Control combo = s.form.control(1);
        combo.setFocus();
        QTRY_VERIFY(s.form.activeControl() == combo);
        QVERIFY(s.form.controlOf(static_cast<QComboBox *>(combo.widget())->lineEdit()) == combo);
    }

    void substituteFontsAreUsed_data()
    {
        QTest::addColumn<QString>("face");
        QTest::addColumn<QString>("family");
        QTest::newRow("mincho") << QStringLiteral("ＭＳ 明朝") << "IPAMincho";
        QTest::newRow("p-mincho") << QStringLiteral("ＭＳ Ｐ明朝") << "IPAPMincho";
        QTest::newRow("p-gothic") << QStringLiteral("ＭＳ Ｐゴシック") << "IPAPGothic";
    }
    void substituteFontsAreUsed()
    {
        QFETCH(QString, face);
        QFETCH(QString, family);
        QCOMPARE(QFontInfo(designFont(face, 12, false)).family(), family);
    }

    void errorCatalogue_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("text");
        QTest::newRow("53") << 53 << QStringLiteral("ファイルが見つかりません。");
        QTest::newRow("76") << 76 << QStringLiteral("パスが見つかりません。");
        QTest::newRow("70") << 70 << QStringLiteral("書き込みできません。");
        QTest::newRow("61") << 61 << QStringLiteral("ディスクの空き容量が不足しています。");
        QTest::newRow("75") << 75 << QStringLiteral("パス名が無効です。");
        QTest::newRow("57") << 57 << QStringLiteral("デバイス I/O エラーです。");
    }
    void errorCatalogue()
    {
        QFETCH(int, number);
        QFETCH(QString, text);
        QCOMPARE(errorText(number), text);
        const PlatformError e(number);
        QCOMPARE(e.number(), number);
        QCOMPARE(e.text(), text);
    }
};

ZDB_TEST(FormTest);
#include "tst_form.moc"
