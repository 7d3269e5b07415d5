#pragma once

#include "Clock.h"
#include "EventPump.h"
#include "HostBackups.h"
#include "MessageBoxes.h"
#include "Platform.h"
#include "Printer.h"
#include "SettingsBackend.h"
#include "SystemInfo.h"

namespace zdb {

// The host's real services, built in this one place for the window.
class HostPlatform {
public:
    HostPlatform() = default;
    HostPlatform(const HostPlatform &) = delete;
    HostPlatform &operator=(const HostPlatform &) = delete;
    Platform &platform() { return platform_; }

private:
    DesktopMessageBoxes messageBoxes_;
    QtSettingsBackend settings_;
    SystemClock clock_;
    HostSystemInfo systemInfo_;
    QtEventPump events_;
    SystemPrinter printer_;
    HostBackups backups_;
    Platform platform_{messageBoxes_, settings_, clock_, systemInfo_, events_, printer_, backups_};
};

} // namespace zdb
