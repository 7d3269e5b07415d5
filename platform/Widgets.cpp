#include "Widgets.h"

#include <QEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QWheelEvent>
#include <qdrawutil.h>

#include <algorithm>
#include <cmath>

namespace zdb {

QSize CaptionButton::sizeHint() const { return QPushButton::sizeHint(); }

void CaptionButton::paintEvent(QPaintEvent *)
{
    // Drawn as a classic 3D button so that the face shows exactly the colour
    // set on it (styles tint or shade their button gradients).
    QPainter p(this);
    const bool sunken = isDown() || isChecked();
    const QBrush face = palette().brush(QPalette::Button);
    qDrawWinButton(&p, rect(), palette(), sunken, &face);
    QRect area = rect().adjusted(3, 3, -3, -3);
    if (sunken)
        area.translate(1, 1);
    const QString caption = text();
    const QFontMetrics fm(font());
    const int flags = Qt::AlignCenter | Qt::TextShowMnemonic
        | (fm.horizontalAdvance(caption) > area.width() ? Qt::TextWrapAnywhere : 0);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    p.drawText(area, flags, caption);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(4, 4, -4, -4);
        focus.backgroundColor = face.color();
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
    }
}

void CaptionButton::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down: event->ignore(); return;
    default: QPushButton::keyPressEvent(event);
    }
}

LockableComboBox::LockableComboBox(QWidget *parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // A choice from the list must not complete or change a locked text.
    setCompleter(nullptr);
}

void LockableComboBox::setLocked(bool locked)
{
    locked_ = locked;
    if (lineEdit())
        lineEdit()->setReadOnly(locked);
    if (locked)
        hidePopup();
}

void LockableComboBox::showPopup()
{
    if (!locked_)
        QComboBox::showPopup();
}

void LockableComboBox::keyPressEvent(QKeyEvent *event)
{
    if (locked_) {
        switch (event->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_F4: event->accept(); return;
        default: break;
        }
    }
    QComboBox::keyPressEvent(event);
}

void LockableComboBox::wheelEvent(QWheelEvent *event)
{
    if (locked_) {
        event->accept();
        return;
    }
    QComboBox::wheelEvent(event);
}

void LockableComboBox::mousePressEvent(QMouseEvent *event)
{
    // The arrow opens the popup through showPopup(), which refuses when locked.
    QComboBox::mousePressEvent(event);
}

ProgressStrip::ProgressStrip(QWidget *label) : QWidget(label)
{
    // Clicks and the focus belong to the label, as without the bar.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    // It paints all of itself: the label under it need not be painted again.
    setAttribute(Qt::WA_OpaquePaintEvent);
    label->installEventFilter(this);
    follow();
}

void ProgressStrip::setFraction(double fraction)
{
    const double f = std::clamp(fraction, 0.0, 1.0);
    if (f == fraction_)
        return;
    fraction_ = f;
    update();
}

bool ProgressStrip::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        follow();
    return QWidget::eventFilter(watched, event);
}

void ProgressStrip::follow()
{
    // Under the label's text, inside its frame.
    const QRect r = parentWidget()->rect();
    const int height = std::max(4, r.height() / 6);
    setGeometry(r.left() + 3, r.bottom() - 2 - height, std::max(0, r.width() - 6), height);
}

void ProgressStrip::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    p.fillRect(frame, palette().color(QPalette::Base));
    const int filled = int(std::lround(fraction_ * (width() - 2)));
    p.fillRect(QRect(1, 1, filled, height() - 2), palette().color(QPalette::Highlight));
    p.setPen(palette().color(QPalette::Dark));
    p.drawRect(frame);
}

} // namespace zdb
