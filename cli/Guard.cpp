#include "Guard.h"

#include "BackupEngine.h"
#include "FileOps.h"
#include "LeftDown.h"
#include "PlatformError.h"
#include "Restore.h"
#include "RestoreFiles.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceManager.h"
#include "ServiceTexts.h"
#include "SettingsBackend.h"
#include "Text.h"

namespace zdb {

namespace {

// The clones a killed run left beside the sources of any settings number go,
// each under its service's lock: a run going on still copies from its own.
void removeClonesLeft(RunLock &lock, QTextStream &out)
{
    const QString app = QStringLiteral("QXN");
    QtSettingsBackend store;
    const QMap<QString, QString> services = store.readEverySection(app, QStringLiteral("DBサーバー名"));
    const QMap<QString, QString> data = store.readEverySection(app, QStringLiteral("DBデータパス"));
    const QMap<QString, QString> logs = store.readEverySection(app, QStringLiteral("DBログパス"));
    HostFileOps files;
    for (auto it = services.cbegin(); it != services.cend(); ++it) {
        const QString service = trimSpaces(*it);
        if (!serviceNameIsValid(service) || service.isEmpty())
            continue;
        try {
            if (!lock.tryAcquire(canonicalUnitName(service)))
                continue;
        } catch (const PlatformError &) {
            continue;
        }
        for (const QString &source : {data.value(it.key()), logs.value(it.key())})
            for (const QString &clone : files.removeSnapshots(source))
                out << QStringLiteral("前回のバックアップ処理が残した複製を、削除しました。%1").arg(clone) << '\n';
        lock.release();
    }
}

} // namespace

bool startServicesLeftDown(QTextStream &out, QTextStream &err)
{
    RunRecords records(RunRecords::defaultFolder());
    HostServiceManager manager;
    manager.setTimeLimit(commandTimeLimitFromEnvironment());
    HostRunLock lock;
    // A start that hangs ends with all it started.
    adoptOrphanedDescendants();
    bool allUp = true;
    // A restore killed before its stop left staged copies alone: they go,
    // unless its lock says it still runs.
    HostRestoreFiles restoreFiles;
    const QStringList down = records.servicesMarkedDown();
    for (const QString &service : records.servicesMidRestore()) {
        try {
            if (down.contains(service) || !lock.tryAcquire(service))
                continue;
        } catch (const PlatformError &) {
            continue;
        }
        const bool settled = settleInterruptedRestore(service, records, restoreFiles, manager, false);
        lock.release();
        if (settled)
            out << QStringLiteral("中断された復元の複写を、削除しました。（%1）").arg(service) << '\n';
        else
            err << QStringLiteral("中断された復元を、片付けられません。（%1）").arg(service) << '\n';
        allUp = allUp && settled;
    }
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
    removeClonesLeft(lock, out);
    out.flush();
    return allUp;
}

} // namespace zdb
