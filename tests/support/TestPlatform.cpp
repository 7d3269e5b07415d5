#include "TestPlatform.h"

#include "Fonts.h"

#include <QApplication>
#include <QStyleFactory>

namespace zdb::test {

TestPlatform::TestPlatform()
{
    platform.messageBoxes = &boxes;
    platform.settings = &settings;
    platform.clock = &clock;
    platform.systemInfo = &systemInfo;
    platform.events = &events;
    platform.shells = &shells;
    platform.files = &files;
    platform.runLock = &runLock;
    // Time passes while the window waits, as on the real clock.
    events.onWait = [this](int maxMs) { clock.current = clock.current.addMSecs(maxMs); };
    platform.printer = &printer;
}

void setUpApplication()
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    installFontSubstitutes();
}

} // namespace zdb::test
