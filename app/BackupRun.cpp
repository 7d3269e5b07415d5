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
#include "Widgets.h"

#include <QElapsedTimer>

#include <functional>
#include <new>
#include <optional>
#include <utility>
#include <vector>

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
QString targetMistake(const QString &what) { return what + u'\r' + QStringLiteral("退避先を確認して下さい。"); }

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
// removes every staged copy.
class PairCommit {
public:
    explicit PairCommit(FileOps &files) : f_(files) {}
    ~PairCommit()
    {
        if (!done_)
            rollBack();
        f_.discard(data.path);
        f_.discard(log.path);
        f_.discard(previousData_);
        f_.discard(previousLog_);
    }
    PairCommit(const PairCommit &) = delete;
    PairCommit &operator=(const PairCommit &) = delete;

    StagedCopy data, log; // log.path "" : no log copy to put in place
    bool staged = false; // both copies made

    void commit(const QString &dataTarget, const QString &logTarget)
    {
        dataTarget_ = dataTarget;
        previousData_ = f_.swapIntoPlace(data.path, dataTarget);
        dataSwapped_ = true;
        logTarget_ = logTarget;
        // Without a log source no log may stand beside the new data file.
        previousLog_ = log.path.isEmpty() ? f_.moveAside(logTarget) : f_.swapIntoPlace(log.path, logTarget);
        logMoved_ = true;
        done_ = true; // the previous names now hold the previous pair
    }

private:
    void rollBack() noexcept
    {
        try {
            if (logMoved_) {
                if (log.path.isEmpty())
                    f_.moveBack(previousLog_, logTarget_);
                else
                    f_.swapBack(log.path, previousLog_, logTarget_);
                previousLog_.clear();
            }
        } catch (...) {
            previousLog_.clear(); // what could not go back is the previous copy: keep it
        }
        try {
            if (dataSwapped_)
                f_.swapBack(data.path, previousData_, dataTarget_);
            previousData_.clear();
        } catch (...) {
            previousData_.clear();
        }
    }

    FileOps &f_;
    QString dataTarget_, logTarget_, previousData_, previousLog_;
    bool dataSwapped_ = false, logMoved_ = false, done_ = false;
};

const QString kCopyDiffers = QStringLiteral("退避したファイルが、元のファイルと一致しません。");

// Bytes to whole megabytes of 1,048,576 bytes.
quint64 megabytesUp(quint64 bytes) { return bytes / kMegabyte + (bytes % kMegabyte != 0); }
quint64 megabytesDown(quint64 bytes) { return bytes / kMegabyte; }

void setMsg1(MainWindow &ME, const QString &text) { ME.control(QStringLiteral("MSG1")).setText(text); }

// The bar under MSG1's text for one step: repaints the window as the step
// goes on, at most every kPaintIntervalMs, leaving the user's input queued.
class ProgressLine {
public:
    explicit ProgressLine(MainWindow &ME)
        : events_(*ME.platform().events), strip_(new ProgressStrip(ME.control(QStringLiteral("MSG1")).widget()))
    {
        strip_->setObjectName(QString::fromLatin1(kProgressStripName));
        strip_->show();
        events_.paintEvents();
        sincePaint_.start();
    }
    ~ProgressLine() { delete strip_; }
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    Progress callback()
    {
        return [this](qint64 done, qint64 total) {
            strip_->setFraction(total > 0 ? double(done) / double(total) : 1.0);
            if (done >= total || sincePaint_.elapsed() >= kPaintIntervalMs) {
                events_.paintEvents();
                sincePaint_.restart();
            }
        };
    }

private:
    static constexpr qint64 kPaintIntervalMs = 40;
    EventPump &events_;
    ProgressStrip *strip_;
    QElapsedTimer sincePaint_;
};

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

void copyPhase(MainWindow &ME, const RunInputs &in, PairCommit &pair)
{
    Platform &P = ME.platform();
    FileOps &files = *P.files;
    // A folder that cannot be made shows up as the copy into it failing.
    for (const QString &folder : {targetFolder(in.dataTarget), targetFolder(in.logTarget)})
        if (!folder.isEmpty())
            files.makeSureDirectoryPathExists(folder);

    setMsg1(ME, QStringLiteral("1.処理中です... 退避先:") + in.dataTarget);
    P.events->doEvents();
    {
        ProgressLine bar(ME);
        pair.data = files.stageCopy(in.dataSource, in.dataTarget, bar.callback());
    }

    setMsg1(ME, QStringLiteral("2.処理中です... 退避先:") + in.logTarget);
    P.events->doEvents();
    if (files.fileExists(in.logSource)) {
        ProgressLine bar(ME);
        pair.log = files.stageCopy(in.logSource, in.logTarget, bar.callback());
    } else {
        P.messageBoxes->show(QStringLiteral("DBログファイルなし"), kMsgOk);
    }
    pair.staged = true;
}

