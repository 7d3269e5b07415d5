#include "SettingsControls.h"

namespace zdb {

namespace {

SettingsControls &registered()
{
    static SettingsControls controls;
    return controls;
}

} // namespace

void setSettingsControls(const SettingsControls &controls) { registered() = controls; }

const SettingsControls &settingsControls() { return registered(); }

} // namespace zdb
