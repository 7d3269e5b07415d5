#pragma once

#include "Doubles.h"
#include "InProcessBackups.h"
#include "Platform.h"
#include "RunLock.h"
#include "RunRecords.h"

#include <QTemporaryDir>

namespace zdb::test {

// A Platform made of doubles, owned together. Backups run the real engine
// in this process on the file and command doubles.
struct TestPlatform {
    TestPlatform();
    ScriptedMessageBoxes boxes;
    MemorySettings settings;
    FixedClock clock;
    FixedSystemInfo systemInfo;
    CountingEventPump events;
    RecordingServiceManager manager;
    FaultyFileOps files;
    QTemporaryDir stateFolder;
    HostRunLock runLock{stateFolder.filePath(QStringLiteral("run.lock"))};
    RunRecords records{stateFolder.path()};
    PdfTestPrinter printer;
    EngineServices engine{files, manager, runLock, records, [](int) {}};
    InProcessBackups backups{engine};
    Platform platform{boxes, settings, clock, systemInfo, events, printer, backups};
};

// Fusion style and the font substitutes, as main() sets them up.
void setUpApplication();

} // namespace zdb::test
