#pragma once

#include <QtGlobal>

namespace zdb {

class Form;

// The main window's key-down handler (key preview): Escape closes the window
// as END does; every other key goes to the key navigation.
void Form_KeyDown(Form &ME, const qint16 &KeyCode, int Shift);

} // namespace zdb
