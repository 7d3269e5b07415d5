#pragma once

#include "PlatformError.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace zdb {

// How far a copy or a read-back has come: bytes done of total.
using Progress = std::function<void(qint64 done, qint64 total)>;

// A new copy staged beside its target.
struct StagedCopy {
    QString path;
    quint64 checksum = 0; // of the bytes read from the source while copying
    bool shared = false; // shares its blocks with the source: nothing to read back
    bool blockwise = false; // checksum: of the hashes of its blocks (kDeltaBlock each)
};

// The blocks a pre-copy hashes one by one, so that after the stop only those
// that changed are written again.
inline constexpr qint64 kDeltaBlock = 64 << 10;

// A copy made while the database still runs, staged beside its target, with
// a hash of every block as written.
struct PreCopy {
    QString path; // "" : none
    QByteArray blockHashes; // 16 bytes a block
    quint64 device = 0, inode = 0; // the staged file as the pre-copy left it
    qint64 size = 0, changedNs = 0, modifiedNs = 0;
};

// The blocks of a source that differ from its pre-copy, taken while the
// service is down without touching the target: in memory, and past a bound in
// a file beside the source, on its own file system.
struct ChangedBlocks {
    struct Block {
        qint64 offset = 0; // in the source
        qint64 at = 0; // in `held`, or in the spill file
        qint64 size = 0;
        bool spilled = false;
    };
    std::vector<Block> blocks;
    QByteArray held;
    QString spill; // "" : none
    // The source as it was read at the stop.
    quint64 checksum = 0; // of the hashes of its blocks, as StagedCopy::blockwise
    qint64 size = 0;
    quint32 mode = 0;
    qint64 accessedNs = 0, modifiedNs = 0;
};

// Room on the file system that would hold a path.
struct FreeSpace {
    quint64 device = 0; // tells file systems apart
    quint64 available = 0; // bytes an ordinary writer may still use
    bool known = false;
};

// How a staged copy reads its source while hashing it.
enum class CopyMethod {
    ReadWrite, // read into a buffer, hash it, write it out (also where the kernel cannot copy)
    OffloadThenHash, // the kernel copies, a second thread hashes right behind it (least downtime)
};

// File operations on full paths ("/" separates folders on Linux). Failures
// throw PlatformError with a catalogue number: 53 file not found, 76 path not
// found, 70 cannot write, 61 disk full, 75 invalid path, 57 device I/O.
class FileOps {
public:
    virtual ~FileOps() = default;

    // True for an ordinary file; a folder counts as missing.
    virtual bool fileExists(const QString &path) = 0;
    // Creates every missing folder up to the last "/" of folderPath, each
    // flushed in its parent; false on failure.
    virtual bool makeSureDirectoryPathExists(const QString &folderPath) = 0;
    // The same file, whether by the same path, another path or a link.
    virtual bool sameFile(const QString &a, const QString &b) = 0;
    // The size of an ordinary file; -1 when there is none.
    virtual qint64 fileSize(const QString &path) = 0;
    // The room where `path` would be written, measured at its nearest
    // existing folder; unknown when even that cannot be measured.
    virtual FreeSpace freeSpace(const QString &path) = 0;

    // Where a copy meant for `target` must go: a symbolic link as the last
    // component is followed to its end (relative links from the link's
    // folder), as cp writes through a link and keeps it; any other path comes
    // back unchanged. Throws 75 for a loop of links.
    virtual QString resolveTarget(const QString &target) = 0;
    // "" when the folders of targetPath are fine; otherwise the folder, or
    // link, on the way to it that lies in a sticky world-writable folder
    // (such as /tmp) and belongs to another user than this one or root:
    // that user could read the copy or swap it after it was verified.
    // Walked through opened folders. Where all is fine, the folder the
    // target's copy is staged in is kept: a staged copy or previous name made
    // later for that target in any other folder fails with 75.
    virtual QString foreignFolder(const QString &targetPath) = 0;

