#pragma once

#include "Colour.h"
#include "Control.h"

#include <QHash>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zdb {

struct Platform;

// A window as its routines see it: a name, a caption, colours, and its
// controls by position (creation order), by name and by name and index.
class Form : public QWidget {
public:
    Form(Platform &platform, const QString &formName, QWidget *parent = nullptr);
    ~Form() override;

    Platform &platform() const { return platform_; }

    QString formName() const { return formName_; }
    QString caption() const;
    void setCaption(const QString &caption);

    OleColor backColor() const { return backColor_; }
    void setBackColor(OleColor c);
    OleColor foreColor() const { return foreColor_; }
    void setForeColor(OleColor c);

    // With key preview on, keyDown() sees every key pressed in the window
    // before the control with the focus does.
    bool keyPreview() const { return keyPreview_; }
    void setKeyPreview(bool on) { keyPreview_ = on; }

    // The focus-entry handler of a control: runs when the focus moves to it
    // inside the window, not when the window becomes active again and the
    // focus returns to the control that had it.
    void setGotFocusHandler(const Control &control, std::function<void()> handler);

    int controlCount() const { return int(entries_.size()); }
    Control control(int position) const;
    // Names match without regard to case.
    Control control(const QString &name) const;
    Control control(const QString &name, int index) const;
    bool hasControl(const QString &name) const;
    // The control that has the keyboard focus in this window, or an empty handle.
    Control activeControl() const;
    // The control a widget belongs to (a combo box's line edit counts as the box).
    Control controlOf(const QWidget *widget) const;

    // Creates a control inside container (the window itself when null).
    Control addControl(ControlKind kind, const QString &name, int index = -1, QWidget *container = nullptr);
    // Links the Tab key's order to the tab positions.
    void applyTabOrder();

    // Runs the load handler once, without showing the window.
    void load();
    bool isLoaded() const { return loaded_; }

protected:
    // The window's load handler.
    virtual void onLoad() {}
    // The window's key-down handler (key preview), with the virtual-key code
    // and the shift state. A key that has moved the focus goes no further.
    virtual void keyDown(qint16 keyCode, int shift);
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyColours();
    bool previewKey(QWidget *receiver, QKeyEvent *event);
    void focusChanged(QWidget *old, QWidget *now);

    Platform &platform_;
    QString formName_;
    OleColor backColor_ = kButtonFace;
    OleColor foreColor_ = kButtonText;
    bool keyPreview_ = false;
    bool loaded_ = false;
    std::vector<std::unique_ptr<ControlEntry>> entries_;
    QHash<const QWidget *, ControlEntry *> byWidget_;
    QHash<const ControlEntry *, std::function<void()>> gotFocus_;
    // The last FocusIn seen in this window and its reason.
    QPointer<QWidget> focusInWidget_;
    Qt::FocusReason focusInReason_ = Qt::OtherFocusReason;
    const ControlEntry *lastEntered_ = nullptr;
};

} // namespace zdb
