#pragma once

#include <Qt>
#include <QtGlobal>

namespace zdb {

// The virtual-key code of a Qt key (13 Enter, 27 Escape, 37 to 40 the
// arrows, letters and digits their ASCII codes); 0 for a key without one.
qint16 virtualKeyCode(int qtKey, Qt::KeyboardModifiers modifiers = Qt::NoModifier);

// The shift state of a key event: 1 Shift, 2 Ctrl, 4 Alt, added together.
int shiftState(Qt::KeyboardModifiers modifiers);

} // namespace zdb
