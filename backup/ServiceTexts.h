#pragma once

#include <QString>

namespace zdb {

// The texts of the service stop and start, shown as the run reports them.
// Another run holds the service's lock.
QString runLockBusyText();
QString stopFailureText();
QString startFailureText();
QString stopTimedOutText();
// A stop that said it failed while the service did go down.
QString stopUnfinishedText();
QString startTimedOutText();
QString badServiceNameText();

inline constexpr char kMsgAbnormalEnd[] = "異常終了しました";
inline constexpr char kMsgNormalEnd[] = "正常に処理終了しました";

// The run error report: "エラーです" with the signed number, then the text
// in lines of at most 50 characters (two at most), joined by carriage returns.
QString runErrorReport(int number, const QString &text);

// A service name that the service manager would read as something else:
// blanks (where its names have none) or control characters inside, a
// leading "-", or a pattern character that would name many units at once.
bool serviceNameIsValid(const QString &trimmedName);

} // namespace zdb
