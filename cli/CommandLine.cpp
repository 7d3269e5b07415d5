#include "CommandLine.h"

#include "EngineMain.h"
#include "EventLog.h"
#include "Guard.h"
#include "HistoryOptions.h"
#include "Journal.h"
#include "ProductInfo.h"
#include "RestoreCommand.h"
#include "RunHistory.h"
#include "RunRecords.h"
#include "ServiceTexts.h"
#include "SettingsBackend.h"
#include "SystemInfo.h"
#include "Terminal.h"
#include "Text.h"

#include <QDate>
#include <QDir>
#include <QTextStream>

#include <cstdio>

namespace zdb {

namespace {

bool isFinalText(const QString &text)
{
    return text == QString::fromUtf8(kMsgNormalEnd) || text == QString::fromUtf8(kMsgAbnormalEnd);
}

const QString kApp = QStringLiteral("QXN");

QString helpText()
{
    return QStringLiteral(
               "使い方: zorvatdbbackup [--run [--settings 番号]]\n"
               "       zorvatdbbackup --guard\n"
               "       zorvatdbbackup --status [--settings 番号] [--max-age 時間]\n"
               "       zorvatdbbackup --verify [--settings 番号]\n"
               "       zorvatdbbackup --restore 行 [--settings 番号] [--yes] [--to フォルダー] [--unverified]\n"
               "  引数なし          画面を開きます。\n"
               "  --run             画面なしでバックアップします（確認なし）。退避先は今日の曜日の行です。\n"
               "  --guard           前回の処理で停止したままのＤＢサービスを開始します。\n"
               "  --settings 番号   使う設定番号（既定: 1）。\n"
               "  --status          "
               "行ごとに、最後に正常に退避したペア（日時、サイズ、停止時間）と最後の失敗を表示します。\n"
               "                    最新のペアが照合できないか、--max-age（既定: 26 時間）より古いか、日時が未来か、\n"
               "                    ない時、また他の設定番号に上書きされた行がある時は終了コード 1 です。\n"
               "  --verify          "
               "各行の退避先のペアをディスクから読み直し、履歴のダイジェストと照合します（何も変更しません）。\n"
               "                    一致しない、ない、または照合できないファイルがある時は終了コード 1 です。\n"
               "  --restore 行      行（月曜日 … 日曜日、その他。mon … sun, other も可）の退避ファイルのペアを、\n"
               "                    履歴のダイジェストと照合してから DB ファイルに戻します（停止は数秒）。\n"
               "                    今の DB ファイルは .zdbreplaced-日時 の名前で残します。端末では確認します。\n"
               "  --yes             確認せずに復元します（端末でない時は必須。ない時は終了コード 2）。\n"
               "  --to フォルダー   ＤＢサービスを停止せず、照合したペアをフォルダーに元の名前で置きます。\n"
               "  --unverified      履歴より前に退避した、記録のないペアも照合せずに復元します。\n"
               "  --metrics ファイル --run か --status の後、node_exporter "
               "のテキストファイル形式でメトリクスを書きます。\n"
               "  --help            この説明を表示します。\n"
               "  --version         版を表示します。\n"
               "終了コード: 0 正常終了、1 異常終了、2 使い方の誤り。\n"
               "履歴: 実行ごとの記録は %1 にあります。\n"
               "\n"
               "Usage: zorvatdbbackup [--run [--settings N]]\n"
               "       zorvatdbbackup --guard\n"
               "       zorvatdbbackup --status [--settings N] [--max-age HOURS]\n"
               "       zorvatdbbackup --verify [--settings N]\n"
               "       zorvatdbbackup --restore ROW [--settings N] [--yes] [--to FOLDER] [--unverified]\n"
               "  no arguments      opens the window.\n"
               "  --run             backs up without a window and without asking; the targets are today's weekday "
               "row.\n"
               "  --guard           starts the database services an earlier run left stopped.\n"
               "  --settings N      the settings number to use (default 1).\n"
               "  --status          shows for each row the last verified pair (when, sizes, downtime) and the last "
               "failure;\n"
               "                    exit 1 when the newest pair is not verified, older than --max-age (default 26 "
               "hours),\n"
               "                    dated in the future or none, or a row's pair was overwritten by another number.\n"
               "  --verify          reads every row's pair back from its disk and compares it with the history's "
               "digests;\n"
               "                    changes nothing; exit 1 when a copy differs, is missing or cannot be checked.\n"
               "  --restore ROW     puts the row's pair (月曜日 ... 日曜日, その他, or mon ... sun, other) back over "
               "the\n"
               "                    database files once it matches the history's digests; the service is down for "
               "seconds.\n"
               "                    The live files are kept as NAME.zdbreplaced-WHEN. Asks first on a terminal.\n"
               "  --yes             restores without asking (needed without a terminal: else exit 2).\n"
               "  --to FOLDER       stops nothing: puts the verified pair into FOLDER under the database files' "
               "names.\n"
               "  --unverified      also restores a pair made before the history existed, unverified.\n"
               "  --metrics FILE    after --run or --status, writes metrics in the node_exporter textfile format.\n"
               "  --help            shows this text.\n"
               "  --version         shows the version.\n"
               "Exit status: 0 normal end, 1 abnormal end, 2 bad usage.\n"
               "History: one record per run in %1.\n")
        .arg(QDir::toNativeSeparators(RunHistory(RunRecords::defaultFolder()).path()));
}

// The sixteen targets of a settings number: data and log of each row in turn.
QStringList storedTargets(QtSettingsBackend &store, const QString &section)
{
    QStringList targets;
    for (int i = 0; i < 8; ++i)
        targets << store.read(kApp, section, QStringLiteral("DBデータパス1") + QString::number(i), QString())
                << store.read(kApp, section, QStringLiteral("DBログパス1") + QString::number(i), QString());
    return targets;
}

} // namespace

int runFromCommandLine(const QStringList &arguments)
{
    useUtf8Output();
    QTextStream out(stdout), err(stderr);
    bool run = false;
    QString number = QStringLiteral("1");
    HistoryOptions history;
    RestoreOptions restore;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (a == QLatin1String("--help")) {
            out << helpText();
            return 0;
        }
        if (a == QLatin1String("--version")) {
            // The name as the window's title shows it: the version information's.
            out << HostSystemInfo().productName() << u' ' << QString::fromUtf8(kProductVersion) << '\n';
            return 0;
        }
        // After the nightly run however it ended: what it left down starts.
        if (a == QLatin1String("--guard") && arguments.size() == 1)
            return startServicesLeftDown(out, err) ? 0 : 1;
        if (a == QLatin1String("--run")) {
            run = true;
        } else if (a == QLatin1String("--settings") && i + 1 < arguments.size()) {
            number = arguments[++i];
        } else if (a.startsWith(QLatin1String("--settings="))) {
            number = a.mid(11);
        } else if (takeHistoryOption(arguments, i, history)) {
            continue;
        } else if (takeRestoreOption(arguments, i, restore)) {
            continue;
        } else {
            err << QStringLiteral("エラーです。引数が正しくありません: %1 (unknown argument; see --help)\n").arg(a);
            return 2;
        }
    }
    if (!history.bad.isEmpty() || (run && history.mode != HistoryOptions::None)) {
        err << QStringLiteral("エラーです。引数が正しくありません: %1 (bad argument; see --help)\n")
                   .arg(history.bad.isEmpty() ? QStringLiteral("--run") : history.bad);
        return 2;
    }
    if (restore.given) {
        if (run || history.mode != HistoryOptions::None || !history.metricsFile.isEmpty() || !restore.asked) {
            err << QStringLiteral("エラーです。引数が正しくありません: --restore (bad argument; see --help)\n");
            return 2;
        }
        return runRestoreCommand(restore, trimSpaces(number), out, err);
    }
    if (history.mode != HistoryOptions::None) {
        QtSettingsBackend store;
        return runHistoryCommand(history, trimSpaces(number),
                                 storedTargets(store, QStringLiteral("ZorvatDBバックアップ") + trimSpaces(number)), out,
                                 err);
    }
    if (!run) {
        err << QStringLiteral("エラーです。--run がありません (--run is missing; see --help)\n");
        return 2;
    }

