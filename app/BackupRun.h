#pragma once

#include <QString>

namespace zdb {

class MainWindow;

// The bar drawn under MSG1's text while a file is copied or verified.
inline constexpr char kProgressStripName[] = "MSG1.progress";

// The click handler of YES: asks, checks the system, then hands the run to
// the engine and shows what it reports until it ends.
void YES_Click(MainWindow &ME);
// The click handler of END: closes the window, which ends the program.
void END_Click(MainWindow &ME);

// At start-up: what an earlier run left behind. A service that a run which
// is no longer alive may have left stopped is offered a start; the outcome
// of a run that finished after its window had gone is shown.
void reviewEarlierRuns(MainWindow &ME);

// The target folder of a target path: up to and including its last "/",
// trimmed; "" without one.
QString targetFolder(const QString &targetPath);

} // namespace zdb
