#!/usr/bin/env bash
# Proves the shipped 32-bit parvolet.exe end to end on a whole emulated PC (qemu's system emulator
# in software, no KVM), so that a host that runs no 32-bit code itself can still check it. The
# guest (Debian 12 with Wine) is made once and cached in the build folder; each run boots it with
# the exe on a second disk, runs the smoke cases there and prints one line of counts.
# Usage: tools/check-win32.sh [--exe PATH]   (default: the Windows tree's parvolet.exe, built)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
here="$root/tools/win32-vm"
build="${PARVOLET_BUILD_DIR:-$root/build}"
vm="$build/win32-vm"
# Wall-clock bound of one boot; past it the host kills the emulator.
bound="${PARVOLET_VM_SECONDS:-1800}"
exe=""

usage() { echo "usage: tools/check-win32.sh [--exe PATH]" ; }
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) [ $# -ge 2 ] || { usage >&2; exit 64; }; exe="$2"; shift 2 ;;
    --exe=*) exe="${1#--exe=}"; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 64 ;;
  esac
done

die() { echo "win32-vm: $*" >&2; exit 1; }

if [ "$(id -u)" -eq 0 ]; then
  bash "$root/.ci/install-packages" || die "package installation failed"
fi
for tool in debootstrap qemu-system-x86_64 mkfs.ext4 debugfs i686-w64-mingw32-g++-posix cmake ninja flock; do
  command -v "$tool" >/dev/null || die "$tool is missing; run as root once: sudo bash .ci/install-packages"
done

mkdir -p "$vm"
# One run at a time per build folder: they share the guest's cache and the run folder.
exec 9>"$vm/lock"
flock -w 3600 9 || die "another check held the lock for an hour"

# ---- what goes into the guest --------------------------------------------------------------

win="$build/win"
targets=(dlgdrive)
[ -n "$exe" ] || targets+=(parvolet)
if [ ! -f "$win/build.ninja" ]; then
  (cd "$root" && cmake --preset win -B "$win" -DPARVOLET_HOST_TOOLS_DIR="$build/native/tools") >"$vm/win-configure.log" 2>&1 ||
    { tail -n 20 "$vm/win-configure.log" >&2; die "the Windows tree could not be configured"; }
fi
# Only these targets: building the tests would run them under Wine on this host.
cmake --build "$win" --target "${targets[@]}" >"$vm/win-build.log" 2>&1 ||
  { tail -n 20 "$vm/win-build.log" >&2; die "the Windows tree's ${targets[*]} did not build"; }
[ -n "$exe" ] || exe="$win/app/parvolet.exe"
[ -f "$exe" ] || die "no executable at $exe"
dlgdrive="$win/tools/dlgdrive/dlgdrive.exe"

# The guest has no sanitizer runtime: a receiver of its own, built plain.
plain="$vm/receiver-tree"
if [ ! -f "$plain/build.ninja" ]; then
  (cd "$root" && cmake --preset native -B "$plain" -DPARVOLET_SANITIZE=OFF) >"$vm/receiver-configure.log" 2>&1 ||
    { tail -n 20 "$vm/receiver-configure.log" >&2; die "the receiver's tree could not be configured"; }
fi
cmake --build "$plain" --target receiver >"$vm/receiver-build.log" 2>&1 ||
  { tail -n 20 "$vm/receiver-build.log" >&2; die "the receiver did not build"; }

loader_check="$vm/loader_check.exe"
if [ ! -f "$loader_check" ] || [ "$here/loader_check.cpp" -nt "$loader_check" ]; then
  i686-w64-mingw32-g++-posix -O2 -Wall -static -static-libgcc -static-libstdc++ \
    -o "$loader_check.new" "$here/loader_check.cpp" -lversion && mv "$loader_check.new" "$loader_check" ||
    die "the loader check did not build"
fi

version="$(sed -n 's/^project(Parvolet VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || die "no version in CMakeLists.txt"

# ---- booting the guest ---------------------------------------------------------------------

run="$vm/run"
# qemu keeps the throw-away overlay of a snapshot boot here, not in the system's /var/tmp.
export TMPDIR="$vm/tmp"
mkdir -p "$TMPDIR"

