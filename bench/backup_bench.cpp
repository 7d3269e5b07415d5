// The downtime of a backup against `cp` of the same files: a 1 GiB data file
// and a 256 MiB log file staged beside their targets (what happens between
// the stop and the start of the service), for each way of copying, with a
// warm and a cold cache. Also the read-back that follows the restart and the
// peak memory. Links the file operations alone.
//
//   backup_bench [--rounds N] [--warm-only] [FOLDER]
//   backup_bench --downtime [--rounds N] [FOLDER]   (as root: whole backups, see below)
//
// As root it also runs on XFS with reflinks, made on a loop device.
#include "FileOps.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

extern char **environ;

using namespace zdb;

namespace {

constexpr qint64 kMiB = 1 << 20;

QByteArray native(const QString &path) { return QFile::encodeName(path); }

bool makeFile(const QString &path, qint64 size)
{
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::vector<char> block(kMiB);
    bool ok = true;
    for (qint64 done = 0; ok && done < size; done += kMiB) {
        for (size_t i = 0; i < block.size(); i += 64) // no two pages alike
            block[i] = char((done / 64 + qint64(i)) * 2654435761u >> 13);
        ok = ::write(fd, block.data(), block.size()) == ssize_t(block.size());
    }
    ok = ok && ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Runs a program with its arguments (no shell) and waits; its rusage too.
int runProgram(const std::vector<std::string> &argv, struct rusage *usage = nullptr, bool quiet = false)
{
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    const int err = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0)
        return -1;
    int status = 0;
    struct rusage local;
    if (::wait4(pid, &status, 0, usage ? usage : &local) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string str(const QString &s) { return native(s).toStdString(); }

void dropFromCache(const QString &path)
{
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

void readIntoCache(const QString &path)
{
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buffer(kMiB);
    while (fd >= 0 && ::read(fd, buffer.data(), buffer.size()) > 0) {}
    if (fd >= 0)
        ::close(fd);
}

struct Sample {
    double downtime = 0; // seconds
    double readBack = 0; // seconds, after the restart
    double peakMiB = 0;
    double cpu = 0; // seconds of processor time, user and system
    bool ok = false;
};

// One staging of the pair in a child process of its own, so that its peak
// memory is its own; the read-back follows, as after the restart.
double cpuSeconds(const struct rusage &u);

Sample stagePair(CopyMethod method, const QString (&sources)[2], const QString (&targets)[2])
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        Sample s;
        try {
            HostFileOps files(method);
            StagedCopy copies[2];
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < 2; ++i)
                copies[i] = files.stageCopy(sources[i], targets[i], {});
            s.downtime = double(t.nsecsElapsed()) / 1e9;
            t.restart();
            s.ok = files.verifyCopy(copies[0], {}) && files.verifyCopy(copies[1], {});
            s.readBack = double(t.nsecsElapsed()) / 1e9;
            for (const StagedCopy &c : copies)
                files.discard(c.path);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "staging failed: %s\n", e.what());
        }
        const bool sent = ::write(pipeFds[1], &s, sizeof s) == ssize_t(sizeof s);
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipeFds[1]);
    Sample s;
    const bool got = pid > 0 && ::read(pipeFds[0], &s, sizeof s) == ssize_t(sizeof s);
    ::close(pipeFds[0]);
    struct rusage usage {};
    if (pid > 0)
        ::wait4(pid, nullptr, 0, &usage);
    s.ok = s.ok && got;
    s.peakMiB = double(usage.ru_maxrss) / 1024.0;
    s.cpu = cpuSeconds(usage); // includes the read-back
    return s;
}

