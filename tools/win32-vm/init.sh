#!/bin/sh
# First process of the check guest: mounts what a system needs, brings up loopback, runs the
# session that the second disk carries, then writes everything out and powers off.
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export PATH
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mountpoint -q /dev/pts || mount -t devpts devpts /dev/pts
mountpoint -q /dev/shm || mount -t tmpfs tmpfs /dev/shm
mountpoint -q /run || mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
# With a script as init nothing else brings up the loopback interface the checks talk over.
ip link set lo up
hostname win32-vm
mkdir -p /share
if mount -t ext4 /dev/vdb /share; then
  bound="$(cat /share/bound 2>/dev/null)"
  timeout -k 10 "${bound:-1200}" sh /share/session.sh >/share/session.log 2>&1
  echo "session ended with status $?" >>/share/session.log
  sync
  umount /share || echo "win32-vm: /share stayed mounted" >/dev/console
else
  echo "win32-vm: the second disk could not be mounted" >/dev/console
fi
sync
mount -o remount,ro / 2>/dev/null
sync
# A minimal system has no poweroff command (that comes with an init system): ask the kernel. Should
# that fail, this init's exit panics the kernel, which with panic=-1 and -no-reboot ends qemu too.
echo 1 >/proc/sys/kernel/sysrq
echo o >/proc/sysrq-trigger
sleep 30
