#pragma once

#include "Form.h"
#include "TestPlatform.h"

#include <QApplication>
#include <QRegularExpression>
#include <QTest>

namespace zdb::test {

// A window for the layers below the main window: the same controls by name,
// kind, container, place, tab position and ground colour as the main window,
// without its texts, fonts or handlers.
class TestWindow : public Form {
public:
    explicit TestWindow(Platform &platform, QWidget *parent = nullptr);

protected:
    // Lists the numbers 1 to 9 in 設定番号 and shows 1.
    void onLoad() override;
};

// The nineteen input fields in key order.
inline QList<Control> inputFields(Form &w)
{
    QList<Control> out = {w.control(QStringLiteral("DBサーバー名")), w.control(QStringLiteral("DBデータパス")),
                          w.control(QStringLiteral("DBログパス"))};
    for (int i = 0; i < 8; ++i)
        out << w.control(QStringLiteral("Path"), i);
    for (int i = 0; i < 8; ++i)
        out << w.control(QStringLiteral("Path2"), i);
    return out;
}

// The inputs as the input lock leaves them: read-only fields, load and store off.
inline void lockInputs(Form &w)
{
    for (int i = 0; i < w.controlCount(); ++i) {
        Control c = w.control(i);
        if (c.kind() == ControlKind::TextBox || c.kind() == ControlKind::ComboBox)
            c.setLocked(true);
    }
    w.control(QStringLiteral("設定読込")).setEnabled(false);
    w.control(QStringLiteral("設定記憶")).setEnabled(false);
}

// A window of doubles, loaded, shown and active.
template <class Window>
struct ShownForm {
    TestPlatform tp;
    Window window{tp.platform};

    ShownForm()
    {
        window.load();
        window.show();
        window.activateWindow();
    }
    bool ready() { return QTest::qWaitForWindowActive(&window); }

    // "Path(7)" names an array element, "YES" a single control.
    Control operator[](const QString &label) const
    {
        static const QRegularExpression element(QStringLiteral("^(.+)\\((\\d+)\\)$"));
        const auto m = element.match(label);
        return m.hasMatch() ? window.control(m.captured(1), m.captured(2).toInt()) : window.control(label);
    }
    // The label of the control with the focus, in the same form.
    QString focusLabel() const
    {
        const Control c = window.activeControl();
        if (c.isNull())
            return QStringLiteral("(none)");
        return c.index() >= 0 ? QStringLiteral("%1(%2)").arg(c.name()).arg(c.index()) : c.name();
    }
    // A key as the user presses it: through the window system to the focus.
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(window.windowHandle(), key, modifiers);
    }
    void type(const QString &text)
    {
        for (const QChar c : text) {
            // keyClicks takes Latin-1 only; other characters come as text.
            if (c.unicode() < 128)
                QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
            else
                QTest::sendKeyEvent(QTest::Click, QApplication::focusWidget(), Qt::Key_unknown, QString(c),
                                    Qt::NoModifier);
        }
    }
};

} // namespace zdb::test
