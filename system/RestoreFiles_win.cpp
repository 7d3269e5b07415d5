// A restore's copies staged beside the database's files, and its renames, on
// Windows: each write and rename goes through to the disk before the next.
#include "RestoreFiles.h"

#include "Win32_win.h"

#include <QDir>
#include <QRandomGenerator>

namespace zdb {

namespace {

[[noreturn]] void fail(DWORD error) { throw PlatformError(win::errorNumberFor(error, false)); }

QString folderOf(const QString &path)
{
    const QString native = QDir::fromNativeSeparators(path);
    return native.left(std::max<qsizetype>(native.lastIndexOf(u'/'), 0));
}

QString nameOf(const QString &path) { return QDir::fromNativeSeparators(path).section(u'/', -1); }

} // namespace

qint64 HostRestoreFiles::regularFileSize(const QString &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.isEmpty() || !::GetFileAttributesExW(win::longPath(path).c_str(), GetFileExInfoStandard, &data))
        return -1;
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        return -2;
    return qint64(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

bool HostRestoreFiles::present(const QString &path)
{
    return !path.isEmpty() && ::GetFileAttributesW(win::longPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

FreeSpace HostRestoreFiles::freeSpace(const QString &path) { return HostFileOps().freeSpace(path); }

// The staged file takes the access list of the database's folder, as any new
// file there does: `ownerLike` has nothing to add on Windows.
RestoreStage HostRestoreFiles::stage(const QString &from, const QString &beside, const QString &,
                                     const std::function<void(const QString &)> &named)
{
    RestoreStage staged;
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int tries = 0; staged.path.isEmpty(); ++tries) {
        QString name = folderOf(beside) + u'/' + u'.' + nameOf(beside) + QString::fromLatin1(kRestoreMarker);
        for (int i = 0; i < 6; ++i)
            name += QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))]);
        const win::Handle made(::CreateFileW(win::longPath(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_HIDDEN, nullptr));
        if (made.valid())
            staged.path = name;
        else if (::GetLastError() != ERROR_FILE_EXISTS || tries > 100)
            fail(::GetLastError());
    }
    try {
        named(staged.path);
        // The copy is digested as read; the staged file is read back from the
        // disk after the flush. A copy changed in between reads back unequal.
        staged.read = digestFile(from);
        if (staged.read.error != 0)
            throw PlatformError(kErrFileNotFound);
        const std::wstring to = win::longPath(staged.path);
        if (!::CopyFileW(win::longPath(from).c_str(), to.c_str(), FALSE))
            fail(::GetLastError());
        {
            const win::Handle written(::CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (!written.valid() || !::FlushFileBuffers(written.get()))
                fail(::GetLastError());
        }
        const FileDigest again = digestFile(staged.path, true);
        staged.readBackEqual = again.error == 0 && again.size == staged.read.size && again.whole == staged.read.whole;
        return staged;
    } catch (...) {
        ::DeleteFileW(win::longPath(staged.path).c_str());
        throw;
    }
}

void HostRestoreFiles::rename(const QString &from, const QString &to)
{
    // Never over a file that stands at `to`.
    if (!::MoveFileExW(win::longPath(from).c_str(), win::longPath(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
            throw PlatformError(kErrFileExists);
        fail(error);
    }
}

void HostRestoreFiles::remove(const QString &path) noexcept
{
    if (!path.isEmpty())
        ::DeleteFileW(win::longPath(path).c_str());
}

QStringList HostRestoreFiles::leftovers(const QString &beside)
{
    const QString prefix = u'.' + nameOf(beside) + QString::fromLatin1(kRestoreMarker);
    QStringList found;
    const QDir folder(folderOf(beside));
    for (const QString &name : folder.entryList({prefix + u'*'}, QDir::Files | QDir::Hidden | QDir::System))
        if (name.size() == prefix.size() + 6)
            found << folder.filePath(name);
    return found;
}

} // namespace zdb
