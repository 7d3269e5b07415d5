#include "ServiceControl.h"

#include "Clock.h"
#include "CommandShell.h"
#include "EventPump.h"
#include "MainWindow.h"
#include "MessageBoxes.h"
#include "Platform.h"
#include "PlatformError.h"
#include "Text.h"

#include <algorithm>
#include <cmath>

namespace zdb {

namespace {

constexpr int kWindowNormal = 1;

// The longest single sleep of the restart wait, so the window stays lively.
constexpr int kWaitSliceMs = 50;

} // namespace

QString stopFailureText()
{
    return QStringList{
        QStringLiteral("エラーです。ＤＢサービスを、停止できません。"),
        QStringLiteral("ＤＢサービス名が正しいか、確認して下さい。"),
        QString(),
        QStringLiteral("DBサービス名は、ｺﾝﾄﾛｰﾙﾊﾟﾈﾙの管理ﾂｰﾙのｻｰﾋﾞｽで、表示される名前です"),
        QString(),
        QStringLiteral("通常DBサービス名は、MSDE2000       の場合は、MSSQL$ｲﾝｽﾀﾝｽ名      "),
        QStringLiteral("                    MSSQL2000SERVERの場合は、MSSQLServer    です"),
    }
        .join(u'\r');
}

QString startFailureText()
{
    return QStringLiteral("エラーです。ＤＢサービスを、開始できません。") + u'\r'
        + QStringLiteral("ＤＢサービスの状態を、確認して下さい。");
}

bool stopDatabaseService(MainWindow &ME)
{
    Platform &P = ME.platform();
    ME.shellObject = P.shells->create();
    ME.serviceName = trimSpaces(ME.control(QStringLiteral("DBサーバー名")).text());
    const int status = ME.shellObject->run(QStringLiteral("NET STOP ") + ME.serviceName, kWindowNormal, true);
    if (status == 0)
        return true;
    P.messageBoxes->show(stopFailureText(), kMsgOk);
    ME.control(QStringLiteral("MSG1")).setText(QString::fromUtf8(kMsgAbnormalEnd));
    return false;
}

bool Fmm_WinNT_START(MainWindow &ME, const QVariant &)
{
    Platform &P = ME.platform();
    ME.control(QStringLiteral("MSG1")).setText(QStringLiteral("SQLServer開始処理中です... "));
    P.events->doEvents();

    ME.shellObject.reset();
    ME.shellObject = P.shells->create();
    int status = 0;
    try {
        status = ME.shellObject->run(QStringLiteral("NET START ") + ME.serviceName, kWindowNormal, true);
    } catch (...) {
        ME.shellObject.reset();
        throw;
    }
    ME.shellObject.reset();

    // Measured on the date-time clock; the window sleeps between its events
    // instead of spinning a core.
    const double until = toDayCount(P.clock->now()) + kRestartWaitDays;
    for (double now = toDayCount(P.clock->now()); until > now; now = toDayCount(P.clock->now())) {
        const double leftMs = std::ceil((until - now) * 86400000.0);
        P.events->waitEvents(int(std::clamp(leftMs, 1.0, double(kWaitSliceMs))));
    }

    try {
        ME.control(QStringLiteral("END")).setFocus();
    } catch (const PlatformError &) {
        // Without the focus on END the run is still complete.
    }

    if (status != 0)
        P.messageBoxes->show(startFailureText(), kMsgOk);
    return status == 0;
}

} // namespace zdb
