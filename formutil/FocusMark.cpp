#include "FocusMark.h"

#include "Form.h"
#include "PlatformError.h"
#include "Text.h"

namespace zdb {

namespace {

// Runs one statement; a failure on a single control is passed over.
template <typename F>
void ignoringFailure(F &&statement)
{
    try {
        statement();
    } catch (const PlatformError &) {
    }
}

} // namespace

void フォーカス色付1(Form &ME1, const QString &イベント, const qint16 &KeyCode)
{
    if (イベント.toUpper() == QStringLiteral("KEYUP") && KeyCode != 38 && KeyCode != 40 && KeyCode != 37
        && KeyCode != 39 && KeyCode != 13)
        return;

    const bool inputScreen = likeMatch(ME1.formName(), QStringLiteral("*入力"));
    for (int i = 0; i < ME1.controlCount(); ++i) {
        ignoringFailure([&] {
            Control c = ME1.control(i);
            if (c.backColor() != kFocusMark)
                return;
            const QString type = c.typeName().toUpper();
            if (type == QStringLiteral("COMMANDBUTTON"))
                c.setBackColor(kButtonFace);
            else if (type == QStringLiteral("PERFECTGRID") || type == QStringLiteral("LABEL"))
                return;
            else
                c.setBackColor(inputScreen ? kInputScreenField : kButtonFace);
        });
    }

    Control active = ME1.activeControl();
    // With no active control the type is that of no object at all, which is
    // neither a grid nor a label: the marking below then has no effect.
    const QString type = active.isNull() ? QString() : active.typeName().toUpper();
    if (type == QStringLiteral("PERFECTGRID") || type == QStringLiteral("LABEL"))
        return;
    ignoringFailure([&] { active.setBackColor(kFocusMark); });
    if ((type == QStringLiteral("TEXTBOX") || type == QStringLiteral("COMBOBOX")) && KeyCode != 37 && KeyCode != 39
        && KeyCode != 13) {
        ignoringFailure([&] { active.setSelStart(0); });
        ignoringFailure([&] { active.setSelLength(int(trimSpaces(active.text()).size())); });
    }
}

} // namespace zdb
