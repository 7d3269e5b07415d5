#include "TestPlatform.h"

#include "Fonts.h"

#include <QApplication>
#include <QStyleFactory>

namespace zdb::test {

TestPlatform::TestPlatform()
{
    engine.restartWaitMs = 0;
    // Time passes while the window waits, as on the real clock.
    events.onWait = [this](int maxMs) { clock.current = clock.current.addMSecs(maxMs); };
}

void setUpApplication()
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    installFontSubstitutes();
}

} // namespace zdb::test
