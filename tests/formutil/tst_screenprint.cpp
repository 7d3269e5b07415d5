#include "Form.h"
#include "PlatformError.h"
#include "Printer.h"
#include "ScreenPrint.h"
#include "TestPlatform.h"
#include "TestRegistry.h"

#include <QTest>
#include <functional>

using namespace zdb;

namespace {

constexpr OleColor kInputGrey = rgb(224, 224, 224);
constexpr OleColor kCaptionYellow = rgb(255, 255, 192);
constexpr OleColor kTeal = rgb(0, 128, 128);
constexpr OleColor kSilver = rgb(192, 192, 192);

// A window that is not the main window: its start-up gives the colours.
class ColouredForm : public Form {
public:
    explicit ColouredForm(Platform &platform) : Form(platform, QStringLiteral("サンプル"))
    {
        resize(300, 140);
        addControl(ControlKind::TextBox, QStringLiteral("Path"), 0).widget()->setGeometry(10, 10, 200, 22);
        addControl(ControlKind::SysInfo, QStringLiteral("SysInfo1"));
        addControl(ControlKind::Label, QStringLiteral("LABEL1"), 1).widget()->setGeometry(10, 40, 200, 22);
        addControl(ControlKind::CommandButton, QStringLiteral("PRN")).widget()->setGeometry(10, 70, 80, 30);
        addControl(ControlKind::ComboBox, QStringLiteral("設定番号")).widget()->setGeometry(100, 70, 80, 30);
    }
    int loads = 0;

protected:
    void onLoad() override
    {
        ++loads;
        setBackColor(kSilver);
        control(QStringLiteral("Path"), 0).setBackColor(kInputGrey);
        control(QStringLiteral("LABEL1"), 1).setBackColor(kCaptionYellow);
        control(QStringLiteral("LABEL1"), 1).setForeColor(kTeal);
        control(QStringLiteral("設定番号")).setBackColor(kInputGrey);
    }
};

struct Colours {
    OleColor back = 0, fore = 0;
    bool operator==(const Colours &) const = default;
};

// Each control's colours by position; the window's own first. A control
// without colours counts as {0, 0}.
QList<Colours> coloursOf(const Form &form)
{
    QList<Colours> out{{form.backColor(), form.foreColor()}};
    for (int i = 0; i < form.controlCount(); ++i) {
        const Control c = form.control(i);
        try {
            out.append({c.backColor(), c.foreColor()});
        } catch (const PlatformError &) {
            out.append(Colours{});
        }
    }
    return out;
}

// Looks at the window while the picture is being printed.
class ObservingPrinter : public Printer {
public:
    int orientation() const override { return orientation_; }
    void setOrientation(int value) override
    {
        if (noPrinter)
            throw PlatformError(kErrPrinter);
        orientation_ = value;
    }
    void printPicture(const QImage &picture) override
    {
        ++jobs;
        orientationAtPrint = orientation_;
        if (watched)
            coloursAtPrint = coloursOf(*watched);
        picturePrinted = picture;
        if (noPrinter || refuseJob)
            throw PlatformError(kErrPrinter);
    }
    const Form *watched = nullptr;
    bool noPrinter = false, refuseJob = false;
    int jobs = 0, orientationAtPrint = 0;
    QList<Colours> coloursAtPrint;
    QImage picturePrinted;

private:
    int orientation_ = kOrientationPortrait;
};

const QString kFailureText = QStringLiteral("エラーです。印刷できません。\rプリンタを確認して下さい。");

} // namespace

