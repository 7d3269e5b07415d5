#pragma once

#include <QString>

#include <QtGlobal>

namespace zdb {

class MainWindow;
class FileOps;

// The bar drawn under MSG1's text while a file is copied or verified.
inline constexpr char kProgressStripName[] = "MSG1.progress";
inline constexpr quint64 kMegabyte = 1048576;

// The refusal text when a target's file system cannot hold the new copy
// beside the old one (both copies counted where the targets share one);
// "" when everything fits.
QString spaceShortfall(FileOps &files, const QString &dataSource, const QString &dataTarget, const QString &logSource,
                       const QString &logTarget);

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
