#include "PdfPages.h"
#include "PlatformError.h"
#include "Printer.h"
#include "TestRegistry.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

using namespace zdb;

namespace {

// A picture 4:3 wide, black on white, with a solid black block in its
// top-left quarter so that its place and proportions show on the page.
QImage samplePicture(int width, int height)
{
    QImage img(width, height, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setPen(Qt::black);
    p.drawRect(0, 0, width - 1, height - 1);
    p.fillRect(0, 0, width / 2, height / 2, Qt::black);
    return img;
}

} // namespace

class PrinterTest : public QObject {
    Q_OBJECT

private slots:
    void fitsWithoutDistortion_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QRect>("expected");
        QTest::newRow("wide picture, width bound")
            << QSize(800, 400) << QRect(10, 20, 1000, 1000) << QRect(10, 20, 1000, 500);
        QTest::newRow("tall picture, height bound")
            << QSize(300, 600) << QRect(0, 0, 1000, 800) << QRect(0, 0, 400, 800);
        QTest::newRow("smaller picture grows") << QSize(797, 517) << QRect(0, 0, 1594, 2000) << QRect(0, 0, 1594, 1034);
        QTest::newRow("same shape fills") << QSize(4, 3) << QRect(5, 5, 400, 300) << QRect(5, 5, 400, 300);
        QTest::newRow("empty picture") << QSize(0, 10) << QRect(0, 0, 100, 100) << QRect();
    }
    void fitsWithoutDistortion()
    {
        QFETCH(QSize, picture);
        QFETCH(QRect, area);
        QFETCH(QRect, expected);
        QCOMPARE(fitPicture(picture, area), expected);
    }

    void pdfPageHasOrientationAndPicture_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<bool>("landscape");
        QTest::newRow("landscape (2)") << int(kOrientationLandscape) << true;
        QTest::newRow("portrait (1)") << int(kOrientationPortrait) << false;
    }
    void pdfPageHasOrientationAndPicture()
    {
        QFETCH(int, orientation);
        QFETCH(bool, landscape);
        QTemporaryDir dir;
        PdfPrinter printer(dir.filePath(QStringLiteral("out.pdf")));
        printer.setOrientation(orientation);
        QCOMPARE(printer.orientation(), orientation);
        const QImage picture = samplePicture(800, 600);
        printer.printPicture(picture);

        bool toolMissing = false;
        const QList<QImage> pages = test::renderPdfPages(printer.filePath(), 40, &toolMissing);
        if (toolMissing)
            QSKIP("pdftoppm is not installed");
        QCOMPARE(pages.size(), 1);
        const QImage &page = pages.first();
        QCOMPARE(page.width() > page.height(), landscape);

        // The picture fills the printable width or height, proportions kept.
        const QRect ink = test::inkBounds(page);
        QVERIFY(!ink.isEmpty());
        QVERIFY2(qAbs(double(ink.width()) / ink.height() - 4.0 / 3.0) < 0.03,
                 qPrintable(QStringLiteral("ink %1x%2").arg(ink.width()).arg(ink.height())));
        QVERIFY(ink.width() > page.width() * 0.8 || ink.height() > page.height() * 0.8);
        // Its black quarter lands in the top-left corner of the picture.
        const QPoint inBlock = ink.topLeft() + QPoint(ink.width() / 4, ink.height() / 4);
        const QPoint outsideBlock = ink.topLeft() + QPoint(ink.width() * 3 / 4, ink.height() * 3 / 4);
        QVERIFY(qGray(page.pixel(inBlock)) < 60);
        QVERIFY(qGray(page.pixel(outsideBlock)) > 200);
    }

    void refusesUnknownOrientation()
    {
        PdfPrinter printer(QStringLiteral("unused.pdf"));
        try {
            printer.setOrientation(3);
            QFAIL("orientation 3 accepted");
        } catch (const PlatformError &e) {
            QCOMPARE(e.number(), int(kErrInvalidCall));
        }
        QCOMPARE(printer.orientation(), int(kOrientationPortrait));
    }

    void unwritablePdfIsAPrinterError()
    {
        PdfPrinter printer(QStringLiteral("/nonexistent-folder/x/out.pdf"));
        QTest::ignoreMessage(QtWarningMsg, "QPainter::begin(): Returned false");
        try {
            printer.printPicture(samplePicture(40, 30));
            QFAIL("printed to a folder that does not exist");
        } catch (const PlatformError &e) {
            QCOMPARE(e.number(), int(kErrPrinter));
        }
    }
};

ZDB_TEST(PrinterTest);
#include "tst_printer.moc"
