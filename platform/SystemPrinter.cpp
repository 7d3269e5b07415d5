#include "Printer.h"

#include "PlatformError.h"

#include <QCoreApplication>
#include <QLibrary>

namespace zdb {

SystemPrinter::SystemPrinter() = default;
SystemPrinter::~SystemPrinter() = default;

Printer &SystemPrinter::loaded()
{
    if (printer_)
        return *printer_;
    // Beside the program in a build, in its library folder once installed.
    const QString name = QString::fromLatin1(kPrintModuleName);
    for (const QString &folder : {QCoreApplication::applicationDirPath(), QStringLiteral(ZDB_PRINT_MODULE_DIR)}) {
        QLibrary module(folder + u'/' + name);
        if (!module.load())
            continue;
        if (const auto create = reinterpret_cast<Printer *(*)()>(module.resolve(kPrintModuleEntry))) {
            printer_.reset(create());
            return *printer_;
        }
    }
    throw PlatformError(kErrPrinter);
}

int SystemPrinter::orientation() const { return printer_ ? printer_->orientation() : kOrientationPortrait; }

void SystemPrinter::setOrientation(int value) { loaded().setOrientation(value); }

void SystemPrinter::printPicture(const QImage &picture) { loaded().printPicture(picture); }

} // namespace zdb
