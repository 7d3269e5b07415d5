#include "Layout.h"
#include "MainWindow.h"
#include "PdfPages.h"
#include "PlatformError.h"
#include "TestPlatform.h"
#include "TestRegistry.h"
#include "TestWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTest>

using namespace zdb;

namespace {

using ColourList = QList<QPair<OleColor, OleColor>>;

ColourList coloursOf(const Form &form)
{
    ColourList out{{form.backColor(), form.foreColor()}};
    for (int i = 0; i < form.controlCount(); ++i) {
        try {
            out.append({form.control(i).backColor(), form.control(i).foreColor()});
        } catch (const PlatformError &) {
            out.append({0, 0});
        }
    }
    return out;
}

QStringList textsOf(const Form &form)
{
    QStringList out{form.caption()};
    for (int i = 0; i < form.controlCount(); ++i) {
        const Control c = form.control(i);
        if (c.kind() == ControlKind::SysInfo)
            continue;
        out << c.text();
        if (c.kind() == ControlKind::OptionButton)
            out << (c.value() ? QStringLiteral("selected") : QString());
    }
    return out;
}

void clickPrn(Form &w)
{
    QWidget *prn = w.control(QStringLiteral("PRN")).widget();
    QTest::mouseClick(prn, Qt::LeftButton, {}, prn->rect().center());
}

// Notes every widget outside the main window that is shown or given a
// window of its own on the screen.
class ShowWatcher : public QObject {
public:
    explicit ShowWatcher(QWidget *main) : main_(main) { qApp->installEventFilter(this); }
    ~ShowWatcher() override { qApp->removeEventFilter(this); }
    QStringList shownElsewhere;

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() != QEvent::Show && e->type() != QEvent::PlatformSurface && e->type() != QEvent::WinIdChange)
            return false;
        if (auto *w = qobject_cast<QWidget *>(o); w && w->window() != main_)
            shownElsewhere << w->objectName() + u'/' + QString::number(int(e->type()));
        return false;
    }

private:
    QWidget *main_;
};

// Share of pixels filled with one of the window's layout colours: a pixel
// counts when it and its eight neighbours all have that colour, so that the
// grey edges of smoothed text and lines do not.
double layoutColourShare(const QImage &img, const QRect &area)
{
    const QColor layout[] = {QColor(224, 224, 224), QColor(192, 192, 192), QColor(255, 255, 192), QColor(0, 128, 128)};
    auto near = [](const QColor &c, const QColor &l) {
        return qAbs(c.red() - l.red()) + qAbs(c.green() - l.green()) + qAbs(c.blue() - l.blue()) < 12;
    };
    const QRect inner = area.adjusted(1, 1, -1, -1) & img.rect().adjusted(1, 1, -1, -1);
    int hits = 0, all = 0;
    for (int y = inner.top(); y <= inner.bottom(); ++y) {
        for (int x = inner.left(); x <= inner.right(); ++x) {
            ++all;
            for (const QColor &l : layout) {
                bool filled = true;
                for (int dy = -1; dy <= 1 && filled; ++dy)
                    for (int dx = -1; dx <= 1 && filled; ++dx)
                        filled = near(img.pixelColor(x + dx, y + dy), l);
                if (filled) {
                    ++hits;
                    break;
                }
            }
        }
    }
    return all ? double(hits) / all : 0;
}

struct StartedWindow {
    test::TestPlatform tp;
    MainWindow window{tp.platform};
    StartedWindow()
    {
        tp.settings.values.insert(test::MemorySettings::keyOf(QStringLiteral("QXN"),
                                                              QStringLiteral("ZorvatDBバックアップ1"),
                                                              QStringLiteral("DBサーバー名")),
                                  QStringLiteral("MSSQLServer"));
        window.load();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
};

} // namespace

class ScreenPrintWindowTest : public QObject {
    Q_OBJECT

private slots:
    void prnRestoresStartUpColours_data()
    {
        QTest::addColumn<bool>("locked");
        QTest::addColumn<bool>("noPrinter");
        QTest::newRow("unlocked") << false << false;
        QTest::newRow("locked") << true << false;
        QTest::newRow("unlocked, no printer") << false << true;
        QTest::newRow("locked, no printer") << true << true;
    }
    void prnRestoresStartUpColours()
    {
        QFETCH(bool, locked);
        QFETCH(bool, noPrinter);
        StartedWindow s;
        MainWindow &w = s.window;
        s.tp.printer.noPrinter = noPrinter;
        // A window right after start-up, never shown, so no focus mark on it.
        MainWindow fresh(s.tp.platform);
        fresh.load();
        const ColourList startUp = coloursOf(fresh);
        QCOMPARE(w.control(QStringLiteral("YES")).backColor(), OleColor(0xC0FFC0));
        if (locked)
            test::lockInputs(w);
        // What earlier focus marks leave behind: button face on a text box,
        // light green on another, and a changed window ground.
        Control path0 = w.control(QStringLiteral("Path"), 0);
        path0.setBackColor(kButtonFace);
        w.control(QStringLiteral("DBサーバー名")).setBackColor(rgb(128, 255, 128));
        w.setBackColor(rgb(0, 0, 255));

        clickPrn(w);

        QCOMPARE(s.tp.printer.jobs, noPrinter ? 0 : 1);
        QCOMPARE(coloursOf(w), startUp);
        QCOMPARE(path0.backColor(), rgb(224, 224, 224));
        QCOMPARE(static_cast<QLineEdit *>(path0.widget())->palette().color(QPalette::Base), QColor(224, 224, 224));
        QCOMPARE(w.palette().color(QPalette::Window), toQColor(kButtonFace));
        // The lock is left as it was.
        QCOMPARE(path0.locked(), locked);
        QCOMPARE(w.control(QStringLiteral("設定記憶")).enabled(), !locked);
        QCOMPARE(s.tp.boxes.prompts(),
                 noPrinter ? QStringList{QStringLiteral("エラーです。印刷できません。\rプリンタを確認して下さい。")}
                           : QStringList{});
        QVERIFY(w.isVisible());
    }