    // A service an earlier run left down starts before anything else.
    startServicesLeftDown(out, err);

    // As the window reads them: the number trimmed, today's weekday row.
    number = trimSpaces(number);
    QtSettingsBackend store;
    const QString section = QStringLiteral("ZorvatDBバックアップ") + number;
    const auto value = [&](const QString &key) { return store.read(kApp, section, key, QString()); };
    const int row = QDate::currentDate().dayOfWeek() - 1; // Monday is row 0
    BackupRequest request;
    request.serviceName = trimSpaces(value(QStringLiteral("DBサーバー名")));
    request.dataSource = value(QStringLiteral("DBデータパス"));
    request.logSource = value(QStringLiteral("DBログパス"));
    request.allTargets = storedTargets(store, section);
    request.dataTarget = request.allTargets[qsizetype(2) * row];
    request.logTarget = request.allTargets[qsizetype(2) * row + 1];
    request.settingsNumber = number;
    request.row = row;
    if (const SettingsFault fault = store.fault(); fault != SettingsFault::None) {
        err << QStringLiteral("エラーです。設定ファイルを読み込めません。%1(%2)\n")
                   .arg(fault == SettingsFault::NotAFile ? QStringLiteral("通常のファイルではありません。") : QString(),
                        store.location());
        return 2;
    }
    if (request.serviceName.isEmpty()) {
        err << QStringLiteral("エラーです。設定番号 %1 に、ＤＢサービス名が記憶されていません。(%2)\n")
                   .arg(number, store.location());
        return 2;
    }
    if (trimSpaces(request.dataTarget).isEmpty() || trimSpaces(request.logTarget).isEmpty()) {
        err << QStringLiteral("エラーです。設定番号 %1 に、今日（%2）の退避先が記憶されていません。(%3)\n")
                   .arg(number, QLocale(QLocale::Japanese).dayName(row + 1), store.location());
        return 2;
    }

