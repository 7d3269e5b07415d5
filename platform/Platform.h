#pragma once

namespace zdb {

class MessageBoxes;
class SettingsBackend;
class Clock;
class SystemInfo;
class EventPump;
class CommandShellFactory;
class FileOps;
class RunLock;
class Printer;

// The outside world as the window sees it. main() hands the real services,
// tests their doubles; the bundle does not own them.
struct Platform {
    MessageBoxes *messageBoxes = nullptr;
    SettingsBackend *settings = nullptr;
    Clock *clock = nullptr;
    SystemInfo *systemInfo = nullptr;
    EventPump *events = nullptr;
    CommandShellFactory *shells = nullptr;
    FileOps *files = nullptr;
    RunLock *runLock = nullptr;
    Printer *printer = nullptr;
};

} // namespace zdb
