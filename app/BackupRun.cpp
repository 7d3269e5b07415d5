#include "BackupRun.h"

#include "BackupHost.h"
#include "EventPump.h"
#include "MainWindow.h"
#include "MessageBoxes.h"
#include "Platform.h"
#include "PlatformError.h"
#include "ServiceTexts.h"
#include "Text.h"
#include "Widgets.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

namespace zdb {

namespace {

const QString kAppTitle = QStringLiteral("ZorvatDBバックアップ");
// The bar is painted at most five times a second, whatever the engine sends:
// while the service is down every repaint takes processor time from the copy.
constexpr qint64 kPaintIntervalMs = 200;

// What the engine works on, read from the window as it stands now.
BackupRequest readRequest(MainWindow &ME)
{
    BackupRequest r;
    r.serviceName = trimSpaces(ME.control(QStringLiteral("DBサーバー名")).text());
    r.dataSource = ME.control(QStringLiteral("DBデータパス")).text();
    r.logSource = ME.control(QStringLiteral("DBログパス")).text();
    int row = -1;
    for (int i = 0; i <= 7 && row < 0; ++i)
        if (ME.control(QStringLiteral("DNO"), i).value())
            row = i;
    if (row < 0)
        throw PlatformError(kErrInvalidCall);
    r.dataTarget = ME.control(QStringLiteral("Path"), row).text();
    r.logTarget = ME.control(QStringLiteral("Path2"), row).text();
    for (int i = 0; i <= 7; ++i)
        r.allTargets << ME.control(QStringLiteral("Path"), i).text() << ME.control(QStringLiteral("Path2"), i).text();
    r.settingsNumber = trimSpaces(ME.control(QStringLiteral("設定番号")).text());
    r.row = row;
    return r;
}

void setMsg1(MainWindow &ME, const QString &text) { ME.control(QStringLiteral("MSG1")).setText(text); }

// Marks the window busy for the handler's whole length.
class RunUnderWay {
public:
    explicit RunUnderWay(MainWindow &ME) : ME_(ME) { ME_.runUnderWay = true; }
    ~RunUnderWay()
    {
        ME_.runUnderWay = ME_.runFinished = false;
        if (std::exchange(ME_.closeWhenRunEnds, false))
            QTimer::singleShot(0, &ME_, [&ME = ME_] { ME.close(); });
    }
    RunUnderWay(const RunUnderWay &) = delete;
    RunUnderWay &operator=(const RunUnderWay &) = delete;

private:
    MainWindow &ME_;
};

// Shows a run's events on the window in the order they came. Stage texts
// and progress show at once, even while a box of the operator's own is open;
// a box of the run holds back everything after it until it is answered.
class RunView {
public:
    RunView(MainWindow &ME, RunChannel &run) : ME_(ME), run_(run)
    {
        QObject::connect(&run_, &RunChannel::arrived, &ME_, [this] { showWhatNeedsNoAnswer(); });
    }
    ~RunView() { delete bar_; }
    RunView(const RunView &) = delete;
    RunView &operator=(const RunView &) = delete;

    // Until the run has ended and every event is shown.
    void follow()
    {
        EventPump &events = ME_.platform().events;
        while (!(run_.ended() && !run_.hasEvent())) {
            if (!run_.hasEvent()) {
                events.waitEvents(50);
                continue;
            }
            show(run_.take());
        }
    }
    bool finished() const { return finished_; }

private:
    void showWhatNeedsNoAnswer()
    {
        while (!inBox_ && run_.hasEvent() && run_.peek().kind != RunEvent::Message)
            show(run_.take());
    }

    void show(const RunEvent &e)
    {
        switch (e.kind) {
        case RunEvent::Stage:
            dropBar();
            setMsg1(ME_, e.text);
            break;
        case RunEvent::Progress:
            if (!bar_) {
                bar_ = new ProgressStrip(ME_.control(QStringLiteral("MSG1")).widget());
                bar_->setObjectName(QString::fromLatin1(kProgressStripName));
                bar_->show();
            }
            bar_->setFraction(e.total > 0 ? double(e.done) / double(e.total) : 1.0);
            if (e.done >= e.total || !sincePaint_.isValid() || sincePaint_.elapsed() >= kPaintIntervalMs) {
                ME_.platform().events.paintEvents();
                sincePaint_.start();
            }
            break;
        case RunEvent::Message:
            dropBar();
            inBox_ = true;
            ME_.platform().messageBoxes.show(e.text, kMsgOk);
            inBox_ = false;
            break;
        case RunEvent::Restarted: try { ME_.control(QStringLiteral("END")).setFocus();
            } catch (const PlatformError &) {
                // Without the focus on END the run is still complete.
            }
            break;
        case RunEvent::Finished:
            dropBar();
            finished_ = true;
            ME_.runFinished = true;
            ME_.platform().backups.forgetOutcome();
            break;
        }
    }

