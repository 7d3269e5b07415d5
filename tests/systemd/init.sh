#!/bin/sh
# PID 1 of fresh namespaces (see machine.py): builds a root that is the host's
# own file system under a throw-away layer, and hands it to systemd.
set -eu
mount -t tmpfs -o mode=755 tmpfs /tmp
mkdir /tmp/upper /tmp/work /tmp/root
mount -t overlay overlay -o lowerdir=/,upperdir=/tmp/upper,workdir=/tmp/work /tmp/root
cd /tmp/root

# A minimal /dev: the host's character devices, private ptys and shm.
mount -t tmpfs -o mode=755,nosuid tmpfs dev
for node in null zero full random urandom tty; do
    touch "dev/$node"
    mount --bind "/dev/$node" "dev/$node"
done
mkdir dev/pts dev/shm
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts dev/pts
ln -s pts/ptmx dev/ptmx
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs dev/shm
ln -s /proc/self/fd dev/fd
ln -s /proc/self/fd/0 dev/stdin
ln -s /proc/self/fd/1 dev/stdout
ln -s /proc/self/fd/2 dev/stderr

mount -t proc proc proc
mount --bind proc/sys proc/sys
mount -o remount,bind,ro proc/sys
mount -t sysfs -o ro sysfs sys
mount -t cgroup2 -o nsdelegate cgroup2 sys/fs/cgroup
mount -t tmpfs -o mode=755,nosuid,nodev tmpfs run

# Nothing that reaches for the host's devices, clocks or kernel settings.
for unit in cups.service cups.socket cups.path apt-daily.timer apt-daily-upgrade.timer \
    dpkg-db-backup.timer e2scrub_all.timer fstrim.timer man-db.timer systemd-tmpfiles-clean.timer \
    getty.target console-getty.service systemd-timesyncd.service systemd-sysctl.service \
    systemd-modules-load.service systemd-binfmt.service proc-sys-fs-binfmt_misc.automount \
    proc-sys-fs-binfmt_misc.mount sys-kernel-debug.mount sys-kernel-tracing.mount \
    sys-kernel-config.mount sys-fs-fuse-connections.mount dev-hugepages.mount dev-mqueue.mount; do
    ln -sf /dev/null "etc/systemd/system/$unit"
done
: >etc/fstab
cat >etc/systemd/system/zdb-machine.target <<'EOF'
[Unit]
Description=Test machine
Requires=basic.target
After=basic.target
AllowIsolate=yes
EOF

mkdir -p oldroot
pivot_root . oldroot
umount -l /oldroot
cd /
exec env -i container=zdb-machine /lib/systemd/systemd --system --unit=zdb-machine.target \
    systemd.unified_cgroup_hierarchy=1