double cpuSeconds(const struct rusage &u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Sample cpPair(const QString (&sources)[2], const QString (&outputs)[2], bool sync)
{
    Sample s;
    s.ok = true;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 2; ++i) {
        struct rusage usage {};
        s.ok = s.ok && runProgram({"cp", str(sources[i]), str(outputs[i])}, &usage) == 0;
        s.peakMiB = std::max(s.peakMiB, double(usage.ru_maxrss) / 1024.0);
        s.cpu += cpuSeconds(usage);
    }
    if (sync)
        s.ok = s.ok && runProgram({"sync", str(outputs[0]), str(outputs[1])}) == 0;
    s.downtime = double(t.nsecsElapsed()) / 1e9;
    return s;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Way {
    const char *name;
    std::function<Sample()> run;
    std::vector<Sample> samples;
};

// Rounds of every way in turn (the order turns each round), each from the
// same start: previous outputs gone, everything on disk, the sources in the
// cache or not.
bool measure(const char *title, const QString &folder, int rounds, bool cold, QString targetFolder = {})
{
    if (targetFolder.isEmpty())
        targetFolder = folder;
    const QString sources[2] = {folder + QStringLiteral("/DATA.MDF"), folder + QStringLiteral("/DATA_LOG.LDF")};
    const QString targets[2] = {targetFolder + QStringLiteral("/bk/DATA.MDF"),
                                targetFolder + QStringLiteral("/bk/DATA_LOG.LDF")};
    const QString cpOut[2] = {targetFolder + QStringLiteral("/cp.MDF"), targetFolder + QStringLiteral("/cp.LDF")};
    std::vector<Way> ways = {
        {"cp", [&] { return cpPair(sources, cpOut, false); }, {}},
        {"cp + sync", [&] { return cpPair(sources, cpOut, true); }, {}},
        {"kernel copy, hash thread", [&] { return stagePair(CopyMethod::OffloadThenHash, sources, targets); }, {}},
        {"read, hash, write", [&] { return stagePair(CopyMethod::ReadWrite, sources, targets); }, {}},
    };
    ::mkdir(native(targetFolder + QStringLiteral("/bk")).constData(), 0777);
    // Round 0 warms up and is not counted.
    for (int round = 0; round <= rounds; ++round) {
        for (size_t k = 0; k < ways.size(); ++k) {
            Way &way = ways[(k + size_t(round)) % ways.size()];
            for (const QString &out : cpOut)
                ::unlink(native(out).constData());
            runProgram({"sync"});
            for (const QString &src : sources)
                cold ? dropFromCache(src) : readIntoCache(src);
            const Sample s = way.run();
            if (!s.ok) {
                std::fprintf(stderr, "%s failed\n", way.name);
                return false;
            }
            if (round == 0)
                continue;
            std::printf("  %s round %d: %-26s %.3f s\n", cold ? "cold" : "warm", round, way.name, s.downtime);
            way.samples.push_back(s);
        }
    }
    for (const QString &out : cpOut)
        ::unlink(native(out).constData());
    const auto medianOf = [](const Way &w, double Sample::*field) {
        std::vector<double> v;
        for (const Sample &s : w.samples)
            v.push_back(s.*field);
        return median(v);
    };
    const double cp = medianOf(ways[0], &Sample::downtime);
    const double cpSync = medianOf(ways[1], &Sample::downtime);
    std::printf("\n%s, %d rounds, medians\n", title, rounds);
    std::printf("| %-26s | %10s | %6s | %9s | %15s | %15s | %10s | %11s |\n", "way", "downtime s", "x cp", "x cp+sync",
                "x cp same round", "read-back s (*)", "cpu s (**)", "peak memory");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(28, '-').c_str(), std::string(12, '-').c_str(),
                std::string(8, '-').c_str(), std::string(11, '-').c_str(), std::string(17, '-').c_str(),
                std::string(17, '-').c_str(), std::string(12, '-').c_str(), std::string(13, '-').c_str());
    for (const Way &w : ways) {
        const double down = medianOf(w, &Sample::downtime);
        double peak = 0;
        std::vector<double> ratios;
        for (size_t i = 0; i < w.samples.size(); ++i) {
            peak = std::max(peak, w.samples[i].peakMiB);
            ratios.push_back(w.samples[i].downtime / ways[0].samples[i].downtime);
        }
        const bool staged = &w != &ways[0] && &w != &ways[1];
        std::printf("| %-26s | %10.3f | %6.2f | %9.2f | %15.2f | %15s | %10.3f | %7.1f MiB |\n", w.name, down,
                    down / cp, down / cpSync, median(ratios),
                    staged ? qPrintable(QString::number(medianOf(w, &Sample::readBack), 'f', 3)) : "-",
                    medianOf(w, &Sample::cpu), peak);
    }
    std::fflush(stdout);
    return true;
}

