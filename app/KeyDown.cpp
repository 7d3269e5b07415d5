#include "KeyDown.h"

#include "Form.h"
#include "KeyMove.h"

namespace zdb {

void Form_KeyDown(Form &ME, const qint16 &KeyCode, int)
{
    if (KeyCode == 27) {
        ME.close();
        return;
    }
    キー移動1(ME, KeyCode);
}

} // namespace zdb
