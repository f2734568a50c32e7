#!/bin/sh
# First process of the guest: mounts what a system needs, brings up loopback, mounts the host's
# source tree (read-only) and build tree (read-write) over 9p at the very paths they have on the
# host, runs the session that the host left in the run folder, then writes everything out and
# powers off. The paths come on the kernel's command line: parvolet_src=, parvolet_build=,
# parvolet_run=.
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
# With a script as init nothing else brings up the loopback interface the tests talk over.
ip link set lo up
hostname win32-vm

say() { echo "win32-vm: $*" >/dev/console; }
src="" build="" run=""
for word in $(cat /proc/cmdline); do
  case "$word" in
    parvolet_src=*) src="${word#*=}" ;;
    parvolet_build=*) build="${word#*=}" ;;
    parvolet_run=*) run="${word#*=}" ;;
  esac
done

# Large messages: the default size makes every read of a test program many round trips.
options=trans=virtio,version=9p2000.L,msize=524288,cache=loose
mounted=""
if [ -z "$src" ] || [ -z "$build" ] || [ -z "$run" ]; then
  say "the kernel's command line names no trees"
elif ! modprobe 9pnet_virtio || ! modprobe 9p; then
  say "the 9p modules did not load"
elif ! mkdir -p "$src" || ! mount -t 9p -o "$options,ro" src "$src"; then
  say "the source tree could not be mounted at $src"
elif ! mkdir -p "$build" || ! mount -t 9p -o "$options" build "$build"; then
  say "the build tree could not be mounted at $build"
  umount "$src"
else
  mounted=yes
  bound="$(cat "$run/bound" 2>/dev/null)"
  timeout -k 10 "${bound:-1200}" bash "$run/session.sh" >"$run/session.log" 2>&1
  echo "session ended with status $?" >>"$run/session.log"
fi
sync
if [ -n "$mounted" ]; then
  # The session may have mounted over a file of the build tree (a given exe): that goes first.
  grep " $build/" /proc/mounts | cut -d' ' -f2 | sort -r | while read -r point; do umount "$point"; done
  umount "$build" || say "the build tree stayed mounted"
  umount "$src" || say "the source tree stayed mounted"
fi
mount -o remount,ro / 2>/dev/null
sync
# A minimal system has no poweroff command (that comes with an init system): ask the kernel. Should
# that fail, this init's exit panics the kernel, which with panic=-1 and -no-reboot ends qemu too.
echo 1 >/proc/sys/kernel/sysrq
echo o >/proc/sysrq-trigger
sleep 30
