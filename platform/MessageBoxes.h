#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace zdb {

// Button-and-icon codes and answers of a modal message box.
enum MsgBoxCode : int { kMsgOk = 0, kMsgYesNo = 4, kMsgQuestion = 32, kMsgYesNoQuestion = 36 };
enum MsgBoxAnswer : int { kAnswerOk = 1, kAnswerYes = 6, kAnswerNo = 7 };

// The application's title, shown when a message box is given none.
QString applicationTitle();

// Modal message boxes. Lines of a prompt are joined by a carriage return.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual int show(const QString &prompt, int code, const std::optional<QString> &title = std::nullopt) = 0;
};

// The desktop's message box (QMessageBox) with Japanese buttons.
class DesktopMessageBoxes : public MessageBoxes {
public:
    int show(const QString &prompt, int code, const std::optional<QString> &title = std::nullopt) override;
};

} // namespace zdb
