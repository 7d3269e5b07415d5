#pragma once

#include <QString>
#include <QStringList>

namespace zdb {

// The window's controls that show the stored settings, named by the window
// that has them: the stored keys stay the same whatever the controls are called.
struct SettingsControls {
    QString number; // its text picks the stored section
    QString serviceName; // key "DBサーバー名"; its Locked flag is the input lock's state
    QString dataSource; // key "DBデータパス"
    QString logSource; // key "DBログパス"
    QString dataTargets; // control array: row i shows key "DBデータパス1" + i
    QString logTargets; // control array: row i shows key "DBログパス1" + i
    QStringList alwaysUsable; // buttons the input lock leaves enabled, any case
};

// Set by the window's layer before any settings routine runs on its window.
void setSettingsControls(const SettingsControls &controls);
const SettingsControls &settingsControls();

} // namespace zdb
