#!/usr/bin/env bash
# Backups from the real window to real file systems made on loop devices and
# through FUSE. Needs root; says SKIPPED and exits 77 where the machine cannot.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root to make file systems on loop devices"
[ -e /dev/loop-control ] && losetup -f >/dev/null 2>&1 || skip "no loop devices here"
[ -e /dev/fuse ] || skip "no FUSE here (/dev/fuse)"
export PATH=$PATH:/usr/sbin:/sbin
for tool in mkfs.exfat mount.exfat-fuse mkfs.xfs mkfs.btrfs filefrag findmnt; do
  command -v "$tool" >/dev/null || { echo "fs e2e: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done
exec "$here/run_e2e.sh" "${1:?path to the program}" test_filesystems
