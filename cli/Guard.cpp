#include "Guard.h"

#include "BackupEngine.h"
#include "LeftDown.h"
#include "PlatformError.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceManager.h"
#include "ServiceTexts.h"

namespace zdb {

bool startServicesLeftDown(QTextStream &out, QTextStream &err)
{
    RunRecords records(RunRecords::defaultFolder());
    HostServiceManager manager;
    manager.setTimeLimit(commandTimeLimitFromEnvironment());
    HostRunLock lock;
    // A start that hangs ends with all it started.
    adoptOrphanedDescendants();
    bool allUp = true;
    for (const QString &service : records.servicesMarkedDown()) {
        LeftDownStart started;
        try {
            started = startLeftDown(service, records, manager, lock);
        } catch (const PlatformError &e) {
            err << QStringLiteral("エラーです。ＤＢサービス（%1）を開始できません。").arg(service) << '\n'
                << QString(runErrorReport(e.number(), e.text())).replace(u'\r', u'\n').trimmed() << '\n';
            allUp = false;
            continue;
        }
        switch (started.outcome) {
        case LeftDownStart::Started:
            out << QStringLiteral("前回のバックアップ処理で停止したままのＤＢサービス（%1）を、開始しました。")
                       .arg(service)
                << '\n';
            break;
        case LeftDownStart::HeldByRun:
            out << QStringLiteral("ＤＢサービス（%1）は、実行中のバックアップ処理が開始します。").arg(service) << '\n';
            break;
        case LeftDownStart::NoLongerDown: break;
        case LeftDownStart::Failed:
            err << QStringLiteral("前回のバックアップ処理で停止したままのＤＢサービス（%1）を、開始できません。")
                       .arg(service)
                << '\n'
                << QString(startFailureBox(started.result)).replace(u'\r', u'\n').trimmed() << '\n';
            allUp = false;
            break;
        }
        out.flush();
        err.flush();
    }
    return allUp;
}

} // namespace zdb