    void dropBar()
    {
        delete bar_;
        bar_ = nullptr;
        sincePaint_.invalidate(); // each step's bar is seen from its start
    }

    MainWindow &ME_;
    RunChannel &run_;
    QPointer<ProgressStrip> bar_;
    QElapsedTimer sincePaint_;
    bool inBox_ = false;
    bool finished_ = false;
};

QString runLostText()
{
    return QStringLiteral("エラーです。バックアップ処理が、途中で終了しました。") + u'\r'
        + QStringLiteral("ＤＢサービスの状態を、確認して下さい。");
}

QString leftDownText(const QString &service)
{
    return QStringLiteral("前回のバックアップ処理が中断されました。ＤＢサービス（") + service
        + QStringLiteral("）が、停止したままの可能性があります。") + u'\r'
        + QStringLiteral("ＤＢサービスを開始しますか？");
}

} // namespace

QString targetFolder(const QString &targetPath)
{
    const qsizetype slash = targetPath.lastIndexOf(u'/');
    return slash < 0 ? QString() : trimSpaces(targetPath.left(slash + 1));
}

void END_Click(MainWindow &ME) { ME.close(); }

void YES_Click(MainWindow &ME)
{
    // One run at a time; the window refuses to close while this is set.
    if (ME.runUnderWay)
        return;
    RunUnderWay busy(ME);
    Platform &P = ME.platform();

    if (P.messageBoxes.show(QStringLiteral("処理します。よろしいですか？"), kMsgYesNoQuestion) != kAnswerYes)
        return;
    if (!likeMatch(ME.control(QStringLiteral("LblOS")).text(), QStringLiteral("*Windows 2000*"))) {
        P.messageBoxes.show(QStringLiteral("対象外のOSです。対象は、Windows2000 及び WindowsXPです"), kMsgOk,
                            kAppTitle);
        return;
    }
    std::unique_ptr<RunChannel> run;
    try {
        const BackupRequest request = readRequest(ME);
        ME.serviceName = request.serviceName;
        run = P.backups.start(request);
    } catch (const PlatformError &e) {
        P.messageBoxes.show(runErrorReport(e.number(), e.text()), kMsgOk);
        setMsg1(ME, QString::fromUtf8(kMsgAbnormalEnd));
        return;
    }
    RunView view(ME, *run);
    view.follow();
    if (!view.finished()) {
        // The engine is gone without its last word: it may have left the service down.
        P.messageBoxes.show(runLostText(), kMsgOk);
        setMsg1(ME, QString::fromUtf8(kMsgAbnormalEnd));
        reviewEarlierRuns(ME);
    }
}

void reviewEarlierRuns(MainWindow &ME)
{
    Platform &P = ME.platform();
    for (const QString &service : P.backups.servicesLeftDown()) {
        if (P.messageBoxes.show(leftDownText(service), kMsgYesNoQuestion) != kAnswerYes) {
            P.backups.forgetServiceDown(service);
            continue;
        }
        const QString before = ME.control(QStringLiteral("MSG1")).text();
        setMsg1(ME, QStringLiteral("SQLServer開始処理中です... "));
        P.events.paintEvents();
        // Under the service's lock; the mark stays until the start has worked.
        LeftDownStart started{LeftDownStart::Failed, {}};
        try {
            started = P.backups.startService(service);
            if (started.outcome == LeftDownStart::Failed)
                P.messageBoxes.show(startFailureBox(started.result), kMsgOk);
        } catch (const PlatformError &e) {
            P.messageBoxes.show(runErrorReport(e.number(), e.text()), kMsgOk);
        }
        setMsg1(ME, started.outcome == LeftDownStart::Failed ? QString::fromUtf8(kMsgAbnormalEnd) : before);
    }
    RunRecords::Outcome outcome;
    if (!ME.runUnderWay && P.backups.takeOutcome(&outcome)) {
        P.messageBoxes.show(QStringLiteral("前回のバックアップ処理は、画面が閉じた後に終了しました。") + u'\r'
                                + outcome.finalText,
                            kMsgOk);
        for (const QString &text : std::as_const(outcome.messages))
            P.messageBoxes.show(text, kMsgOk);
        setMsg1(ME, outcome.finalText);
    }
}

} // namespace zdb
