#include "BackupRun.h"

#include "EventPump.h"
#include "FileOps.h"
#include "MainWindow.h"
#include "MessageBoxes.h"
#include "Platform.h"
#include "PlatformError.h"
#include "RunLock.h"
#include "ServiceControl.h"
#include "Text.h"

#include <functional>
#include <new>
#include <optional>

namespace zdb {

namespace {

const QString kAppTitle = QStringLiteral("ZorvatDBバックアップ");

struct RunInputs {
    QString dataSource, logSource, dataTarget, logTarget;
};

RunInputs readInputs(MainWindow &ME)
{
    RunInputs in;
    in.dataSource = ME.control(QStringLiteral("DBデータパス")).text();
    in.logSource = ME.control(QStringLiteral("DBログパス")).text();
    int row = -1;
    for (int i = 0; i <= 7 && row < 0; ++i)
        if (ME.control(QStringLiteral("DNO"), i).value())
            row = i;
    if (row < 0)
        throw PlatformError(kErrInvalidCall);
    in.dataTarget = ME.control(QStringLiteral("Path"), row).text();
    in.logTarget = ME.control(QStringLiteral("Path2"), row).text();
    return in;
}

// The text of a mistaken target, with what to do about it.
QString targetMistake(const QString &what)
{
    return what + u'\r' + QStringLiteral("退避先を確認して下さい。");
}

// Marks the window busy for the handler's whole length.
class RunUnderWay {
public:
    explicit RunUnderWay(MainWindow &ME) : ME_(ME) { ME_.runUnderWay = true; }
    ~RunUnderWay() { ME_.runUnderWay = false; }
    RunUnderWay(const RunUnderWay &) = delete;
    RunUnderWay &operator=(const RunUnderWay &) = delete;

private:
    MainWindow &ME_;
};

class HeldRunLock {
public:
    explicit HeldRunLock(RunLock &lock) : lock_(lock) {}
    ~HeldRunLock() { lock_.release(); }
    HeldRunLock(const HeldRunLock &) = delete;
    HeldRunLock &operator=(const HeldRunLock &) = delete;

private:
    RunLock &lock_;
};

// The new pair, staged beside its targets, goes into place only as a whole:
// until commit() has finished, destruction puts the previous pair back and
// removes every temporary file.
class PairCommit {
public:
    explicit PairCommit(FileOps &files) : f_(files) {}
    ~PairCommit()
    {
        if (!done_)
            rollBack();
        f_.discard(stagedData);
        f_.discard(stagedLog);
        f_.discard(asideLog_);
    }
    PairCommit(const PairCommit &) = delete;
    PairCommit &operator=(const PairCommit &) = delete;

    QString stagedData, stagedLog;   // stagedLog "" : no log copy to put in place

    void commit(const QString &dataTarget, const QString &logTarget)
    {
        dataHad_ = f_.swapIntoPlace(stagedData, dataTarget);
        dataTarget_ = dataTarget;
        if (!stagedLog.isEmpty()) {
            logHad_ = f_.swapIntoPlace(stagedLog, logTarget);
            logSwapped_ = true;
        } else {
            // Without a log source no log may stand beside the new data file.
            asideLog_ = f_.moveAside(logTarget);
        }
        logTarget_ = logTarget;
        done_ = true;   // the staged names now hold the previous pair
    }

private:
    void rollBack() noexcept
    {
        try {
            if (!asideLog_.isEmpty()) {
                f_.moveBack(asideLog_, logTarget_);
                asideLog_.clear();
            }
            if (logSwapped_)
                f_.swapBack(stagedLog, logTarget_, logHad_);
        } catch (const PlatformError &) {
            keepLog();
        }
        try {
            if (!dataTarget_.isEmpty())
                f_.swapBack(stagedData, dataTarget_, dataHad_);
        } catch (const PlatformError &) {
            stagedData.clear();   // it still holds the previous data copy
        }
    }
    void keepLog()
    {
        // What could not go back is the previous copy: keep it under its temporary name.
        stagedLog.clear();
        asideLog_.clear();
    }

