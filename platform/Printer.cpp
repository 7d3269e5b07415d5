#include "Printer.h"

#include "PlatformError.h"
#include "PrintJobStatus.h"

#include <QPageLayout>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

namespace zdb {

namespace {

QPageLayout::Orientation toPageOrientation(int value)
{
    return value == kOrientationLandscape ? QPageLayout::Landscape : QPageLayout::Portrait;
}

void checkOrientation(int value)
{
    if (value != kOrientationPortrait && value != kOrientationLandscape)
        throw PlatformError(kErrInvalidCall);
}

} // namespace

QRect fitPicture(const QSize &picture, const QRect &area)
{
    if (picture.isEmpty() || area.isEmpty())
        return {};
    const QSize fitted = picture.scaled(area.size(), Qt::KeepAspectRatio);
    return QRect(area.topLeft(), fitted);
}

bool printOnePage(QPrinter &printer, const QImage &picture)
{
    QPainter painter;
    if (!painter.begin(&printer))
        return false;
    // The painter's origin is the printable area's corner; draw in its pixels.
    const QRect area(QPoint(0, 0), printer.pageLayout().paintRectPixels(printer.resolution()).size());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(fitPicture(picture.size(), area), picture);
    return painter.end() && printer.printerState() != QPrinter::Error;
}

int QtSystemPrinter::orientation() const { return orientation_; }

void QtSystemPrinter::setOrientation(int value)
{
    checkOrientation(value);
    // A setting of the default printer: without one there is nothing to set.
    if (QPrinterInfo::defaultPrinter().isNull())
        throw PlatformError(kErrPrinter);
    orientation_ = value;
}

void QtSystemPrinter::printPicture(const QImage &picture)
{
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull())
        throw PlatformError(kErrPrinter);
    QPrinter printer(info, QPrinter::HighResolution);
    printer.setPageOrientation(toPageOrientation(orientation_));
    printer.setDocName(QStringLiteral("ZorvatDBバックアップ"));
    if (!printOnePage(printer, picture) || !printJobAccepted())
        throw PlatformError(kErrPrinter);
}

void PdfPrinter::setOrientation(int value)
{
    checkOrientation(value);
    orientation_ = value;
}

void PdfPrinter::printPicture(const QImage &picture)
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(filePath_);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setPageOrientation(toPageOrientation(orientation_));
    if (!printOnePage(printer, picture))
        throw PlatformError(kErrPrinter);
}

} // namespace zdb