class ScreenPrintTest : public QObject {
    Q_OBJECT

private slots:
    void printsBlackOnWhiteThenRestores_data()
    {
        QTest::addColumn<bool>("noPrinter");
        QTest::addColumn<bool>("refuseJob");
        QTest::newRow("printed") << false << false;
        QTest::newRow("no default printer") << true << false;
        QTest::newRow("job refused") << false << true;
    }
    void printsBlackOnWhiteThenRestores()
    {
        QFETCH(bool, noPrinter);
        QFETCH(bool, refuseJob);
        const bool fails = noPrinter || refuseJob;
        test::TestPlatform tp;
        ObservingPrinter printer;
        printer.noPrinter = noPrinter;
        printer.refuseJob = refuseJob;
        Platform platform{tp.boxes, tp.settings, tp.clock, tp.systemInfo, tp.events, printer, tp.backups};

        ColouredForm reference(platform);
        reference.load();
        ColouredForm window(platform);
        window.load();
        // Colours moved away from start-up, as the focus mark leaves them.
        window.setBackColor(rgb(10, 20, 30));
        window.control(QStringLiteral("Path"), 0).setBackColor(kButtonFace);
        window.control(QStringLiteral("PRN")).setBackColor(rgb(128, 255, 128));
        window.control(QStringLiteral("設定番号")).setForeColor(rgb(255, 0, 0));
        printer.watched = &window;
        ColouredForm copy(platform);

        hcpy1(window, copy);

        // During the print: everything with colours is black on white.
        QCOMPARE(printer.jobs, 1);
        QCOMPARE(printer.coloursAtPrint.size(), window.controlCount() + 1);
        for (int i = 0; i < printer.coloursAtPrint.size(); ++i) {
            const Colours expected = (i == 2) ? Colours{} : Colours{rgb(255, 255, 255), 0}; // 2: SysInfo1
            QVERIFY2(printer.coloursAtPrint[i] == expected, qPrintable(QString::number(i)));
        }
        QCOMPARE(printer.picturePrinted.size(), window.size());
        QCOMPARE(printer.orientationAtPrint, noPrinter ? int(kOrientationPortrait) : int(kOrientationLandscape));

        // Afterwards: the colours of a freshly started window, print or no print.
        QCOMPARE(coloursOf(window), coloursOf(reference));
        QCOMPARE(copy.loads, 1);
        QVERIFY(copy.isHidden());
        // The flat look stays.
        QCOMPARE(window.control(QStringLiteral("LABEL1"), 1).appearance(), 0);

        if (fails) {
            QCOMPARE(tp.boxes.shown.size(), 1);
            QCOMPARE(tp.boxes.shown[0].prompt, kFailureText);
            QCOMPARE(tp.boxes.shown[0].code, int(kMsgOk));
            QVERIFY(!tp.boxes.shown[0].title.has_value());
        } else {
            QVERIFY(tp.boxes.shown.isEmpty());
        }
    }

    // The picture handed to the printer is the window as it now looks: a
    // white ground, without any of its start-up colours.
    void pictureHasNoneOfTheWindowColours()
    {
        test::TestPlatform tp;
        ColouredForm window(tp.platform);
        window.load();
        const QImage before = window.grab().toImage();
        ColouredForm copy(tp.platform);
        hcpy1(window, copy);
        QCOMPARE(tp.printer.jobs, 1);
        const QImage printed = tp.printer.lastPicture;
        const QRect label = window.control(QStringLiteral("LABEL1"), 1).widget()->geometry();
        const QRect path = window.control(QStringLiteral("Path"), 0).widget()->geometry();
        const QPoint groundPoint(280, 120);
        // Check against the unprinted look, so a failing check means the print changed it.
        QCOMPARE(before.pixelColor(label.center() + QPoint(80, 0)), QColor(255, 255, 192));
        QCOMPARE(printed.pixelColor(label.center() + QPoint(80, 0)), QColor(Qt::white));
        QCOMPARE(before.pixelColor(path.center() + QPoint(80, 0)), QColor(224, 224, 224));
        QCOMPARE(printed.pixelColor(path.center() + QPoint(80, 0)), QColor(Qt::white));
        QCOMPARE(before.pixelColor(groundPoint), QColor(192, 192, 192));
        QCOMPARE(printed.pixelColor(groundPoint), QColor(Qt::white));
    }

    // The copy may list fewer controls; the rest is passed over, not a failure.
    void copyWithFewerControlsIsPassedOver()
    {
        test::TestPlatform tp;
        ColouredForm window(tp.platform);
        window.load();
        window.addControl(ControlKind::TextBox, QStringLiteral("Extra"));
        ColouredForm copy(tp.platform);
        hcpy1(window, copy);
        QCOMPARE(window.control(QStringLiteral("Path"), 0).backColor(), kInputGrey);
        QCOMPARE(window.control(QStringLiteral("Extra")).backColor(), rgb(255, 255, 255));
        QVERIFY(tp.boxes.shown.isEmpty());
    }
};

ZDB_TEST(ScreenPrintTest);
#include "tst_screenprint.moc"
