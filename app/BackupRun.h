#pragma once

#include <QString>

namespace zdb {

class MainWindow;

// The click handler of YES: the backup run.
void YES_Click(MainWindow &ME);
// The click handler of END: closes the window, which ends the program.
void END_Click(MainWindow &ME);

// The run error report: "エラーです" with the signed number, then the text
// in lines of at most 50 characters (two at most), joined by carriage returns.
QString runErrorReport(int number, const QString &text);

// The target folder of a target path: up to and including its last "/",
// trimmed; "" without one.
QString targetFolder(const QString &targetPath);

} // namespace zdb