// XFS with reflinks on a loop device, for as long as it lives.
class ReflinkFolder {
public:
    explicit ReflinkFolder(const QString &base)
        : image_(base + QStringLiteral("/xfs.img")), mount_(base + QStringLiteral("/xfs"))
    {
        const int fd = ::open(native(image_).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::ftruncate(fd, qint64(4) << 30) != 0) {
            note_ = "cannot make the image file";
            if (fd >= 0)
                ::close(fd);
            return;
        }
        ::close(fd);
        ::mkdir(native(mount_).constData(), 0700);
        if (runProgram({"mkfs.xfs", "-q", "-m", "reflink=1", str(image_)}, nullptr, true) != 0) {
            note_ = "mkfs.xfs -m reflink=1 failed (is xfsprogs installed?)";
            return;
        }
        if (runProgram({"mount", "-o", "loop", str(image_), str(mount_)}, nullptr, true) != 0) {
            note_ = "cannot mount a loop device here";
            return;
        }
        mounted_ = true;
    }
    ~ReflinkFolder()
    {
        if (mounted_)
            runProgram({"umount", str(mount_)});
        ::rmdir(native(mount_).constData());
        ::unlink(native(image_).constData());
    }
    ReflinkFolder(const ReflinkFolder &) = delete;
    ReflinkFolder &operator=(const ReflinkFolder &) = delete;
    bool mounted() const { return mounted_; }
    const char *note() const { return note_; }
    QString path() const { return mount_; }

private:
    QString image_, mount_;
    const char *note_ = "";
    bool mounted_ = false;
};

bool makeSources(const QString &folder)
{
    std::printf("files in %s\n", qPrintable(folder));
    return makeFile(folder + QStringLiteral("/DATA.MDF"), 1024 * kMiB)
        && makeFile(folder + QStringLiteral("/DATA_LOG.LDF"), 256 * kMiB);
}

// ---- The downtime of a whole backup, as this program makes it ----------
//
// Sources of a 1 GiB data file and a 128 MiB log file, on ext4 (copied
// before the stop, caught up after) and on XFS with reflinks (cloned at the
// stop), to targets on the same file system, another one and a slow one.
// Between the pre-copy and the stop about 5 % of the blocks change, as the
// database writes on.

constexpr qint64 kDataSize = 1024 * kMiB, kLogSize = 128 * kMiB;

// Writes new bytes into about `share` of the 64 KiB blocks, as a database
// writing on would.
bool changeBlocks(const QString &path, double share, unsigned seed)
{
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return false;
    const qint64 blocks = st.st_size / kDeltaBlock;
    std::vector<char> block(static_cast<size_t>(kDeltaBlock));
    bool ok = true;
    for (qint64 i = 0; ok && i < qint64(double(blocks) * share); ++i) {
        seed = seed * 1103515245u + 12345u;
        const qint64 at = qint64(seed >> 4) % blocks;
        for (size_t j = 0; j < block.size(); j += 64)
            block[j] = char(seed + j);
        ok = ::pwrite(fd, block.data(), block.size(), at * kDeltaBlock) == ssize_t(block.size());
    }
    ok = ::fsync(fd) == 0 && ok;
    ::close(fd);
    return ok;
}

struct RunSample {
    double downtime = 0, before = 0, after = 0, peakMiB = 0;
    bool snapshot = false, ok = false;
};

