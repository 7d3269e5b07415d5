#pragma once

#include "Colour.h"

#include <QString>

class QWidget;

namespace zdb {

class Form;

enum class ControlKind { TextBox, ComboBox, CommandButton, OptionButton, Label, Frame, SysInfo };

// The run-time type name a kind reports ("TextBox", "ComboBox", ...).
QString typeNameOf(ControlKind kind);

// What the window keeps of one control. Owned by its Form.
struct ControlEntry {
    Form *form = nullptr;
    ControlKind kind = ControlKind::Label;
    QString name;
    int index = -1; // element index, -1 outside a control array
    int tabIndex = -1; // -1: the control has no tab position
    QWidget *widget = nullptr; // none for a non-visual control
    OleColor backColor = 0;
    OleColor foreColor = 0;
    int appearance = 1;
    bool locked = false;
};

// A light handle on one control of a Form. A property the control does not
// have throws PlatformError (438), as does any use of an empty handle (91).
class Control {
public:
    Control() = default;
    explicit Control(ControlEntry *entry) : e_(entry) {}

    bool isNull() const { return e_ == nullptr; }
    bool operator==(const Control &other) const { return e_ == other.e_; }

    QString name() const;
    int index() const; // -1 outside a control array
    QString typeName() const;
    ControlKind kind() const;
    Form &form() const;

    int tabIndex() const;
    void setTabIndex(int tabIndex);

    // Text of a text field, caption of a label, button, option or frame.
    QString text() const;
    void setText(const QString &text);
    QString toolTip() const;

    bool value() const; // option buttons
    void setValue(bool selected);

    bool locked() const; // text boxes and combo boxes
    void setLocked(bool locked);
    bool enabled() const;
    void setEnabled(bool enabled);
    bool visible() const;

    OleColor backColor() const;
    void setBackColor(OleColor c);
    OleColor foreColor() const;
    void setForeColor(OleColor c);
    int appearance() const;
    void setAppearance(int appearance);

    int selStart() const;
    void setSelStart(int start);
    int selLength() const;
    void setSelLength(int length);

    int listCount() const; // combo boxes
    QString list(int i) const;
    void addItem(const QString &item);

    // Gives the control the keyboard focus; fails for a control that cannot
    // take it (label, frame, disabled or hidden control).
    void setFocus();

    // Platform identifier reported by a system-information control.
    int osPlatform() const;

    QWidget *widget() const;
    ControlEntry *entry() const { return e_; }

private:
    ControlEntry *need() const;
    [[noreturn]] void unsupported() const;
    void applyColours() const;
    ControlEntry *e_ = nullptr;
};

} // namespace zdb
