#include "InputLock.h"

#include "Form.h"
#include "MessageBoxes.h"
#include "Platform.h"
#include "SettingsControls.h"

namespace zdb {

namespace {

// Buttons that stay usable while the inputs are locked.
bool isExempt(const QString &upperName)
{
    for (const QString &name : settingsControls().alwaysUsable)
        if (name.toUpper() == upperName)
            return true;
    return false;
}

} // namespace

void ロックと解除_Click(Form &ME)
{
    // The lock has no state of its own: the service name's field tells it.
    bool target = true;
    if (ME.control(settingsControls().serviceName).locked()) {
        const QString question = QStringLiteral("ロックを解除し、設定変更が可能な状態にします。") + u'\r'
            + QStringLiteral("システムに詳しい方は、　　はい　　を選択して下さい") + u'\r'
            + QStringLiteral("そうでない場合は、　　　　いいえ　を選択して下さい");
        if (ME.platform().messageBoxes.show(question, kMsgYesNo) != kAnswerYes)
            return;
        target = false;
    }
    for (int i = 0; i < ME.controlCount(); ++i) {
        Control c = ME.control(i);
        const QString type = c.typeName().toUpper();
        const QString name = c.name().toUpper();
        if (type == QStringLiteral("COMMANDBUTTON")) {
            if (!isExempt(name))
                c.setEnabled(!target);
        } else if (type == QStringLiteral("TEXTBOX") || type == QStringLiteral("COMBOBOX")) {
            c.setLocked(target);
        }
    }
}

} // namespace zdb
