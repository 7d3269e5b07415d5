#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

namespace zdb {

// A push button whose caption wraps onto more lines when it is too narrow,
// and whose face shows its palette's button colour.
class CaptionButton : public QPushButton {
public:
    using QPushButton::QPushButton;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    // Arrow keys do not walk the focus from button to button: moving between
    // controls is the window's own key navigation.
    void keyPressEvent(QKeyEvent *event) override;
};

// An editable combo box that can be locked: read-only text, and no choice
// from its list by keyboard, wheel or popup, while it still takes the focus.
class LockableComboBox : public QComboBox {
public:
    explicit LockableComboBox(QWidget *parent = nullptr);
    bool isLocked() const { return locked_; }
    void setLocked(bool locked);
    void showPopup() override;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    bool locked_ = false;
};

// A thin bar along the bottom of a label showing how far a step has come. It
// is a child widget of the label, not a control: the window's controls, their
// tab positions and texts stay as they are.
class ProgressStrip : public QWidget {
public:
    explicit ProgressStrip(QWidget *label);
    // 0 to 1; values outside are clamped.
    void setFraction(double fraction);
    double fraction() const { return fraction_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void follow();
    double fraction_ = 0;
};

} // namespace zdb