    FileOps &f_;
    QString dataTarget_, logTarget_, asideLog_;
    bool dataHad_ = false, logHad_ = false, logSwapped_ = false, done_ = false;
};

void setMsg1(MainWindow &ME, const QString &text) { ME.control(QStringLiteral("MSG1")).setText(text); }

void showReport(MainWindow &ME, const PlatformError &e)
{
    ME.platform().messageBoxes->show(runErrorReport(e.number(), e.text()), kMsgOk);
}

// Any failure as a catalogue error, so that every one can be reported.
template <class F>
void reportingFailures(F &&step, const std::function<void(const PlatformError &)> &onFailure)
{
    try {
        step();
    } catch (const PlatformError &e) {
        onFailure(e);
    } catch (const std::bad_alloc &) {
        onFailure(PlatformError(7));
    } catch (const std::exception &) {
        onFailure(PlatformError(kErrInternal));
    }
}

void copyPhase(MainWindow &ME, const RunInputs &in)
{
    Platform &P = ME.platform();
    FileOps &files = *P.files;
    // A folder that cannot be made shows up as the copy into it failing.
    for (const QString &folder : {targetFolder(in.dataTarget), targetFolder(in.logTarget)})
        if (!folder.isEmpty())
            files.makeSureDirectoryPathExists(folder);

    PairCommit pair(files);
    setMsg1(ME, QStringLiteral("1.処理中です... 退避先:") + in.dataTarget);
    P.events->doEvents();
    pair.stagedData = files.stageCopy(in.dataSource, in.dataTarget);

    setMsg1(ME, QStringLiteral("2.処理中です... 退避先:") + in.logTarget);
    P.events->doEvents();
    if (files.fileExists(in.logSource))
        pair.stagedLog = files.stageCopy(in.logSource, in.logTarget);
    else
        P.messageBoxes->show(QStringLiteral("DBログファイルなし"), kMsgOk);

    pair.commit(in.dataTarget, in.logTarget);
}

} // namespace

QString runErrorReport(int number, const QString &text)
{
    const QString first = QStringLiteral("エラーです") + (number < 0 ? u'-' : u' ') + QString::number(qAbs(qint64(number)));
    const QString second = text.size() > 50 ? text.left(50) : text;
    const QString third = text.size() > 50 ? text.mid(50, 50) : QString();
    return first + u'\r' + second + u'\r' + third;
}

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

    if (P.messageBoxes->show(QStringLiteral("処理します。よろしいですか？"), kMsgYesNoQuestion) != kAnswerYes)
        return;
    if (!likeMatch(ME.control(QStringLiteral("LblOS")).text(), QStringLiteral("*Windows 2000*"))) {
        P.messageBoxes->show(QStringLiteral("対象外のOSです。対象は、Windows2000 及び WindowsXPです"), kMsgOk, kAppTitle);
        return;
    }
    const auto abnormalEnd = [&] { setMsg1(ME, QString::fromUtf8(kMsgAbnormalEnd)); };
    const auto refuse = [&](const QString &text) {
        P.messageBoxes->show(text, kMsgOk);
        abnormalEnd();
    };

    // Before the stop, so that a mistaken target stops nothing. The window
    // takes no input while the stop runs, so the inputs cannot change meanwhile.
    bool stopped = false;
    RunInputs in;
    std::optional<HeldRunLock> held;
    reportingFailures(
        [&] {
            in = readInputs(ME);
            FileOps &f = *P.files;
            if (f.sameFile(in.dataTarget, in.dataSource) || f.sameFile(in.dataTarget, in.logSource)
                || f.sameFile(in.logTarget, in.dataSource) || f.sameFile(in.logTarget, in.logSource)) {
                refuse(targetMistake(QStringLiteral("エラーです。退避先に、バックアップ元のDBファイルが指定されています。")));
                return;
            }
            if (f.sameFile(in.dataTarget, in.logTarget)) {
                refuse(targetMistake(QStringLiteral("エラーです。DBデータとDBログの退避先が、同じファイルです。")));
                return;
            }
            if (!P.runLock->tryAcquire()) {
                refuse(QStringLiteral("エラーです。他のバックアップ処理が実行中です。"));
                return;
            }
            held.emplace(*P.runLock);
            stopped = stopDatabaseService(ME);
        },
        [&](const PlatformError &e) {
            showReport(ME, e);
            abnormalEnd();
        });
    if (!stopped)
        return;

    // The service is down from here: whatever fails, it is started again.
    bool ok = true;
    reportingFailures(
        [&] {
            copyPhase(ME, in);
            ok = Fmm_WinNT_START(ME, 1);
        },
        [&](const PlatformError &e) {
            ok = false;
            showReport(ME, e);
            reportingFailures([&] { Fmm_WinNT_START(ME, 1); }, [&](const PlatformError &again) { showReport(ME, again); });
        });
    setMsg1(ME, ok ? QStringLiteral("正常に処理終了しました") : QString::fromUtf8(kMsgAbnormalEnd));
}

} // namespace zdb