    const bool terminal = standardOutputIsTerminal();
    // In the journal the final text goes as one entry with the outcome's fields.
    const bool journal = standardOutputIsJournal();
    QString held;
    const auto print = [&](const QString &text) {
        if (terminal)
            out << "\r\033[K";
        out << QString(text).replace(u'\r', u'\n') << '\n';
    };
    HistoryRecord record;
    const bool ok = runWithHostServices(
        request,
        [&](const RunEvent &e) {
            if (!held.isEmpty() && e.kind != RunEvent::Finished)
                print(std::exchange(held, QString()));
            switch (e.kind) {
            case RunEvent::Stage:
                // Only a final text waits, for what the run's record adds to
                // it; a stage the run is killed in must already be out.
                if (isFinalText(e.text))
                    held = e.text;
                else
                    print(e.text);
                break;
            case RunEvent::Message: print(e.text); break;
            case RunEvent::Progress:
                if (terminal && e.total > 0)
                    out << QStringLiteral("\r%1%").arg(e.done * 100 / e.total);
                break;
            case RunEvent::Restarted:
                // What the run cost the database, night by night.
                if (e.done >= 0)
                    print(QStringLiteral("ＤＢサービスの停止時間: %1 秒").arg(double(e.done) / 1000.0, 0, 'f', 3));
                break;
            case RunEvent::Finished: break;
            }
            out.flush();
        },
        &record);
    if (!(journal && sendToJournal(journalFields(record))) && !held.isEmpty())
        print(record.noLog ? finalLine(record) : held);
    if (!record.finalText.isEmpty())
        systemEventLog().write(eventLogEntry(record));
    out.flush();
    const int status = finishRun(ok, history, number, err);
    err.flush();
    return endOfRun(status);
}

} // namespace zdb