// One backup of the pair as the engine makes it, in a child process so that
// its peak memory is its own: before the stop (pre-copies), the downtime
// (clones, or the pass over the changed blocks) and after the start (copies
// of the clones, the read-back).
RunSample backupPair(const QString (&sources)[2], const QString (&targets)[2], bool cold, unsigned seed)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        RunSample s;
        try {
            HostFileOps files;
            QString probe = files.snapshot(sources[0]);
            s.snapshot = !probe.isEmpty();
            files.discard(probe);
            QElapsedTimer t;
            t.start();
            PreCopy pre[2];
            if (!s.snapshot)
                for (int i = 0; i < 2; ++i)
                    pre[i] = files.preCopy(sources[i], targets[i], {});
            s.before = double(t.nsecsElapsed()) / 1e9;
            for (const QString &src : sources) {
                changeBlocks(src, 0.05, seed++);
                cold ? dropFromCache(src) : readIntoCache(src);
            }
            t.restart();
            QString clones[2];
            StagedCopy copies[2];
            for (int i = 0; i < 2; ++i) {
                if (s.snapshot)
                    clones[i] = files.snapshot(sources[i]);
                else
                    copies[i] = files.finishCopy(sources[i], targets[i], pre[i], {});
            }
            s.downtime = double(t.nsecsElapsed()) / 1e9;
            t.restart();
            s.ok = true;
            for (int i = 0; i < 2; ++i) {
                if (s.snapshot)
                    copies[i] = files.stageCopy(clones[i], targets[i], {});
                s.ok = files.verifyCopy(copies[i], {}) && s.ok;
                files.discard(copies[i].path);
                files.discard(clones[i]);
            }
            s.after = double(t.nsecsElapsed()) / 1e9;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "backup failed: %s\n", e.what());
        }
        const bool sent = ::write(pipeFds[1], &s, sizeof s) == ssize_t(sizeof s);
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipeFds[1]);
    RunSample s;
    const bool got = pid > 0 && ::read(pipeFds[0], &s, sizeof s) == ssize_t(sizeof s);
    ::close(pipeFds[0]);
    struct rusage usage {};
    if (pid > 0)
        ::wait4(pid, nullptr, 0, &usage);
    s.ok = s.ok && got;
    s.peakMiB = double(usage.ru_maxrss) / 1024.0;
    return s;
}

// The slow target: the bench's pass-through at 50 MB/s over a folder.
class SlowFolder {
public:
    SlowFolder(const QString &base, const std::string &program)
        : under_(base + QStringLiteral("/slow-under")), mount_(base + QStringLiteral("/slow"))
    {
        ::mkdir(native(under_).constData(), 0700);
        ::mkdir(native(mount_).constData(), 0700);
        mounted_ = runProgram({program, str(under_), str(mount_), "50"}) == 0;
    }
    ~SlowFolder()
    {
        if (mounted_)
            runProgram({"umount", str(mount_)});
        runProgram({"rm", "-rf", "--", str(under_), str(mount_)});
    }
    SlowFolder(const SlowFolder &) = delete;
    SlowFolder &operator=(const SlowFolder &) = delete;
    bool mounted() const { return mounted_; }
    QString path() const { return mount_; }

private:
    QString under_, mount_;
    bool mounted_ = false;
};

struct Row {
    std::string source, target, cache;
    std::vector<double> cp, down, before, after, ratio;
    double peak = 0;
    bool snapshot = false;
};

