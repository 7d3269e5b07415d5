#include "Control.h"

#include "Form.h"
#include "Platform.h"
#include "PlatformError.h"
#include "SystemInfo.h"
#include "Widgets.h"

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

namespace zdb {

QString typeNameOf(ControlKind kind)
{
    switch (kind) {
    case ControlKind::TextBox: return QStringLiteral("TextBox");
    case ControlKind::ComboBox: return QStringLiteral("ComboBox");
    case ControlKind::CommandButton: return QStringLiteral("CommandButton");
    case ControlKind::OptionButton: return QStringLiteral("OptionButton");
    case ControlKind::Label: return QStringLiteral("Label");
    case ControlKind::Frame: return QStringLiteral("Frame");
    case ControlKind::SysInfo: return QStringLiteral("SysInfo");
    }
    return {};
}

ControlEntry *Control::need() const
{
    if (!e_)
        throw PlatformError(kErrObjectNotSet);
    return e_;
}

void Control::unsupported() const { throw PlatformError(kErrPropertyNotSupported); }

QString Control::name() const { return need()->name; }
int Control::index() const { return need()->index; }
QString Control::typeName() const { return typeNameOf(need()->kind); }
ControlKind Control::kind() const { return need()->kind; }
Form &Control::form() const { return *need()->form; }
QWidget *Control::widget() const { return need()->widget; }

int Control::tabIndex() const
{
    if (need()->kind == ControlKind::SysInfo)
        unsupported();
    return e_->tabIndex;
}

void Control::setTabIndex(int tabIndex)
{
    if (need()->kind == ControlKind::SysInfo)
        unsupported();
    e_->tabIndex = tabIndex;
}

namespace {

QLineEdit *lineEditOf(ControlEntry *e)
{
    if (e->kind == ControlKind::TextBox)
        return static_cast<QLineEdit *>(e->widget);
    if (e->kind == ControlKind::ComboBox)
        return static_cast<QComboBox *>(e->widget)->lineEdit();
    return nullptr;
}

} // namespace

QString Control::text() const
{
    switch (need()->kind) {
    case ControlKind::TextBox:
    case ControlKind::ComboBox: return lineEditOf(e_)->text();
    case ControlKind::CommandButton:
    case ControlKind::OptionButton: return static_cast<QAbstractButton *>(e_->widget)->text();
    case ControlKind::Label: return static_cast<QLabel *>(e_->widget)->text();
    case ControlKind::Frame: return e_->widget->property("caption").toString();
    case ControlKind::SysInfo: break;
    }
    unsupported();
}

void Control::setText(const QString &text)
{
    switch (need()->kind) {
    case ControlKind::TextBox:
    case ControlKind::ComboBox: lineEditOf(e_)->setText(text); return;
    case ControlKind::CommandButton:
    case ControlKind::OptionButton: static_cast<QAbstractButton *>(e_->widget)->setText(text); return;
    case ControlKind::Label: static_cast<QLabel *>(e_->widget)->setText(text); return;
    case ControlKind::Frame: e_->widget->setProperty("caption", text); return;
    case ControlKind::SysInfo: break;
    }
    unsupported();
}

QString Control::toolTip() const
{
    if (!need()->widget)
        unsupported();
    return e_->widget->toolTip();
}

bool Control::value() const
{
    if (need()->kind != ControlKind::OptionButton)
        unsupported();
    return static_cast<QRadioButton *>(e_->widget)->isChecked();
}

void Control::setValue(bool selected)
{
    if (need()->kind != ControlKind::OptionButton)
        unsupported();
    auto *radio = static_cast<QRadioButton *>(e_->widget);
    if (selected) {
        radio->setChecked(true);
    } else {
        // An exclusive group refuses to clear its checked button by itself.
        const bool exclusive = radio->autoExclusive();
        radio->setAutoExclusive(false);
        radio->setChecked(false);
        radio->setAutoExclusive(exclusive);
    }
}

bool Control::locked() const
{
    if (need()->kind != ControlKind::TextBox && e_->kind != ControlKind::ComboBox)
        unsupported();
    return e_->locked;
}

void Control::setLocked(bool locked)
{
    if (need()->kind == ControlKind::TextBox)
        static_cast<QLineEdit *>(e_->widget)->setReadOnly(locked);
    else if (e_->kind == ControlKind::ComboBox)
        static_cast<LockableComboBox *>(e_->widget)->setLocked(locked);
    else
        unsupported();
    e_->locked = locked;
}

bool Control::enabled() const
{
    if (!need()->widget)
        unsupported();
    return e_->widget->isEnabled();
}

void Control::setEnabled(bool enabled)
{
    if (!need()->widget)
        unsupported();
    e_->widget->setEnabled(enabled);
}

bool Control::visible() const
{
    if (!need()->widget)
        unsupported();
    return !e_->widget->isHidden();
}

OleColor Control::backColor() const
{
    if (!need()->widget)
        unsupported();
    return e_->backColor;
}

void Control::setBackColor(OleColor c)
{
    if (!need()->widget)
        unsupported();
    e_->backColor = c;
    applyColours();
}

OleColor Control::foreColor() const
{
    if (!need()->widget)
        unsupported();
    return e_->foreColor;
}

void Control::setForeColor(OleColor c)
{
    if (!need()->widget)
        unsupported();
    e_->foreColor = c;
    applyColours();
}

int Control::appearance() const
{
    if (!need()->widget)
        unsupported();
    return e_->appearance;
}

void Control::setAppearance(int appearance)
{
    if (!need()->widget)
        unsupported();
    e_->appearance = appearance;
    // Boxed labels and frames show it as a flat or sunken border.
    if (auto *frame = qobject_cast<QFrame *>(e_->widget); frame && frame->frameShape() != QFrame::NoFrame)
        frame->setFrameShadow(appearance == 0 ? QFrame::Plain : QFrame::Sunken);
}

int Control::selStart() const
{
    QLineEdit *le = need()->widget ? lineEditOf(e_) : nullptr;
    if (!le)
        unsupported();
    return le->hasSelectedText() ? le->selectionStart() : le->cursorPosition();
}

void Control::setSelStart(int start)
{
    QLineEdit *le = need()->widget ? lineEditOf(e_) : nullptr;
    if (!le)
        unsupported();
    le->setCursorPosition(std::clamp(start, 0, int(le->text().size())));
}

int Control::selLength() const
{
    QLineEdit *le = need()->widget ? lineEditOf(e_) : nullptr;
    if (!le)
        unsupported();
    return int(le->selectedText().size());
}

void Control::setSelLength(int length)
{
    QLineEdit *le = need()->widget ? lineEditOf(e_) : nullptr;
    if (!le)
        unsupported();
    const int start = le->hasSelectedText() ? le->selectionStart() : le->cursorPosition();
    const int len = std::clamp(length, 0, int(le->text().size()) - start);
    if (len == 0)
        le->setCursorPosition(start);
    else
        le->setSelection(start, len);
}

int Control::listCount() const
{
    if (need()->kind != ControlKind::ComboBox)
        unsupported();
    return static_cast<QComboBox *>(e_->widget)->count();
}

QString Control::list(int i) const
{
    if (need()->kind != ControlKind::ComboBox)
        unsupported();
    auto *combo = static_cast<QComboBox *>(e_->widget);
    // Outside the list there is no entry: an empty text, as the list reports.
    return (i >= 0 && i < combo->count()) ? combo->itemText(i) : QString();
}

void Control::addItem(const QString &item)
{
    if (need()->kind != ControlKind::ComboBox)
        unsupported();
    auto *combo = static_cast<QComboBox *>(e_->widget);
    // Adding to the list must not replace what the box shows.
    const QString shown = combo->lineEdit()->text();
    combo->addItem(item);
    combo->lineEdit()->setText(shown);
}

void Control::setFocus()
{
    ControlEntry *e = need();
    if (!e->widget)
        unsupported();
    QWidget *w = e->widget;
    if (e->kind == ControlKind::Label || e->kind == ControlKind::Frame || w->focusPolicy() == Qt::NoFocus
        || !w->isEnabled() || w->isHidden())
        throw PlatformError(kErrInvalidCall);
    w->setFocus(Qt::OtherFocusReason);
}

int Control::osPlatform() const
{
    if (need()->kind != ControlKind::SysInfo)
        unsupported();
    return e_->form->platform().systemInfo.osPlatform();
}

void Control::applyColours() const
{
    QWidget *w = e_->widget;
    QPalette p = w->palette();
    const QColor back = toQColor(e_->backColor);
    const QColor fore = toQColor(e_->foreColor);
    auto setText = [&](QPalette::ColorRole role) {
        // Disabled text keeps the desktop's grey.
        p.setColor(QPalette::Active, role, fore);
        p.setColor(QPalette::Inactive, role, fore);
    };
    switch (e_->kind) {
    case ControlKind::TextBox:
        p.setColor(QPalette::Base, back);
        setText(QPalette::Text);
        break;
    case ControlKind::ComboBox:
        p.setColor(QPalette::Base, back);
        p.setColor(QPalette::Button, back);
        setText(QPalette::Text);
        setText(QPalette::ButtonText);
        break;
    case ControlKind::CommandButton:
        p.setColor(QPalette::Button, back);
        setText(QPalette::ButtonText);
        break;
    case ControlKind::OptionButton:
    case ControlKind::Label:
    case ControlKind::Frame:
        // The ground is filled from the widget's background role, which is
        // Button for an option, as for every button, and Window for the rest.
        p.setColor(QPalette::Window, back);
        p.setColor(w->backgroundRole(), back);
        setText(QPalette::WindowText);
        setText(w->foregroundRole());
        w->setAutoFillBackground(true);
        break;
    case ControlKind::SysInfo: return;
    }
    w->setPalette(p);
}

} // namespace zdb