# boot MODE GUEST_DIR SNAPSHOT: fills the second disk from $run/share, boots, and unpacks what
# the guest wrote into $run/out. Returns non-zero when the emulator failed or overran its bound.
boot() {
  local mode="$1" guest="$2" snapshot="$3"
  echo "$mode" >"$run/share/mode"
  # The guest stops its session a minute before the host would kill it, so its logs come back.
  echo $((bound > 180 ? bound - 60 : bound)) >"$run/share/bound"
  rm -rf "$run/out" "$run/share.img"
  # No journal: what the guest wrote is in place once it has unmounted, for debugfs to read.
  mkfs.ext4 -q -F -O ^has_journal -L share -d "$run/share" "$run/share.img" 256M >/dev/null ||
    { echo "win32-vm: the second disk could not be made" >&2; return 1; }
  local status=0
  timeout -k 10 "$bound" qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -m 2048 \
    -display none -monitor none -serial "file:$run/console-$mode.log" -nic none -no-reboot \
    -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
    -drive "file=$guest/root.img,if=virtio,format=raw,snapshot=$snapshot" \
    -drive "file=$run/share.img,if=virtio,format=raw" \
    -append "console=ttyS0 root=/dev/vda rw init=/check.sh panic=-1 quiet" \
    </dev/null >"$run/qemu-$mode.log" 2>&1 9>&- || status=$?
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "win32-vm: the guest did not power off within $bound s; the emulator was stopped" >&2
  elif [ "$status" -ne 0 ]; then
    echo "win32-vm: the emulator failed (status $status): $(tail -n 3 "$run/qemu-$mode.log")" >&2
  fi
  mkdir -p "$run/out"
  debugfs -R "rdump /results $run/out" "$run/share.img" >/dev/null 2>&1
  debugfs -R "dump /session.log $run/out/session.log" "$run/share.img" >/dev/null 2>&1
  return "$status"
}

show_guest_logs() {
  local mode="$1"
  echo "win32-vm: the guest's session log:" >&2
  tail -n 30 "$run/out/session.log" >&2 2>/dev/null
  [ -f "$run/out/results/error" ] && echo "win32-vm: guest: $(cat "$run/out/results/error")" >&2
  tail -n 20 "$run/out/results/cases.log" >&2 2>/dev/null
  echo "win32-vm: the end of its console ($run/console-$mode.log):" >&2
  tail -n 15 "$run/console-$mode.log" >&2 2>/dev/null
}

new_share() {
  rm -rf "$run"
  mkdir -p "$run/share/results"
  install -m 755 "$here/session.sh" "$here/wine-run" "$run/share/"
}

# ---- the guest's cache ---------------------------------------------------------------------

# The cache holds whatever these made; when one changes, the guest is made again.
key="$(cat "$here/make-guest.sh" "$here/init.sh" "$here/make-prefix.sh" | sha256sum | cut -d' ' -f1)"
guest="$vm/guest"
if [ "$(cat "$guest/ready" 2>/dev/null)" != "$key" ]; then
  [ "$(id -u)" -eq 0 ] || die "making the guest (once) needs root: debootstrap and chroot"
  echo "win32-vm: making the guest in $guest (once; some minutes)" >&2
  started=$SECONDS
  rm -rf "$guest" "$vm/guest.new"
  bash "$here/make-guest.sh" "$vm/guest.new" 9>&- || die "the guest could not be made (logs in $vm/guest.new)"
  # The first boot makes the Wine prefix and writes it into the image; later boots reuse it and
  # write only to a throw-away overlay.
  new_share
  boot prepare "$vm/guest.new" off
  if [ ! -f "$run/out/results/prepared" ]; then
    show_guest_logs prepare
    die "the guest's first boot did not make the Wine prefix"
  fi
  # Written last: a cache from a killed run has no stamp and is made again.
  echo "$key" >"$vm/guest.new/ready"
  mv "$vm/guest.new" "$guest"
  echo "win32-vm: guest made in $((SECONDS - started)) s ($(du -sh "$guest" | cut -f1) on disk)" >&2
fi

# ---- the check -----------------------------------------------------------------------------

new_share
cp "$exe" "$run/share/parvolet.exe"
cp "$dlgdrive" "$run/share/dlgdrive.exe"
cp "$loader_check" "$run/share/loader_check.exe"
install -m 755 "$plain/tools/receiver/receiver" "$run/share/receiver"
cp "$root/tests/e2e/harness.py" "$here/cases.py" "$run/share/"
cp "$root/res/parvolet.manifest" "$run/share/expected-manifest"
echo "$version" >"$run/share/expected-version"

started=$SECONDS
boot check "$guest" on
summary="$run/out/results/summary"
if [ ! -f "$summary" ]; then
  show_guest_logs check
  die "the guest reported no results"
fi
cp "$run/out/results/cases.log" "$vm/cases.log" 2>/dev/null
grep '^FAIL ' "$summary" | sed 's/^/win32-vm: /'
counts="$(tail -n 1 "$summary")"
echo "win32-vm: $counts ($((SECONDS - started)) s in the emulated PC; log: $vm/cases.log)"
[[ "$counts" =~ ^cases=([0-9]+)\ passed=([0-9]+)\ failed=0$ ]] && [ "${BASH_REMATCH[1]}" -gt 0 ] &&
  [ "${BASH_REMATCH[1]}" -eq "${BASH_REMATCH[2]}" ] && exit 0
exit 1
