#pragma once

#include "RunEvent.h"

#include <functional>

namespace zdb {

class FileOps;
class RunLock;
class RunRecords;
class ServiceManager;
class ServiceStart;

// What the engine needs of the world; tests hand doubles.
struct EngineServices {
    FileOps &files;
    ServiceManager &manager;
    RunLock &runLock;
    RunRecords &records;
    // Sleeps about ms milliseconds (the settling wait after the restart).
    std::function<void(int ms)> sleep;
    // True once the run is asked to end (a signal): the copy is abandoned.
    std::function<bool()> abandoned = [] { return false; };
    // The longest a stop or start command may take; 0: no limit.
    int commandTimeLimitMs = 10 * 60 * 1000;
    // The settling wait after the start command.
    int restartWaitMs = 3456;
    // Called with the run's lock still held once the new pair stands.
    std::function<void()> committed = [] {};
    // The service's one start after the stop, shared with a watchdog;
    // nullptr: the engine's own.
    ServiceStart *serviceStart = nullptr;
    // Called just before the previous pair is removed to make room for the
    // new one; false: it could not be recorded, and the pair stays.
    std::function<bool()> previousRemoved = [] { return true; };
};

// What a run leaves to be recorded besides its events.
struct RunFacts {
    qint64 downtimeMs = -1; // from the stop command's start to the start command's end
    bool committed = false; // the new pair replaced the previous one
    bool noLogSource = false; // the log source was missing: no log copy was made
};

// The backup run without a window: checks, stop, staged copies, restart,
// read-back, commit. Every box it asks for comes after the service runs
// again (or before anything was stopped). Returns true for a run that ended
// with "正常に処理終了しました".
class BackupEngine {
public:
    using Sink = std::function<void(const RunEvent &)>;
    BackupEngine(EngineServices &services, Sink sink);
    bool run(const BackupRequest &request);
    const RunFacts &facts() const { return facts_; }

private:
    struct Impl;
    EngineServices &s_;
    Sink emit_;
    RunFacts facts_;
};

// The time limit of service commands: $ZDB_COMMAND_TIMEOUT whole seconds,
// else ten minutes.
int commandTimeLimitFromEnvironment();
// The longest the service may stay down before a watchdog starts it:
// $ZDB_DOWNTIME_LIMIT whole seconds, else thirty minutes.
int downtimeLimitFromEnvironment();

} // namespace zdb
