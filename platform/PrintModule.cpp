// The print module: QPrinter and the print system, loaded by the window at
// its first print.
#include "Printer.h"

#include <QtGlobal>

extern "C" Q_DECL_EXPORT zdb::Printer *zdbCreateSystemPrinter() { return new zdb::QtSystemPrinter; }
