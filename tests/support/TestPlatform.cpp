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
    platform.printer = &printer;
}

void setUpApplication()
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    installFontSubstitutes();
}

} // namespace zdb::test
