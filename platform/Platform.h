#pragma once

namespace zdb {

class MessageBoxes;
class SettingsBackend;
class Clock;
class SystemInfo;
class EventPump;
class Printer;
class BackupHost;

// The outside world as the window sees it. The host's services are built in
// one place (HostPlatform), tests build their doubles; the window owns none.
struct Platform {
    MessageBoxes &messageBoxes;
    SettingsBackend &settings;
    Clock &clock;
    SystemInfo &systemInfo;
    EventPump &events;
    Printer &printer;
    BackupHost &backups;
};

} // namespace zdb
