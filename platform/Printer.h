#pragma once

#include <QImage>
#include <QRect>
#include <QString>

#include <memory>

class QPrinter;

namespace zdb {

// The printer's orientation setting, as a window's print sets it.
enum PrinterOrientation : int { kOrientationPortrait = 1, kOrientationLandscape = 2 };

// The default printer: one setting and a picture printed as one page.
// Failures (no printer, a refused job) throw PlatformError.
class Printer {
public:
    virtual ~Printer() = default;
    virtual int orientation() const = 0;
    virtual void setOrientation(int value) = 0;
    virtual void printPicture(const QImage &picture) = 0;
};

// Where a picture lands on a page: as large as fits in area, its proportions
// kept, in the area's top-left corner.
QRect fitPicture(const QSize &picture, const QRect &area);

// Paints picture as the one page of printer, fitted to its printable area.
// Returns false when the device would not start or end the page.
bool printOnePage(QPrinter &printer, const QImage &picture);

// The system's default printer through QPrinter (CUPS on Linux). Lives in
// the print module (the "printing" library).
class QtSystemPrinter : public Printer {
public:
    int orientation() const override;
    void setOrientation(int value) override;
    void printPicture(const QImage &picture) override;

private:
    int orientation_ = kOrientationPortrait;
};

// The system's default printer as the window holds it: the print system's
// libraries cost every start-up a few milliseconds of loading, so the print
// module that holds them is loaded at the first use. A module that cannot
// be loaded counts as no printer.
class SystemPrinter : public Printer {
public:
    SystemPrinter();
    ~SystemPrinter() override;
    SystemPrinter(const SystemPrinter &) = delete;
    SystemPrinter &operator=(const SystemPrinter &) = delete;
    int orientation() const override;
    void setOrientation(int value) override;
    void printPicture(const QImage &picture) override;

private:
    Printer &loaded();
    std::unique_ptr<Printer> printer_;
};

// The print module's one entry: a new QtSystemPrinter.
inline constexpr char kPrintModuleEntry[] = "zdbCreateSystemPrinter";
inline constexpr char kPrintModuleName[] = "zorvatdbbackup-print";

// Writes each picture to a PDF file, as a printer would put it on paper.
class PdfPrinter : public Printer {
public:
    explicit PdfPrinter(const QString &filePath) : filePath_(filePath) {}
    int orientation() const override { return orientation_; }
    void setOrientation(int value) override;
    void printPicture(const QImage &picture) override;
    QString filePath() const { return filePath_; }

private:
    QString filePath_;
    int orientation_ = kOrientationPortrait;
};

} // namespace zdb