    // Copies `from` to a new temporary file beside `target` and hashes what it
    // read; `target` is not touched. The copy may still be in the page cache.
    // A source that changes size meanwhile fails with 57.
    virtual StagedCopy stageCopy(const QString &from, const QString &target, const Progress &progress) = 0;
    // Before the stop: copies `from`, as it is while the database runs, to a
    // new temporary file beside `target`, keeping a hash of every block.
    virtual PreCopy preCopy(const QString &from, const QString &target, const Progress &progress) = 0;
    // After the stop: brings a pre-copy up to `from` by writing only the
    // blocks whose hash differs, reading `from` once. A pre-copy that is gone
    // or was changed since falls back to a whole copy (stageCopy), as does
    // an empty one. Fails as stageCopy does.
    virtual StagedCopy finishCopy(const QString &from, const QString &target, const PreCopy &pre,
                                  const Progress &progress) = 0;
    // Clones `source` beside itself under a hidden name on its own file
    // system, sharing its blocks, with its mode and times: the path, or ""
    // where the file system cannot clone. Throws for other failures.
    virtual QString snapshot(const QString &source) = 0;
    // Whether the three below work here; where not, what is copied while the
    // service is down goes to the target.
    virtual bool stagesBesideSources() const { return false; }
    // While the service is down: reads `from` once and keeps the blocks whose
    // hash differs from the pre-copy's, touching only the source's own file
    // system. The spill file is named as a clone is.
    virtual ChangedBlocks captureChanges(const QString &, const PreCopy &, const Progress &)
    {
        throw PlatformError(kErrInternal);
    }
    // With the service running again: writes the blocks into the pre-copy,
    // which must be as the pre-copy left it (else 57), and gives it the
    // source's size, mode and times: the staged copy.
    virtual StagedCopy applyChanges(const PreCopy &, const ChangedBlocks &, const Progress &)
    {
        throw PlatformError(kErrInternal);
    }
    // While the service is down: a whole copy of `source` beside it, named
    // as a clone is, with its mode and times; its path.
    virtual QString copyBeside(const QString &, const Progress &) { throw PlatformError(kErrInternal); }
    // Removes the clones that an interrupted run left beside `source`, and
    // says which.
    virtual QStringList removeSnapshots(const QString &source) noexcept = 0;
    // Flushes a staged copy to disk, drops it from the cache and reads it back
    // from the disk: true when it hashes as its source did.
    virtual bool verifyCopy(const StagedCopy &copy, const Progress &progress) = 0;

    // The four moves below need no exchange-rename from the file system, and
    // flush the folder after each rename. When one throws, the files are
    // where they were before the call, or (SwapStands) where it would have
    // put them; when it returns, where it says. Only a regular file, or
    // nothing, may stand at `target` (else 75).

    // Puts the staged file at `target`. Returns where the previous file now
    // is (a name kept for previous copies), or the mark that there was none.
    virtual QString swapIntoPlace(const QString &staged, const QString &target) = 0;
    // Undoes swapIntoPlace: the previous file goes back to `target` and the new
    // one to `staged`. Throws when that is not sure to be on disk.
    virtual void swapBack(const QString &staged, const QString &previous, const QString &target) = 0;
    // Moves a file at `target` to a name kept for previous copies and returns
    // that name; "" when there is no file there.
    virtual QString moveAside(const QString &target) = 0;
    // Undoes moveAside. Throws when that is not sure to be on disk.
    virtual void moveBack(const QString &aside, const QString &target) = 0;
    // Removes a temporary file; "" and failures are ignored.
    virtual void discard(const QString &path) noexcept = 0;
    // Removes a previous copy or mark and flushes its folder: throws when the
    // removal is not sure to be on disk ("" does nothing).
    virtual void removeFlushed(const QString &path) = 0;

