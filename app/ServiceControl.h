#pragma once

#include <QString>
#include <QVariant>

namespace zdb {

class MainWindow;

// The stop step of the backup run: captures serviceName, runs the stop
// command and waits. False after a non-zero exit status, once the stop-failure
// message is shown and MSG1 set. Throws PlatformError when no command can run.
bool stopDatabaseService(MainWindow &ME);

// Starts the service named at the stop, waits the restart wait and moves the
// focus to END. False, after its message, when the start command failed.
bool Fmm_WinNT_START(MainWindow &ME, const QVariant &unused);

// Message texts of the stop and the restart.
QString stopFailureText();
QString startFailureText();
inline constexpr char kMsgAbnormalEnd[] = "異常終了しました";

// The restart wait: 4/100000 of a day on the date-time clock.
inline constexpr double kRestartWaitDays = 0.00004;

} // namespace zdb
