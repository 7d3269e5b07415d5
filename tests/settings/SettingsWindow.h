#pragma once

#include "InputLock.h"
#include "SettingsControls.h"
#include "SettingsStore.h"
#include "TestWindow.h"

#include <QAbstractButton>

namespace zdb::test {

// The names of the test window's settings controls, as the main window's.
inline SettingsControls testWindowControls()
{
    return {QStringLiteral("設定番号"),
            QStringLiteral("DBサーバー名"),
            QStringLiteral("DBデータパス"),
            QStringLiteral("DBログパス"),
            QStringLiteral("Path"),
            QStringLiteral("Path2"),
            {QStringLiteral("YES"), QStringLiteral("END"), QStringLiteral("PRN"), QStringLiteral("ロックと解除"),
             QStringLiteral("下矢印")}};
}

// The test window with the settings buttons at work and the stored settings
// loaded at start-up, as the main window has them.
class SettingsWindow : public TestWindow {
public:
    explicit SettingsWindow(Platform &platform) : TestWindow(platform)
    {
        setSettingsControls(testWindowControls());
        onClick("設定読込", [this] { 設定読込_Click(*this); });
        onClick("設定記憶", [this] { 設定記憶_Click(*this); });
        onClick("ロックと解除", [this] { ロックと解除_Click(*this); });
    }

protected:
    void onLoad() override
    {
        TestWindow::onLoad();
        QVariant scratch;
        FMM_GETレジストリ1(*this, scratch);
    }

private:
    template <class Handler>
    void onClick(const char *name, Handler handler)
    {
        auto *button = static_cast<QAbstractButton *>(control(QString::fromUtf8(name)).widget());
        QObject::connect(button, &QAbstractButton::clicked, this, handler);
    }
};

using ShownWindow = ShownForm<SettingsWindow>;

} // namespace zdb::test
