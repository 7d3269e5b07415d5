#include "ScreenPrintButton.h"

#include "MainWindow.h"
#include "ScreenPrint.h"

namespace zdb {

void PRN_Click(MainWindow &ME)
{
    // The copy only lends its start-up colours: it must never reach the
    // screen, and closing it must not end the program.
    MainWindow copy(ME.platform());
    copy.setAttribute(Qt::WA_DontShowOnScreen);
    copy.setAttribute(Qt::WA_QuitOnClose, false);
    hcpy1(ME, copy);
}

} // namespace zdb
