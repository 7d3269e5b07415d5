#include "MainWindow.h"

#include "BackupRun.h"
#include "FocusHandlers.h"
#include "InputLock.h"
#include "KeyDown.h"
#include "Layout.h"
#include "ScreenPrintButton.h"
#include "SettingsControls.h"
#include "SettingsStore.h"
#include "StartUp.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QShowEvent>
#include <QTimer>

namespace zdb {

MainWindow::MainWindow(Platform &platform, QWidget *parent) : Form(platform, QString::fromUtf8(kMainFormName), parent)
{
    setCaption(QString::fromUtf8(kMainFormCaption));
    buildLayout(*this);
    // The settings routines find this window's controls by these names.
    setSettingsControls(mainSettingsControls());
    connectHandlers();
}

MainWindow::~MainWindow() = default;

void MainWindow::connectHandlers()
{
    auto onClick = [this](const char *name, auto handler) {
        auto *button = static_cast<QAbstractButton *>(control(QString::fromUtf8(name)).widget());
        QObject::connect(button, &QAbstractButton::clicked, this, handler);
    };
    onClick("YES", [this] { YES_Click(*this); });
    onClick("END", [this] { END_Click(*this); });
    onClick("設定読込", [this] { 設定読込_Click(*this); });
    onClick("設定記憶", [this] { 設定記憶_Click(*this); });
    onClick("ロックと解除", [this] { ロックと解除_Click(*this); });
    connectFocusHandlers(*this);
    onClick("PRN", [this] { PRN_Click(*this); });
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Closing now could leave the database service stopped.
    if (runUnderWay) {
        event->ignore();
        if (runFinished)
            closeWhenRunEnds = true;
        else
            QApplication::beep();
        return;
    }
    Form::closeEvent(event);
}

void MainWindow::onLoad() { Form_Load(*this); }

void MainWindow::keyDown(qint16 keyCode, int shift) { Form_KeyDown(*this, keyCode, shift); }

void MainWindow::showEvent(QShowEvent *event)
{
    Form::showEvent(event);
    if (!shownOnce_) {
        shownOnce_ = true;
        // The lowest tab position that can take the focus.
        control(QStringLiteral("YES")).setFocus();
        // Said or asked once the window stands behind the box.
        if (!testAttribute(Qt::WA_DontShowOnScreen))
            QTimer::singleShot(0, this, [this] {
                reportUnreadableSettings(*this);
                reviewEarlierRuns(*this);
            });
    }
}

} // namespace zdb
