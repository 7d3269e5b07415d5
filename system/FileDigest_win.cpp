#include "FileDigest.h"

#include "Win32_win.h"

#include <xxhash.h>

#include <cerrno>
#include <memory>

namespace zdb {

FileDigest digestFile(const QString &path, bool fromDisk, const std::function<void(qint64, qint64)> &progress)
{
    FileDigest d;
    // Past the cache: unbuffered reads of whole sectors into an aligned buffer.
    const DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN | (fromDisk ? FILE_FLAG_NO_BUFFERING : 0);
    const win::Handle file(::CreateFileW(win::longPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, flags, nullptr));
    if (!file.valid()) {
        d.error = win::errnoFor(::GetLastError());
        return d;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        d.error = EINVAL;
        return d;
    }
    const qint64 total = qint64(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    const std::unique_ptr<void, decltype([](void *p) { ::VirtualFree(p, 0, MEM_RELEASE); })> block(
        ::VirtualAlloc(nullptr, size_t(FileDigest::kBlock), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    const std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> whole(XXH3_createState(), XXH3_freeState);
    if (!block || !whole) {
        d.error = ENOMEM;
        return d;
    }
    XXH3_64bits_reset(whole.get());
    auto *bytes = static_cast<char *>(block.get());
    for (;;) {
        // A whole MiB, short only at the end of the file.
        DWORD have = 0;
        while (have < DWORD(FileDigest::kBlock)) {
            DWORD n = 0;
            if (!::ReadFile(file.get(), bytes + have, DWORD(FileDigest::kBlock) - have, &n, nullptr)) {
                d.error = win::errnoFor(::GetLastError());
                return d;
            }
            if (n == 0)
                break;
            have += n;
        }
        if (have == 0)
            break;
        XXH3_64bits_update(whole.get(), bytes, have);
        d.blocks.push_back(XXH3_64bits(bytes, have));
        d.size += qint64(have);
        if (progress)
            progress(d.size, total);
        if (have < DWORD(FileDigest::kBlock))
            break;
    }
    d.whole = XXH3_64bits_digest(whole.get());
    return d;
}

} // namespace zdb
