#include "Form.h"

#include "PlatformError.h"
#include "Widgets.h"

#include "KeyCodes.h"

#include <QApplication>
#include <QFocusEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <algorithm>

namespace zdb {

Form::Form(Platform &platform, const QString &formName, QWidget *parent)
    : QWidget(parent), platform_(platform), formName_(formName)
{
    setAutoFillBackground(true);
    applyColours();
    // Key presses and focus changes of every control pass through the
    // application first; the window picks out its own.
    qApp->installEventFilter(this);
    connect(qApp, &QApplication::focusChanged, this, &Form::focusChanged);
}

Form::~Form()
{
    // The application outlives the window: its focus signal and key filter
    // must not reach a window whose children are being destroyed.
    disconnect(qApp, &QApplication::focusChanged, this, &Form::focusChanged);
    qApp->removeEventFilter(this);
}

QString Form::caption() const { return windowTitle(); }
void Form::setCaption(const QString &caption) { setWindowTitle(caption); }

void Form::setBackColor(OleColor c)
{
    backColor_ = c;
    applyColours();
}

void Form::setForeColor(OleColor c)
{
    foreColor_ = c;
    applyColours();
}

void Form::applyColours()
{
    QPalette p = palette();
    p.setColor(QPalette::Window, toQColor(backColor_));
    p.setColor(QPalette::Active, QPalette::WindowText, toQColor(foreColor_));
    p.setColor(QPalette::Inactive, QPalette::WindowText, toQColor(foreColor_));
    // Only the window's own ground follows; the controls keep their colours.
    setPalette(p);
}

Control Form::control(int position) const
{
    if (position < 0 || position >= controlCount())
        throw PlatformError(9);
    return Control(entries_[std::size_t(position)].get());
}

Control Form::control(const QString &name) const
{
    for (const auto &e : entries_) {
        if (e->name.compare(name, Qt::CaseInsensitive) == 0) {
            if (e->index >= 0)
                throw PlatformError(kErrControlArray);
            return Control(e.get());
        }
    }
    throw PlatformError(kErrNoSuchControl);
}

Control Form::control(const QString &name, int index) const
{
    bool found = false;
    for (const auto &e : entries_) {
        if (e->name.compare(name, Qt::CaseInsensitive) == 0) {
            found = true;
            if (e->index == index)
                return Control(e.get());
        }
    }
    throw PlatformError(found ? kErrControlArray : kErrNoSuchControl);
}

bool Form::hasControl(const QString &name) const
{
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const auto &e) { return e->name.compare(name, Qt::CaseInsensitive) == 0; });
}

Control Form::controlOf(const QWidget *widget) const
{
    for (const QWidget *w = widget; w && w != this; w = w->parentWidget()) {
        if (auto *e = byWidget_.value(w))
            return Control(e);
    }
    return {};
}

Control Form::activeControl() const { return controlOf(focusWidget()); }