    // Before a run on this pair: finishes what an interrupted run left. Its
    // staged copies go; a previous copy goes back where its target is missing
    // or where the run was killed between its two swaps (the new data copy
    // beside the old log), and is removed once a whole pair stands. Relies on
    // the commit's order: data swapped before log, the data side's previous
    // copy removed before the log side's. Only this program's names, only
    // files of this user; never the only good copy. Every step is flushed
    // before the next; false when one failed (the rest is left for later).
    virtual bool recoverInterrupted(const QString &dataTarget, const QString &logTarget) noexcept = 0;
    // Removes staged copies that an interrupted run left beside `target`
    // (targets of the other rows). Previous copies and files of any other
    // naming stay.
    virtual void removeLeftovers(const QString &target) noexcept = 0;

    // Throws what copying from `source` would: 53 missing, 75 not an
    // ordinary file, 70 unreadable.
    virtual void checkSource(const QString &source) = 0;
    // Makes the target's folder (its part up to the last "/", blanks trimmed
    // at both ends) and tries a file beside the target; throws what writing
    // the copy would: 76 no folder, 70 not writable, 75 something other than
    // an ordinary file stands at the target.
    virtual void prepareTarget(const QString &target) = 0;
};

// Staged new copies are named ".<name>.zdbtmp-XXXXXX": never more than a
// copy of the database file, so always safe to remove.
inline constexpr char kTempMarker[] = ".zdbtmp-";
// Previous copies moved out of the way are named ".<name>.zdbprev-XXXXXX":
// when a run cannot put one back it may be the only copy, so it is kept.
inline constexpr char kPreviousMarker[] = ".zdbprev-";
// The name of a previous copy is reserved first as ".<name>.zdbresv-XXXXXX",
// the copy then moved to ".<name>.zdbprev-" with the same XXXXXX; the
// reservation stays until the copy goes, so that a previous copy of any size
// is told from a name taken and never used.
inline constexpr char kReservedMarker[] = ".zdbresv-";
// An empty ".<name>.zdbnone-XXXXXX" stands for a previous copy that was not
// there, so that a run cut short after its commit is told from one cut inside.
inline constexpr char kAbsentMarker[] = ".zdbnone-";
// A clone of a source beside it is named ".<name>.zdbsnap-XXXXXX": it lives
// from the stop until its copy is made, and is always safe to remove.
inline constexpr char kSnapshotMarker[] = ".zdbsnap-";

// A swap or move that could neither be flushed nor undone: it stands, the
// previous file (or the mark) under `previous`.
class SwapStands : public PlatformError {
public:
    SwapStands(const PlatformError &cause, QString previousName)
        : PlatformError(cause), previous(std::move(previousName))
    {
    }
    QString previous;
};

// The system calls that behave differently by file system, or that change
// names, so that tests can play a short kernel copy, a failing rename or
// flush, a volume that clones, or record every change of a name. Each sets errno on failure, as
// the call does.
struct SystemCalls {
    std::function<std::int64_t(int in, std::int64_t *inOffset, int out, std::int64_t *outOffset, std::size_t length)>
        copyFileRange;
    std::function<int(const char *from, const char *to)> rename;
    std::function<int(int folderFd)> syncFolder;
    std::function<int(char *nameTemplate)> makeTemp; // mkostemp, close-on-exec
    std::function<int(const char *path)> unlink;
    // Windows: clones all `size` bytes of one open file into another on a
    // volume that shares blocks (ReFS); false where it cannot. And the owner
    // of a file or folder, as a SID string ("" where unknown).
    std::function<bool(void *from, void *to, std::int64_t size)> cloneFile;
    std::function<QString(const QString &path)> ownerOf;
    static SystemCalls host();
};

// The host's files (FileCopy_unix.cpp, FileCommit_unix.cpp, PathChecks_unix.cpp).
class HostFileOps : public FileOps {
public:
    explicit HostFileOps(CopyMethod method = CopyMethod::OffloadThenHash, SystemCalls calls = SystemCalls::host());

