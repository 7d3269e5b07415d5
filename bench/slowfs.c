// A pass-through file system that writes no faster than a USB disk or a
// network share: what is written through it reaches the folder underneath
// at a set rate (50 MB/s unless told). For the backup bench only.
//
//   slowfs FOLDER MOUNTPOINT [MB_PER_S]     (unmount with fusermount3 -u or umount)
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

static int base = -1; // the folder underneath, opened before the mount
static double bytesPerSecond = 50e6;
static pthread_mutex_t pace = PTHREAD_MUTEX_INITIALIZER;
static double due = 0; // when the writes so far may have finished

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// Holds a write back until the rate allows it.
static void paceWrite(size_t n)
{
    pthread_mutex_lock(&pace);
    const double t = now();
    if (due < t)
        due = t;
    due += (double)n / bytesPerSecond;
    const double wait = due - t;
    pthread_mutex_unlock(&pace);
    if (wait > 0) {
        struct timespec s = {(time_t)wait, (long)((wait - (double)(time_t)wait) * 1e9)};
        nanosleep(&s, NULL);
    }
}

// Paths come as "/x/y": relative to the folder underneath.
static const char *rel(const char *path)
{
    while (*path == '/')
        ++path;
    return *path ? path : ".";
}

static int fsGetattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    if (fi)
        return fstat((int)fi->fh, st) == 0 ? 0 : -errno;
    return fstatat(base, rel(path), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

static int fsReaddir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info *fi,
                     enum fuse_readdir_flags flags)
{
    (void)offset;
    (void)fi;
    (void)flags;
    const int fd = openat(base, rel(path), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return -errno;
    DIR *dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return -errno;
    }
    for (struct dirent *e; (e = readdir(dir));)
        fill(buf, e->d_name, NULL, 0, 0);
    closedir(dir);
    return 0;
}

static int fsOpen(const char *path, struct fuse_file_info *fi)
{
    const int fd = openat(base, rel(path), fi->flags & ~O_NOFOLLOW);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int fsCreate(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    const int fd = openat(base, rel(path), fi->flags | O_CREAT, mode);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int fsRead(const char *path, char *buf, size_t n, off_t off, struct fuse_file_info *fi)
{
    (void)path;
    const ssize_t r = pread((int)fi->fh, buf, n, off);
    return r < 0 ? -errno : (int)r;
}

static int fsWrite(const char *path, const char *buf, size_t n, off_t off, struct fuse_file_info *fi)
{
    (void)path;
    paceWrite(n);
    const ssize_t w = pwrite((int)fi->fh, buf, n, off);
    return w < 0 ? -errno : (int)w;
}

static int fsRelease(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int fsFsync(const char *path, int datasync, struct fuse_file_info *fi)
{
    (void)path;
    return (datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh)) == 0 ? 0 : -errno;
}

static int fsFsyncdir(const char *path, int datasync, struct fuse_file_info *fi)
{
    (void)datasync;
    (void)fi;
    const int fd = openat(base, rel(path), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return -errno;
    const int r = fsync(fd) == 0 ? 0 : -errno;
    close(fd);
    return r;
}

static int fsUnlink(const char *path) { return unlinkat(base, rel(path), 0) == 0 ? 0 : -errno; }
static int fsMkdir(const char *path, mode_t mode) { return mkdirat(base, rel(path), mode) == 0 ? 0 : -errno; }
static int fsRmdir(const char *path) { return unlinkat(base, rel(path), AT_REMOVEDIR) == 0 ? 0 : -errno; }

static int fsRename(const char *from, const char *to, unsigned int flags)
{
    return renameat2(base, rel(from), base, rel(to), flags) == 0 ? 0 : -errno;
}

static int fsTruncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    if (fi)
        return ftruncate((int)fi->fh, size) == 0 ? 0 : -errno;
    const int fd = openat(base, rel(path), O_WRONLY);
    if (fd < 0)
        return -errno;
    const int r = ftruncate(fd, size) == 0 ? 0 : -errno;
    close(fd);
    return r;
}

static int fsChmod(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    if (fi)
        return fchmod((int)fi->fh, mode) == 0 ? 0 : -errno;
    return fchmodat(base, rel(path), mode, 0) == 0 ? 0 : -errno;
}

static int fsChown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi)
{
    if (fi)
        return fchown((int)fi->fh, uid, gid) == 0 ? 0 : -errno;
    return fchownat(base, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

static int fsUtimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi)
{
    if (fi)
        return futimens((int)fi->fh, tv) == 0 ? 0 : -errno;
    return utimensat(base, rel(path), tv, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

static int fsStatfs(const char *path, struct statvfs *st)
{
    (void)path;
    return fstatvfs(base, st) == 0 ? 0 : -errno;
}

static int fsAccess(const char *path, int mask) { return faccessat(base, rel(path), mask, 0) == 0 ? 0 : -errno; }

static void *fsInit(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    (void)conn;
    cfg->use_ino = 1;
    // Attributes as the folder underneath has them at every call.
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    return NULL;
}

static const struct fuse_operations ops = {
    .getattr = fsGetattr,
    .mkdir = fsMkdir,
    .unlink = fsUnlink,
    .rmdir = fsRmdir,
    .rename = fsRename,
    .chmod = fsChmod,
    .chown = fsChown,
    .truncate = fsTruncate,
    .open = fsOpen,
    .read = fsRead,
    .write = fsWrite,
    .statfs = fsStatfs,
    .release = fsRelease,
    .fsync = fsFsync,
    .readdir = fsReaddir,
    .fsyncdir = fsFsyncdir,
    .init = fsInit,
    .access = fsAccess,
    .create = fsCreate,
    .utimens = fsUtimens,
};

int main(int argc, char *argv[])
{
    if (argc < 3) {
        fprintf(stderr, "usage: slowfs FOLDER MOUNTPOINT [MB_PER_S]\n");
        return 2;
    }
    base = open(argv[1], O_RDONLY | O_DIRECTORY);
    if (base < 0) {
        perror(argv[1]);
        return 1;
    }
    if (argc > 3)
        bytesPerSecond = atof(argv[3]) * 1e6;
    // Several threads, so that reads are not held up behind a paced write.
    char *args[] = {argv[0], argv[2], "-o", "default_permissions,allow_other", NULL};
    return fuse_main(4, args, &ops, NULL);
}