Control Form::addControl(ControlKind kind, const QString &name, int index, QWidget *container)
{
    QWidget *parent = container ? container : this;
    auto entry = std::make_unique<ControlEntry>();
    entry->form = this;
    entry->kind = kind;
    entry->name = name;
    entry->index = index;
    switch (kind) {
    case ControlKind::TextBox: {
        auto *edit = new QLineEdit(parent);
        entry->widget = edit;
        entry->backColor = kWindowBackground;
        entry->foreColor = kWindowText;
        break;
    }
    case ControlKind::ComboBox: {
        auto *combo = new LockableComboBox(parent);
        entry->widget = combo;
        entry->backColor = kWindowBackground;
        entry->foreColor = kWindowText;
        break;
    }
    case ControlKind::CommandButton:
        entry->widget = new CaptionButton(parent);
        entry->backColor = kButtonFace;
        entry->foreColor = kButtonText;
        break;
    case ControlKind::OptionButton:
        entry->widget = new QRadioButton(parent);
        entry->backColor = kButtonFace;
        entry->foreColor = kButtonText;
        break;
    case ControlKind::Label: {
        auto *label = new QLabel(parent);
        // Captions and messages show paths as typed, "<b>" and "&lt;" included.
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setWordWrap(true);
        entry->widget = label;
        entry->backColor = kButtonFace;
        entry->foreColor = kButtonText;
        break;
    }
    case ControlKind::Frame: {
        auto *frame = new QFrame(parent);
        entry->widget = frame;
        entry->backColor = kButtonFace;
        entry->foreColor = kButtonText;
        break;
    }
    case ControlKind::SysInfo: break;
    }
    if (entry->widget) {
        entry->widget->setObjectName(index >= 0 ? QStringLiteral("%1(%2)").arg(name).arg(index) : name);
        // Assistive technology (and the end-to-end tests) tell the fields apart by it.
        entry->widget->setAccessibleDescription(entry->widget->objectName());
        if (kind == ControlKind::Label || kind == ControlKind::Frame)
            entry->widget->setFocusPolicy(Qt::NoFocus);
        byWidget_.insert(entry->widget, entry.get());
    }
    entries_.push_back(std::move(entry));
    Control c(entries_.back().get());
    if (c.widget()) {
        c.setBackColor(entries_.back()->backColor);
    }
    return c;
}

void Form::applyTabOrder()
{
    std::vector<ControlEntry *> order;
    for (const auto &e : entries_) {
        if (e->widget && e->tabIndex >= 0 && (e->widget->focusPolicy() & Qt::TabFocus))
            order.push_back(e.get());
    }
    std::sort(order.begin(), order.end(), [](auto *a, auto *b) { return a->tabIndex < b->tabIndex; });
    for (std::size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1]->widget, order[i]->widget);
}

void Form::setGotFocusHandler(const Control &control, std::function<void()> handler)
{
    gotFocus_[control.entry()] = std::move(handler);
}

void Form::keyDown(qint16, int) {}

bool Form::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::FocusIn)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || widget->window() != this)
        return false;
    if (event->type() == QEvent::FocusIn) {
        focusInWidget_ = widget;
        focusInReason_ = static_cast<QFocusEvent *>(event)->reason();
        return false;
    }
    return previewKey(widget, static_cast<QKeyEvent *>(event));
}

bool Form::previewKey(QWidget *receiver, QKeyEvent *event)
{
    // A key travels up from the focus widget to its parents, and the filter
    // sees every step: only the first one counts.
    QWidget *focus = QApplication::focusWidget();
    if (!keyPreview_ || receiver != (focus ? focus : this))
        return false;
    const QPointer<QWidget> before = focus;
    keyDown(virtualKeyCode(event->key(), event->modifiers()), shiftState(event->modifiers()));
    // Once the focus has moved, the key must not act on the control it landed
    // on (select, click, move the caret back).
    return !isVisible() || QApplication::focusWidget() != before;
}

void Form::focusChanged(QWidget *old, QWidget *now)
{
    if (!now || now->window() != this)
        return;
    const Control entered = controlOf(now);
    if (entered.isNull() || (old && old->window() == this && controlOf(old) == entered))
        return;
    const Qt::FocusReason reason = focusInWidget_ == now ? focusInReason_ : Qt::OtherFocusReason;
    // The window coming back to the front returns the focus to the control
    // that had it: no entry. The first activation after showing is one.
    const bool returning =
        (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) && entered.entry() == lastEntered_;
    lastEntered_ = entered.entry();
    if (returning)
        return;
    if (const auto handler = gotFocus_.value(entered.entry()))
        handler();
}

void Form::load()
{
    if (loaded_)
        return;
    loaded_ = true;
    onLoad();
}

void Form::showEvent(QShowEvent *event)
{
    load();
    QWidget::showEvent(event);
}

} // namespace zdb