bool measureRow(Row &row, const QString &sourceFolder, const QString &targetFolder, bool cold, int rounds)
{
    const QString sources[2] = {sourceFolder + QStringLiteral("/DATA.MDF"),
                                sourceFolder + QStringLiteral("/DATA_LOG.LDF")};
    ::mkdir(native(targetFolder + QStringLiteral("/bk")).constData(), 0777);
    const QString targets[2] = {targetFolder + QStringLiteral("/bk/DATA.MDF"),
                                targetFolder + QStringLiteral("/bk/DATA_LOG.LDF")};
    const QString cpOut[2] = {targetFolder + QStringLiteral("/cp.MDF"), targetFolder + QStringLiteral("/cp.LDF")};
    for (int round = 0; round < rounds; ++round) {
        // cp, as a stop-copy-start would take the service down for.
        runProgram({"sync"});
        for (const QString &src : sources)
            cold ? dropFromCache(src) : readIntoCache(src);
        QElapsedTimer t;
        t.start();
        bool ok = true;
        for (int i = 0; i < 2; ++i)
            ok = runProgram({"cp", str(sources[i]), str(cpOut[i])}) == 0 && ok;
        const double cp = double(t.nsecsElapsed()) / 1e9;
        for (const QString &out : cpOut)
            ::unlink(native(out).constData());
        runProgram({"sync"});
        const RunSample s = backupPair(sources, targets, cold, unsigned(round * 7 + 1));
        if (!ok || !s.ok) {
            std::fprintf(stderr, "%s -> %s: %s failed\n", row.source.c_str(), row.target.c_str(), ok ? "backup" : "cp");
            return false;
        }
        std::printf("  %s -> %s, %s, round %d: cp %.3f s, downtime %.3f s\n", row.source.c_str(), row.target.c_str(),
                    row.cache.c_str(), round + 1, cp, s.downtime);
        row.cp.push_back(cp);
        row.down.push_back(s.downtime);
        row.before.push_back(s.before);
        row.after.push_back(s.after);
        row.ratio.push_back(s.downtime / cp);
        row.peak = std::max(row.peak, s.peakMiB);
        row.snapshot = s.snapshot;
    }
    return true;
}

