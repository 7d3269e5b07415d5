#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace zdb {

QString applicationTitle() { return QStringLiteral("Zorvat総合販売管理システム"); }

int DesktopMessageBoxes::show(const QString &prompt, int code, const std::optional<QString> &title)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title ? *title : applicationTitle());
    // A carriage return separates lines; Qt breaks lines on a line feed.
    QString shown = prompt;
    shown.replace(QChar(u'\r'), QChar(u'\n'));
    box.setText(shown);
    box.setTextFormat(Qt::PlainText);
    const int buttons = code & 0x0F;
    const int icon = code & 0xF0;
    if (icon == 16)
        box.setIcon(QMessageBox::Critical);
    else if (icon == 32)
        box.setIcon(QMessageBox::Question);
    else if (icon == 48)
        box.setIcon(QMessageBox::Warning);
    else if (icon == 64)
        box.setIcon(QMessageBox::Information);

    if (buttons == kMsgYesNo) {
        QPushButton *yes = box.addButton(QStringLiteral("はい"), QMessageBox::YesRole);
        QPushButton *no = box.addButton(QStringLiteral("いいえ"), QMessageBox::NoRole);
        // Code 256 makes the second button the default; otherwise the first.
        box.setDefaultButton((code & 0x300) == 256 ? no : yes);
        box.setEscapeButton(no);
        box.exec();
        return box.clickedButton() == yes ? kAnswerYes : kAnswerNo;
    }
    QPushButton *ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
    return kAnswerOk;
}

} // namespace zdb