    void printedPageIsTheWindowBlackOnWhite()
    {
        StartedWindow s;
        const QImage onScreen = s.window.grab().toImage();
        clickPrn(s.window);
        QCOMPARE(s.tp.printer.jobs, 1);

        bool toolMissing = false;
        const QList<QImage> pages = test::renderPdfPages(s.tp.printer.pdfPath(), 72, &toolMissing);
        if (toolMissing)
            QSKIP("pdftoppm is not installed");
        QCOMPARE(pages.size(), 1);
        const QImage &page = pages.first();
        if (const QString keep = qEnvironmentVariable("ZDB_PRINT_PNG"); !keep.isEmpty())
            page.save(keep); // to look at the page by hand
        QVERIFY(page.width() > page.height());

        // The whole window, scaled to the printable width without distortion:
        // the ink on the page is the ink of the picture, scaled alike both ways.
        const QImage shot = s.tp.printer.lastPicture.convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shot.size(), s.window.size());
        const QRect ink = test::inkBounds(page);
        const QRect shotInk = test::inkBounds(shot);
        const double scale = double(ink.width()) / shotInk.width();
        QVERIFY2(qAbs(ink.height() - shotInk.height() * scale) < 3,
                 qPrintable(QStringLiteral("ink %1x%2").arg(ink.width()).arg(ink.height())));
        QVERIFY(s.window.width() * scale > page.width() * 0.85);

        // Black on white: the window's layout colours are gone from the page,
        // while the window on screen is full of them.
        QVERIFY(layoutColourShare(onScreen, onScreen.rect()) > 0.3);
        QVERIFY2(layoutColourShare(page, ink) < 0.01, qPrintable(QString::number(layoutColourShare(page, ink))));

        // The controls in their places: the page matches the picture taken.
        const QImage expected = shot.copy(shotInk).scaled(ink.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QImage printed = page.copy(ink);
        qint64 diff = 0;
        for (int y = 0; y < printed.height(); ++y)
            for (int x = 0; x < printed.width(); ++x)
                diff += qAbs(qGray(printed.pixel(x, y)) - qGray(expected.pixel(x, y)));
        const double meanDiff = double(diff) / (printed.width() * printed.height());
        QVERIFY2(meanDiff < 12, qPrintable(QString::number(meanDiff)));
        // The title's text is there, in black, at the top of the page.
        const QRect title = s.window.control(QStringLiteral("lbltitle1"), 0).widget()->geometry();
        const QPoint origin = ink.topLeft() - (QPointF(shotInk.topLeft()) * scale).toPoint();
        const QRect titleOnPage(origin.x() + int(title.left() * scale), origin.y() + int(title.top() * scale) + 2,
                                int(title.width() * scale), int(title.height() * scale) - 4);
        int dark = 0;
        for (int y = titleOnPage.top(); y <= titleOnPage.bottom(); ++y)
            for (int x = titleOnPage.left(); x <= titleOnPage.right(); ++x)
                dark += qGray(page.pixel(x, y)) < 80;
        QVERIFY2(dark > 30, qPrintable(QString::number(dark)));
    }

    void referenceCopyIsNeverShownAndChangesNothing()
    {
        StartedWindow s;
        MainWindow &w = s.window;
        // Unsaved input and a hand-picked row, which a stray load would overwrite.
        w.control(QStringLiteral("Path"), 3).setText(QStringLiteral("D:\\unsaved"));
        w.control(QStringLiteral("設定番号")).setText(QStringLiteral("5"));
        w.control(QStringLiteral("DNO"), 7).setValue(true);
        const QStringList texts = textsOf(w);
        const auto values = s.tp.settings.values;
        const int readsBefore = s.tp.settings.reads;
        const int topLevels = QApplication::topLevelWidgets().size();
        ShowWatcher watcher(&w);

        clickPrn(w);

        QCOMPARE(s.tp.printer.jobs, 1);
        QCOMPARE(watcher.shownElsewhere, QStringList{});
        QCOMPARE(textsOf(w), texts);
        QCOMPARE(s.tp.settings.writes, 0);
        QCOMPARE(s.tp.settings.values, values);
        // The copy's start-up ran in full: it read the nineteen settings of number 1.
        QCOMPARE(s.tp.settings.reads - readsBefore, 19);
        QCOMPARE(QApplication::topLevelWidgets().size(), topLevels);
        QVERIFY(w.isVisible());
    }

    void prnStaysUsableWhenLocked()
    {
        StartedWindow s;
        test::lockInputs(s.window);
        QVERIFY(s.window.control(QStringLiteral("PRN")).enabled());
        clickPrn(s.window);
        clickPrn(s.window);
        QCOMPARE(s.tp.printer.jobs, 2);
    }
};

ZDB_TEST(ScreenPrintWindowTest);
#include "tst_screenprint_window.moc"