// With the database running again: each copy read back from the disk must
// hash as its source did before the pair replaces the previous one.
void verifyAndCommit(MainWindow &ME, const RunInputs &in, PairCommit &pair)
{
    FileOps &files = *ME.platform().files;
    const std::pair<const StagedCopy *, QString> copies[] = {{&pair.data, in.dataTarget}, {&pair.log, in.logTarget}};
    for (const auto &[copy, target] : copies) {
        if (copy->path.isEmpty())
            continue;
        setMsg1(ME, QStringLiteral("3.検証中です... 退避先:") + target);
        ProgressLine bar(ME);
        if (!files.verifyCopy(*copy, bar.callback()))
            throw PlatformError(kErrDiskIo, kCopyDiffers);
    }
    pair.commit(in.dataTarget, in.logTarget);
}

} // namespace

QString spaceShortfall(FileOps &files, const QString &dataSource, const QString &dataTarget, const QString &logSource,
                       const QString &logTarget)
{
    struct Need {
        FreeSpace space;
        quint64 bytes;
    };
    std::vector<Need> needs;
    const auto add = [&](const QString &source, const QString &target) {
        const qint64 size = files.fileSize(source);
        if (size <= 0)
            return; // a missing source fails its copy, as without this check
        const FreeSpace space = files.freeSpace(target);
        if (!space.known)
            return;
        for (Need &n : needs)
            if (n.space.device == space.device) {
                n.bytes += quint64(size);
                return;
            }
        needs.push_back({space, quint64(size)});
    };
    add(dataSource, dataTarget);
    add(logSource, logTarget);
    for (const Need &n : needs)
        if (n.bytes > n.space.available)
            return QStringLiteral("エラーです。退避先の空き容量が不足しています。") + u'\r'
                + QStringLiteral("必要な容量: %1 MB　空き容量: %2 MB")
                      .arg(megabytesUp(n.bytes))
                      .arg(megabytesDown(n.space.available));
    return {};
}

QString runErrorReport(int number, const QString &text)
{
    const QString first =
        QStringLiteral("エラーです") + (number < 0 ? u'-' : u' ') + QString::number(qAbs(qint64(number)));
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
        P.messageBoxes->show(QStringLiteral("対象外のOSです。対象は、Windows2000 及び WindowsXPです"), kMsgOk,
                             kAppTitle);
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
                refuse(targetMistake(
                    QStringLiteral("エラーです。退避先に、バックアップ元のDBファイルが指定されています。")));
                return;
            }
            if (f.sameFile(in.dataTarget, in.logTarget)) {
                refuse(targetMistake(QStringLiteral("エラーです。DBデータとDBログの退避先が、同じファイルです。")));
                return;
            }
            if (!P.runLock->tryAcquire(trimSpaces(ME.control(QStringLiteral("DBサーバー名")).text()))) {
                refuse(QStringLiteral("エラーです。他のバックアップ処理が実行中です。"));
                return;
            }
            held.emplace(*P.runLock);
            // What a killed run left is ours to remove, and frees its room.
            f.recoverInterrupted(in.dataTarget, in.logTarget);
            const QString shortfall = spaceShortfall(f, in.dataSource, in.dataTarget, in.logSource, in.logTarget);
            if (!shortfall.isEmpty()) {
                refuse(shortfall);
                return;
            }
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
    PairCommit pair(*P.files);
    reportingFailures(
        [&] {
            copyPhase(ME, in, pair);
            ok = Fmm_WinNT_START(ME, 1);
        },
        [&](const PlatformError &e) {
            ok = false;
            showReport(ME, e);
            reportingFailures([&] { Fmm_WinNT_START(ME, 1); },
                              [&](const PlatformError &again) { showReport(ME, again); });
        });
    // The service runs again: a failure now needs no restart.
    if (pair.staged)
        reportingFailures([&] { verifyAndCommit(ME, in, pair); },
                          [&](const PlatformError &e) {
                              ok = false;
                              showReport(ME, e);
                          });
    setMsg1(ME, ok ? QStringLiteral("正常に処理終了しました") : QString::fromUtf8(kMsgAbnormalEnd));
}

} // namespace zdb
