#include "Clock.h"
#include "CommandShell.h"
#include "EventPump.h"
#include "FileOps.h"
#include "Fonts.h"
#include "MainWindow.h"
#include "MessageBoxes.h"
#include "Platform.h"
#include "Printer.h"
#include "RunLock.h"
#include "SettingsBackend.h"
#include "SystemInfo.h"

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Fusion draws a button's face in its palette colour on every desktop.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    zdb::installFontSubstitutes();

    zdb::DesktopMessageBoxes messageBoxes;
    zdb::QtSettingsBackend settings;
    zdb::SystemClock clock;
    zdb::HostSystemInfo systemInfo;
    zdb::QtEventPump events;
    zdb::HostCommandShellFactory shells;
    zdb::HostFileOps files;
    zdb::HostRunLock runLock;
    zdb::SystemPrinter printer;
    zdb::Platform platform;
    platform.messageBoxes = &messageBoxes;
    platform.settings = &settings;
    platform.clock = &clock;
    platform.systemInfo = &systemInfo;
    platform.events = &events;
    platform.shells = &shells;
    platform.files = &files;
    platform.runLock = &runLock;
    platform.printer = &printer;

    zdb::MainWindow window(platform);
    window.load();
    window.show();
    return app.exec();
}
