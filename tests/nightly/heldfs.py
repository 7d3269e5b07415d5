#!/usr/bin/python3
"""A folder mounted as a database server holds its files: opening one of the
files there at the mount fails with EBUSY while FLAG exists, as a running
server with its files open without sharing; all else passes through.

Usage: heldfs.py BACKING MOUNTPOINT FLAG (in the foreground until unmounted)."""
import errno
import os
import sys

from fusepy import FUSE, FuseOSError, Operations  # Debian's python3-fusepy


class Held(Operations):
    def __init__(self, backing, flag):
        self.backing, self.flag, self.held = backing, flag, {os.path.join(backing, n) for n in os.listdir(backing)}

    def real(self, path):
        return os.path.join(self.backing, path.lstrip("/"))

    def __call__(self, op, path, *args):  # every call on the backing path; fusepy turns OSError into -errno
        return super().__call__(op, self.real(path), *args)

    def getattr(self, path, fh=None):
        st = os.lstat(path) if fh is None else os.fstat(fh)
        return {k: getattr(st, k) for k in ("st_mode", "st_nlink", "st_uid", "st_gid", "st_size", "st_atime",
                                            "st_mtime", "st_ctime", "st_ino", "st_blocks")}

    def open(self, path, flags):
        if path in self.held and os.path.exists(self.flag):
            raise FuseOSError(errno.EBUSY)
        return os.open(path, flags)

    def create(self, path, mode, fi=None):
        return os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, mode)

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(path)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        os.truncate(path if fh is None else fh, length)

    def fsync(self, path, datasync, fh):
        os.fdatasync(fh) if datasync else os.fsync(fh)

    def release(self, path, fh):
        os.close(fh)

    def statfs(self, path):
        st = os.statvfs(path)
        return {k: getattr(st, k) for k in ("f_bsize", "f_frsize", "f_blocks", "f_bfree", "f_bavail", "f_files",
                                            "f_ffree", "f_favail", "f_flag", "f_namemax")}

    chmod = staticmethod(os.chmod)
    unlink = staticmethod(os.unlink)
    utimens = staticmethod(lambda path, times=None: os.utime(path, times, follow_symlinks=False))


if __name__ == "__main__":
    backing, point, flag = sys.argv[1:]
    FUSE(Held(os.path.abspath(backing), os.path.abspath(flag)), point, foreground=True, allow_other=True,
         use_ino=True)
