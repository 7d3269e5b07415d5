#pragma once

#include "Doubles.h"
#include "Platform.h"
#include "RunLock.h"

#include <QTemporaryDir>

namespace zdb::test {

// A Platform made of doubles, owned together.
struct TestPlatform {
    TestPlatform();
    ScriptedMessageBoxes boxes;
    MemorySettings settings;
    FixedClock clock;
    FixedSystemInfo systemInfo;
    CountingEventPump events;
    RecordingShellFactory shells;
    FaultyFileOps files;
    QTemporaryDir lockFolder;
    HostRunLock runLock{lockFolder.path()};
    PdfTestPrinter printer;
    Platform platform;
};

// Fusion style and the font substitutes, as main() sets them up.
void setUpApplication();

} // namespace zdb::test
