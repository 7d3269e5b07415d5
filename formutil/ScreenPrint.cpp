#include "ScreenPrint.h"

#include "Form.h"
#include "MessageBoxes.h"
#include "Platform.h"
#include "PlatformError.h"
#include "Printer.h"

namespace zdb {

namespace {

constexpr OleColor kPrintBack = rgb(255, 255, 255);
constexpr OleColor kPrintFore = rgb(0, 0, 0);

// A control that lacks a property or refuses it is passed over, property by property.
template <typename Step>
void passOverFailure(Step step)
{
    try {
        step();
    } catch (const PlatformError &) {
    }
}

} // namespace

void hcpy1(Form &Me0, Form &Me6)
{
    Me0.setBackColor(kPrintBack);
    Me0.setForeColor(kPrintFore);
    const int n = Me0.controlCount();
    for (int i = 0; i < n; ++i) {
        Control c = Me0.control(i);
        passOverFailure([&] { c.setBackColor(kPrintBack); });
        passOverFailure([&] { c.setForeColor(kPrintFore); });
        passOverFailure([&] { c.setAppearance(0); });
    }

    Printer &printer = Me0.platform().printer;
    // The window is wider than high.
    passOverFailure([&] { printer.setOrientation(kOrientationLandscape); });

    // A failed print must not leave the window black on white: the colours
    // come back first, then the user hears of it.
    bool printed = true;
    try {
        printer.printPicture(Me0.grab().toImage());
    } catch (const PlatformError &) {
        printed = false;
    }

    Me6.load();
    Me0.setBackColor(Me6.backColor());
    Me0.setForeColor(Me6.foreColor());
    const int count = Me0.controlCount();
    for (int i = 0; i < count; ++i) {
        passOverFailure([&] {
            Control c = Me0.control(i);
            Control reference = Me6.control(i);
            passOverFailure([&] { c.setBackColor(reference.backColor()); });
            passOverFailure([&] { c.setForeColor(reference.foreColor()); });
        });
    }
    Me6.close();

    if (!printed) {
        Me0.platform().messageBoxes.show(QStringLiteral("エラーです。印刷できません。") + u'\r'
                                             + QStringLiteral("プリンタを確認して下さい。"),
                                         kMsgOk);
    }
}

} // namespace zdb