    bool fileExists(const QString &path) override;
    bool makeSureDirectoryPathExists(const QString &folderPath) override;
    bool sameFile(const QString &a, const QString &b) override;
    qint64 fileSize(const QString &path) override;
    FreeSpace freeSpace(const QString &path) override;
    QString resolveTarget(const QString &target) override;
    QString foreignFolder(const QString &targetPath) override;
    StagedCopy stageCopy(const QString &from, const QString &target, const Progress &progress) override;
    PreCopy preCopy(const QString &from, const QString &target, const Progress &progress) override;
    StagedCopy finishCopy(const QString &from, const QString &target, const PreCopy &pre,
                          const Progress &progress) override;
    QString snapshot(const QString &source) override;
    QStringList removeSnapshots(const QString &source) noexcept override;
    bool stagesBesideSources() const override; // not yet on Windows
    ChangedBlocks captureChanges(const QString &from, const PreCopy &pre, const Progress &progress) override;
    StagedCopy applyChanges(const PreCopy &pre, const ChangedBlocks &changes, const Progress &progress) override;
    QString copyBeside(const QString &source, const Progress &progress) override;
    bool verifyCopy(const StagedCopy &copy, const Progress &progress) override;
    QString swapIntoPlace(const QString &staged, const QString &target) override;
    void swapBack(const QString &staged, const QString &previous, const QString &target) override;
    QString moveAside(const QString &target) override;
    void moveBack(const QString &aside, const QString &target) override;
    void discard(const QString &path) noexcept override;
    void removeFlushed(const QString &path) override;
    bool recoverInterrupted(const QString &dataTarget, const QString &logTarget) noexcept override;
    void removeLeftovers(const QString &target) noexcept override;
    void checkSource(const QString &source) override;
    void prepareTarget(const QString &target) override;

private:
    // The commit's sequence (FileCommit.cpp) over what each system does
    // its own way.
    enum class Entry { Missing, File, Folder, Other, Unknown }; // Other: a link, a device…
    // What stands at path, not followed through a link; its size, and
    // whether it is an ordinary file of this user.
    Entry entryAt(const QString &path, qint64 *size = nullptr, bool *ours = nullptr);
    // An empty file beside target under a new name with marker, flushed.
    QString makeMark(const QString &target, const char *marker);
    // 0, or the catalogue number of the failure (the name then unchanged).
    int tryRename(const QString &from, const QString &to);
    // 0, -1 where nothing stood there, or the catalogue number of the failure.
    int tryRemove(const QString &path);
    void syncFolder(const QString &folder);

    void syncFolderAfterUndo(const QString &folder) noexcept;
    void unswap(const QString &staged, const QString &previous, const QString &target);
    void renameOver(const QString &from, const QString &to);
    QString reservePrevious(const QString &target);
    void dropReservation(const QString &previous) noexcept;
    void removeCommitted(const QString &target);
    bool absent(const QString &path) { return entryAt(path) == Entry::Missing; }
    bool present(const QString &path)
    {
        const Entry e = entryAt(path);
        return e == Entry::File || e == Entry::Other;
    }

    // Linux: a staged file's descriptor, in the folder foreignFolder checked.
    int makeTemp(const QString &target, const char *marker, QString *tempPath);

    CopyMethod method_;
    SystemCalls sys_;
    // Folder (as named) : the folder foreignFolder checked, held open. Held,
    // not told by its inode number: some file systems (overlays over two
    // others, network shares) number a folder anew once it left the cache.
    std::map<QByteArray, std::shared_ptr<const int>> checked_;
};

// The catalogue number for an errno; sourceSide reads a missing file as 53
// rather than a missing path (76).
int errorNumberForErrno(int err, bool sourceSide);

// The checksum a staged copy carries, of a whole byte string.
quint64 contentChecksum(const QByteArray &bytes);

} // namespace zdb
