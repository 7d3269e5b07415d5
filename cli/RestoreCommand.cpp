#include "RestoreCommand.h"

#include "BackupEngine.h"
#include "Guard.h"
#include "Restore.h"
#include "RestoreFiles.h"
#include "RunHistory.h"
#include "RunLock.h"
#include "RunRecords.h"
#include "ServiceManager.h"
#include "SettingsBackend.h"
#include "Terminal.h"
#include "Text.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <cstdio>

namespace zdb {

namespace {

const QString kRestores = QStringLiteral("restores.jsonl");

int rowOf(const QString &name)
{
    static const QStringList japanese{QStringLiteral("月曜日"), QStringLiteral("火曜日"), QStringLiteral("水曜日"),
                                      QStringLiteral("木曜日"), QStringLiteral("金曜日"), QStringLiteral("土曜日"),
                                      QStringLiteral("日曜日"), QStringLiteral("その他")};
    static const QStringList english{QStringLiteral("mon"), QStringLiteral("tue"),  QStringLiteral("wed"),
                                     QStringLiteral("thu"), QStringLiteral("fri"),  QStringLiteral("sat"),
                                     QStringLiteral("sun"), QStringLiteral("other")};
    const QString n = trimSpaces(name);
    const qsizetype at = japanese.indexOf(n);
    return int(at >= 0 ? at : english.indexOf(n.toLower()));
}

QString rowLabel(int row) { return row == 7 ? rowName(row) : rowName(row) + QStringLiteral("曜日"); }

QString when(const QDateTime &t) { return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")); }

QString bytes(qint64 n) { return QLocale(QLocale::Japanese).toString(n) + QStringLiteral(" バイト"); }

} // namespace

bool takeRestoreOption(const QStringList &arguments, qsizetype &i, RestoreOptions &options)
{
    const QString &a = arguments[i];
    const bool valued = i + 1 < arguments.size();
    if (a == QLatin1String("--restore") && valued) {
        options.asked = true;
        options.row = arguments[++i];
    } else if (a == QLatin1String("--to") && valued) {
        options.toFolder = arguments[++i];
    } else if (a == QLatin1String("--yes")) {
        options.yes = true;
    } else if (a == QLatin1String("--unverified")) {
        options.unverified = true;
    } else {
        return false;
    }
    options.given = true;
    return true;
}

int runRestoreCommand(const RestoreOptions &options, const QString &number, QTextStream &out, QTextStream &err)
{
    const int row = rowOf(options.row);
    if (!options.asked || row < 0) {
        err << QStringLiteral("エラーです。引数が正しくありません: %1 (bad argument; see --help)\n")
                   .arg(options.asked ? options.row : QStringLiteral("--restore"));
        return 2;
    }
    QtSettingsBackend store;
    const QString section = QStringLiteral("ZorvatDBバックアップ") + number;
    const auto value = [&](const QString &key) { return store.read(QStringLiteral("QXN"), section, key, QString()); };
    RestoreRequest request;
    request.settingsNumber = number;
    request.row = row;
    request.service = trimSpaces(value(QStringLiteral("DBサーバー名")));
    request.dataLive = value(QStringLiteral("DBデータパス"));
    request.logLive = value(QStringLiteral("DBログパス"));
    request.dataCopy = value(QStringLiteral("DBデータパス1") + QString::number(row));
    request.logCopy = value(QStringLiteral("DBログパス1") + QString::number(row));
    request.toFolder = options.toFolder;
    request.unrecorded = options.unverified;
    if (store.fault() != SettingsFault::None || request.service.isEmpty() || trimSpaces(request.dataLive).isEmpty()
        || trimSpaces(request.logLive).isEmpty() || trimSpaces(request.dataCopy).isEmpty()
        || trimSpaces(request.logCopy).isEmpty()) {
        err << QStringLiteral(
                   "エラーです。設定番号 %1 に、ＤＢサービス名、DBファイルまたは%2の退避先が記憶されていません。(%3)\n")
                   .arg(number, rowLabel(row), store.location());
        return 2;
    }

    RunRecords records(RunRecords::defaultFolder());
    QList<HistoryRecord> history = RunHistory(records.folder()).read();
    history.removeIf(runStillGoing);
    if (!options.yes) {
        // Someone must say yes: on a terminal they are asked, elsewhere nothing happens.
        if (!standardInputIsTerminal() || !standardOutputIsTerminal()) {
            err << QStringLiteral("エラーです。確認できないため、復元しません。--yes を付けて下さい。"
                                  " (no terminal to ask; add --yes)\n");
            return 2;
        }
        const HistoryRecord *pair = recordedPair(history, request.dataCopy, request.logCopy);
        out << QStringLiteral("設定番号 %1 の%2の行のペアを、復元します。\n").arg(number, rowLabel(row));
        out << QStringLiteral("  退避した日時: %1\n")
                   .arg(pair ? when(pair->end) : QStringLiteral("履歴に記録がありません (not in the history)"));
        for (const auto &[copy, live] :
             {std::pair{request.dataCopy, request.dataLive}, {request.logCopy, request.logLive}}) {
            QFileInfo info(copy);
            out << QStringLiteral("  %1（%2）→ %3\n")
                       .arg(copy, info.exists() ? bytes(info.size()) : QStringLiteral("ありません"),
                            options.toFolder.isEmpty() ? live : options.toFolder + u'/' + QFileInfo(live).fileName());
        }
        if (options.toFolder.isEmpty())
            out << QStringLiteral("  今のDBファイルは削除せず、名前の後に .zdbreplaced-日時 を付けて残します。"
                                  "ＤＢサービスを数秒停止します。\n");
        out << QStringLiteral("よろしいですか？ はい/いいえ (y/n): ") << Qt::flush;
        QTextStream in(stdin);
        const QString answer = in.readLine().trimmed();
        if (!QStringList{QStringLiteral("はい"), QStringLiteral("y"), QStringLiteral("yes")}.contains(
                answer.toLower())) {
            out << QStringLiteral("復元を取り消しました。(cancelled)\n");
            return 1;
        }
    }

    if (!options.toFolder.isEmpty() && !QDir().mkpath(options.toFolder)) {
        err << QStringLiteral("エラーです。フォルダーを作成できません。(%1)\n").arg(options.toFolder);
        return 1;
    }
    // A restore killed earlier, or a backup's service left down, is put right first.
    startServicesLeftDown(out, err);
    HostRestoreFiles files;
    HostServiceManager manager;
    HostRunLock lock;
    RestoreServices services{files, manager, lock, records, history};
    services.commandTimeLimitMs = commandTimeLimitFromEnvironment();
    services.began = [&](const HistoryRecord &record) {
        HistoryRecord opened = record;
        opened.open = true;
        opened.pid = QCoreApplication::applicationPid();
        opened.end = opened.start;
        opened.finalText = QString::fromUtf8(kMsgRestoreCutShort);
        RunHistory(records.folder(), kRestores).append(opened);
    };
    adoptOrphanedDescendants();
    const RestoreOutcome outcome =
        restorePair(request, services, [&](const QString &line) { out << line << '\n'
                                                                      << Qt::flush; });
    if (!RunHistory(records.folder(), kRestores).append(outcome.record))
        err << QStringLiteral("履歴に記録できません。(%1)\n").arg(RunHistory(records.folder(), kRestores).path());
    return outcome.ok ? 0 : 1;
}

void showLastRestore(const QString &number, QTextStream &out)
{
    QList<HistoryRecord> all = RunHistory(RunRecords::defaultFolder(), kRestores).read();
    all.removeIf(runStillGoing);
    const HistoryRecord *last = nullptr;
    for (const HistoryRecord &r : all)
        if (r.settingsNumber == number && (!last || r.end >= last->end))
            last = &r;
    if (!last)
        return;
    out << QStringLiteral("最後の復元 (last restore)  %1  %2の行  %3  停止 %4 秒\n")
               .arg(when(last->end), rowLabel(last->row),
                    last->ok ? QStringLiteral("正常 (restored)") : QStringLiteral("失敗 (failed) ") + last->finalText,
                    last->downtimeMs < 0 ? QStringLiteral("-")
                                         : QString::number(double(last->downtimeMs) / 1000, 'f', 1));
    for (const QString &line : last->messages)
        if (line.startsWith(QStringLiteral("置き換えたファイル"))
            || (!last->ok && line.startsWith(QStringLiteral("エラーです"))))
            out << QStringLiteral("  ") << line << '\n';
}

} // namespace zdb
