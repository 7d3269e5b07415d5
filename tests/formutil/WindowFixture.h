#pragma once

#include "FocusMark.h"
#include "KeyMove.h"
#include "TestWindow.h"

namespace zdb::test {

// The test window with the handlers the main window gives its controls: every
// focus entry marks the control, Escape closes, other keys move the focus.
class KeyedWindow : public TestWindow {
public:
    explicit KeyedWindow(Platform &platform) : TestWindow(platform)
    {
        for (int i = 0; i < controlCount(); ++i) {
            const Control c = control(i);
            const ControlKind kind = c.kind();
            if (kind != ControlKind::Label && kind != ControlKind::Frame && kind != ControlKind::SysInfo)
                setGotFocusHandler(c, [this] { markFocus(); });
        }
    }

protected:
    void onLoad() override
    {
        TestWindow::onLoad();
        setKeyPreview(true);
        markFocus();
    }
    void keyDown(qint16 keyCode, int) override
    {
        if (keyCode == 27) {
            close();
            return;
        }
        キー移動1(*this, keyCode);
    }

private:
    void markFocus() { フォーカス色付1(*this, QStringLiteral("GotFocus"), 0); }
};

using ShownWindow = ShownForm<KeyedWindow>;

} // namespace zdb::test
