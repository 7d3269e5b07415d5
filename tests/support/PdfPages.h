#pragma once

#include <QImage>
#include <QList>
#include <QString>

namespace zdb::test {

// The pages of a PDF file as images, rendered by poppler's pdftoppm at dpi.
// Empty when the file cannot be rendered; toolMissing tells why.
QList<QImage> renderPdfPages(const QString &pdfPath, int dpi, bool *toolMissing = nullptr);

// The bounding box of the pixels darker than near-white: where ink fell.
QRect inkBounds(const QImage &page);

} // namespace zdb::test