int downtimeTable(const QString &base, int rounds, const std::string &slowProgram)
{
    QByteArray templ = native(base + QStringLiteral("/zdbbench-XXXXXX"));
    if (!::mkdtemp(templ.data()))
        return 1;
    const QString work = QFile::decodeName(templ);
    ReflinkFolder xfs(work);
    SlowFolder slow(work, slowProgram);
    if (!xfs.mounted() || !slow.mounted()) {
        std::printf("needs root, a loop device for XFS and FUSE for the slow target (%s)\n", xfs.note());
        runProgram({"rm", "-rf", "--", str(work)});
        return 77;
    }
    const QString ext4 = work + QStringLiteral("/ext4");
    const QString onXfs = xfs.path() + QStringLiteral("/src");
    ::mkdir(native(ext4).constData(), 0700);
    ::mkdir(native(onXfs).constData(), 0700);
    QFile load(QStringLiteral("/proc/loadavg"));
    if (load.open(QIODevice::ReadOnly))
        std::printf("load average at the start: %s", load.readAll().constData());
    std::vector<Row> rows;
    bool ok = true;
    for (const auto &[name, folder, other] :
         {std::tuple{"ext4", ext4, xfs.path()}, std::tuple{"XFS (reflink)", onXfs, ext4}}) {
        ok = ok && makeFile(folder + QStringLiteral("/DATA.MDF"), kDataSize)
            && makeFile(folder + QStringLiteral("/DATA_LOG.LDF"), kLogSize);
        const std::pair<const char *, QString> targets[] = {
            {"same file system", folder}, {"another file system", other}, {"50 MB/s (FUSE)", slow.path()}};
        for (const auto &[targetName, targetFolder] : targets)
            for (const bool cold : {false, true}) {
                Row row{name, targetName, cold ? "cold" : "warm", {}, {}, {}, {}, {}, 0, false};
                const bool isSlow = targetFolder == slow.path();
                ok = ok && measureRow(row, folder, targetFolder, cold, isSlow ? 1 : rounds);
                rows.push_back(row);
                runProgram({"rm", "-rf", "--", str(targetFolder + QStringLiteral("/bk"))});
            }
        runProgram({"rm", "-f", "--", str(folder + QStringLiteral("/DATA.MDF")),
                    str(folder + QStringLiteral("/DATA_LOG.LDF"))});
    }
    if (load.open(QIODevice::ReadOnly) || (load.close(), load.open(QIODevice::ReadOnly)))
        std::printf("load average at the end: %s", load.readAll().constData());
    std::printf("\n1 GiB + 128 MiB, 5 %% of the blocks changed before the stop; medians of %d rounds (1 to the "
                "50 MB/s target)\n",
                rounds);
    std::printf("| source        | target              | cache | way       | cp s   | downtime s | x cp  | before "
                "stop s | after start s | peak memory |\n");
    std::printf("|---------------|---------------------|-------|-----------|--------|------------|-------|------"
                "-------|---------------|-------------|\n");
    for (const Row &r : rows) {
        if (r.cp.empty())
            continue;
        std::printf("| %-13s | %-19s | %-5s | %-9s | %6.3f | %10.3f | %5.3f | %13.3f | %13.3f | %7.1f MiB |\n",
                    r.source.c_str(), r.target.c_str(), r.cache.c_str(), r.snapshot ? "clone" : "pre-copy",
                    median(r.cp), median(r.down), median(r.ratio), median(r.before), median(r.after), r.peak);
    }
    runProgram({"rm", "-rf", "--", str(ext4), str(onXfs)});
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int rounds = 5;
    bool warmOnly = false; // for quick comparisons: no cold rounds, no XFS
    bool table = false; // the downtime of whole backups, clone or pre-copy
    QString base = QStringLiteral("/var/tmp");
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (QByteArray(argv[i]) == "--warm-only")
            warmOnly = true;
        else if (QByteArray(argv[i]) == "--downtime")
            table = true;
        else
            base = QString::fromLocal8Bit(argv[i]);
    }
    if (table) {
        char self[4096] = {};
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        const std::string here(self, size_t(std::max<ssize_t>(0, n)));
        return downtimeTable(base, rounds, here.substr(0, here.rfind('/') + 1) + "slowfs");
    }
    QByteArray templ = native(base + QStringLiteral("/zdbbench-XXXXXX"));
    if (!::mkdtemp(templ.data())) {
        std::fprintf(stderr, "cannot make a folder in %s\n", qPrintable(base));
        return 1;
    }
    const QString folder = QFile::decodeName(templ);
    bool ok = makeSources(folder);
    std::printf("(*) read-back: flush and hash from the disk after the restart, not downtime\n"
                "(**) processor time of the child doing it, read-back included\n");
    QFile load(QStringLiteral("/proc/loadavg"));
    if (load.open(QIODevice::ReadOnly))
        std::printf("load average at the start: %s", load.readAll().constData());
    ok =
        ok && measure("Warm cache", folder, rounds, false) && (warmOnly || measure("Cold cache", folder, rounds, true));
    // A target on another file system, as an operator's USB disk often is:
    // the kernel will not copy across, so every way reads and writes.
    QByteArray other("/dev/shm/zdbbench-XXXXXX");
    struct stat here {
    }, there{};
    if (ok && ::mkdtemp(other.data())) {
        if (::stat(templ.constData(), &here) == 0 && ::stat(other.constData(), &there) == 0
            && here.st_dev != there.st_dev)
            ok = measure("Warm cache, targets on another file system (tmpfs)", folder, rounds, false,
                         QFile::decodeName(other));
        runProgram({"rm", "-rf", "--", other.toStdString()});
    }
    if (warmOnly) {
        runProgram({"rm", "-rf", "--", str(folder)});
        return 0;
    }
    runProgram({"rm", "-rf", "--", str(folder)});
    if (!ok)
        return 1;

    if (::geteuid() != 0) {
        std::printf("\nXFS with reflinks: skipped (needs root for a loop device)\n");
        return 0;
    }
    ReflinkFolder xfs(QFile::decodeName(templ.left(templ.lastIndexOf('/'))));
    if (!xfs.mounted()) {
        std::printf("\nXFS with reflinks: skipped (%s)\n", xfs.note());
        return 0;
    }
    ok = makeSources(xfs.path()) && measure("XFS with reflinks, warm cache", xfs.path(), rounds, false);
    return ok ? 0 : 1;
}
