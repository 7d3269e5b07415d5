#pragma once

#include <QString>

#include <functional>
#include <vector>

namespace zdb {

// A file's XXH3 64-bit digests: of the whole file and of every MiB, so that a
// later difference can be placed.
struct FileDigest {
    static constexpr qint64 kBlock = 1048576;
    int error = 0; // errno of the failure; 0: read to its end
    qint64 size = 0;
    quint64 whole = 0;
    std::vector<quint64> blocks;
};

// Reads the file from start to end; progress(done, total) after each MiB.
// fromDisk drops the file's cached pages first, so that the disk itself is read.
FileDigest digestFile(const QString &path, bool fromDisk = false,
                      const std::function<void(qint64 done, qint64 total)> &progress = {});

} // namespace zdb
