#include "CommandLine.h"
#include "EngineMain.h"
#include "Fonts.h"
#include "HostPlatform.h"
#include "MainWindow.h"
#include "SystemInfo.h"

#include <QApplication>
#include <QCoreApplication>
#include <QStyleFactory>

#include <cstring>

int main(int argc, char *argv[])
{
    // A service unit without User= has no HOME: the settings and the state
    // folder are then the user database's home's, as they are at a login.
    zdb::setHomeFromUserDatabase();
    // The run itself, started by the window in a process of its own.
    if (argc == 2 && std::strcmp(argv[1], "--engine") == 0) {
        QCoreApplication app(argc, argv);
        return zdb::runEngineProcess();
    }
    // A timer's nightly run, or help: no window and no display.
    if (argc > 1) {
        QCoreApplication app(argc, argv);
        return zdb::runFromCommandLine(QCoreApplication::arguments().mid(1));
    }

    QApplication app(argc, argv);
    // Fusion draws a button's face in its palette colour on every desktop.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    zdb::installFontSubstitutes();

    zdb::HostPlatform host;
    zdb::MainWindow window(host.platform());
    window.load();
    window.show();
    return app.exec();
}
