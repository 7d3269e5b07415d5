#pragma once

#include <QtGlobal>

namespace zdb {

class Form;

// Moves the focus by a key: Enter and down to the next tab position, up to
// the previous, left and right out of a text field at its start or end; past
// the last field it starts again at the first. Enter in a combo box first
// picks the list entry whose number was typed.
void キー移動1(Form &ME1, const qint16 &KeyCode);

} // namespace zdb
