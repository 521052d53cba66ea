#!/bin/busybox sh
# The kernel-windows stage's guest: PID 1 of a small initramfs. Loads the
# modules, mounts the host's root (shared read-only over 9p) with the
# guest's own proc, sys, dev and temporary file systems over it and a
# writable layer over the Wine prefix, then runs windows-guest.sh chrooted
# there, so that the host's Wine and programs run on this kernel.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
set -a  # the chrooted script reads the stage's settings from its environment
. /etc/stage.env
set +a

fail() { echo "[kernel-windows] FAIL $1: $2"; }
finish() {
  echo "[kernel-windows] DONE"
  poweroff -f
}

for m in $(cat /etc/modules); do
  insmod "/lib/modules/$m.ko" || fail "load $m.ko" "insmod failed"
done
host=/host
mkdir -p $host
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose,ro hostroot $host; then
  fail "mount the host's root" "9p mount failed"
  finish
fi
mount -t proc proc $host/proc
mount -t sysfs sysfs $host/sys
mount -t devtmpfs devtmpfs $host/dev
mkdir -p $host/dev/shm
for d in /dev/shm /tmp /run; do mount -t tmpfs tmpfs $host$d && chmod 1777 $host$d; done
# The prefix stays read-only below; what Wine writes lands in memory.
mkdir -p /layer && mount -t tmpfs tmpfs /layer && mkdir -p /layer/upper /layer/work
chown "$QK_WINE_UID:$QK_WINE_UID" /layer/upper
if ! mount -t overlay overlay \
    -o "lowerdir=$host$QK_PREFIX,upperdir=/layer/upper,workdir=/layer/work" "$host$QK_PREFIX"; then
  fail "a writable layer over the Wine prefix" "overlay mount failed"
  finish
fi
chroot $host /bin/bash "$QK_GUEST_SCRIPT"
finish
