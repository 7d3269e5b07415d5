#pragma once

#include "Colour.h"

#include <QString>

namespace zdb {

class Form;

// The mark of the control with the focus: light green.
constexpr OleColor kFocusMark = rgb(192, 255, 192);
// What a marked field goes back to on a window whose name ends with "入力".
constexpr OleColor kInputScreenField = rgb(255, 255, 255);

// Clears the mark from every control of the window and marks its active
// control; an entered text field or combo box gets its text selected from the
// start. イベント is "GotFocus" or "KEYUP"; a key-up of any key but Enter and
// the arrows changes nothing.
void フォーカス色付1(Form &ME1, const QString &イベント, const qint16 &KeyCode);

} // namespace zdb
