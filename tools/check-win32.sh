#!/usr/bin/env bash
# Runs the 32-bit tree's CTest suite (build/win: the exe we ship and all its tests) on a whole
# emulated PC (qemu's system emulator in software, no KVM), so that a host that runs no 32-bit code
# itself still runs every one of them. The guest (Debian 12 with Wine and what the tests run) is
# made once and cached in the build folder; each run boots it with the source tree (read-only) and
# the build tree (read-write) shared over 9p at the paths they have here, and runs the tree's own
# `ctest --preset win` there, as tools/run-tests.sh does on a host that runs 32-bit code. CTest's
# output shows as it comes; its last line of counts is printed again at the end.
# Usage: tools/check-win32.sh [--exe PATH] [-- CTEST_ARGUMENTS...]
#   --exe PATH  the end-to-end and resource tests only, on the given exe (the packaged one, say)
#               in place of the tree's parvolet.exe, inside the guest; the file itself is not changed
#   -- ...      more arguments for the guest's CTest, such as -R NAME to run some tests only
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
here="$root/tools/win32-vm"
build="${PARVOLET_BUILD_DIR:-$root/build}"
vm="$build/win32-vm"
# Wall-clock bound of one boot; past it the host kills the emulator.
bound="${PARVOLET_VM_SECONDS:-3600}"
exe=""
ctest_args=()

usage() { echo "usage: tools/check-win32.sh [--exe PATH] [-- CTEST_ARGUMENTS...]" ; }
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) [ $# -ge 2 ] || { usage >&2; exit 64; }; exe="$2"; shift 2 ;;
    --exe=*) exe="${1#--exe=}"; shift ;;
    -h|--help) usage; exit 0 ;;
    --) shift; ctest_args=("$@"); break ;;
    *) usage >&2; exit 64 ;;
  esac
done

die() { echo "win32-vm: $*" >&2; exit 1; }

if [ "$(id -u)" -eq 0 ]; then
  bash "$root/.ci/install-packages" || die "package installation failed"
fi
for tool in debootstrap qemu-system-x86_64 mkfs.ext4 i686-w64-mingw32-g++-posix cmake ninja flock python3; do
  command -v "$tool" >/dev/null || die "$tool is missing; run as root once: sudo bash .ci/install-packages"
done

mkdir -p "$vm"
build="$(cd "$build" && pwd)"
vm="$build/win32-vm"
# The guest learns the trees' paths from its kernel's command line, one word each.
case "$root$build" in
  *[[:space:]]*) die "the source and build folders' paths must have no blanks here: $root, $build" ;;
esac
if [ -n "$exe" ]; then
  [ -f "$exe" ] || die "no executable at $exe"
  exe="$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")"
fi
# One run at a time per build folder: they share the guest's cache and the run folder.
exec 9>"$vm/lock"
flock -w 3600 9 || die "another check held the lock for an hour"

# ---- the trees the guest runs --------------------------------------------------------------

# As tools/run-tests.sh makes them: the native tree's receiver (built with sanitizers; the guest
# has their run-time libraries) and the 32-bit tree. Building runs no Windows program: test cases
# are listed when CTest runs, in the guest.
win="$build/win"
(
  set -e
  cd "$root"
  [ -f "$build/native/build.ninja" ] || cmake --preset native -B "$build/native"
  cmake --build "$build/native" --target receiver
  [ -f "$win/build.ninja" ] || cmake --preset win -B "$win" -DPARVOLET_HOST_TOOLS_DIR="$build/native/tools"
  cmake --build "$win"
) >"$vm/build.log" 2>&1 || { tail -n 20 "$vm/build.log" >&2; die "the trees did not build (log: $vm/build.log)"; }
# With a given exe: the tests that run the program or read its bytes.
[ -z "$exe" ] || ctest_args=(-L '^(e2e|res)$' "${ctest_args[@]}")

# ---- booting the guest ---------------------------------------------------------------------

# qemu keeps the throw-away overlay of a snapshot boot here, not in the system's /var/tmp.
export TMPDIR="$vm/tmp"
mkdir -p "$TMPDIR"

# boot MODE GUEST_DIR SNAPSHOT: a fresh run folder ($run, one for each mode) with the session and
# its settings, then the guest, with the second serial port (the session's CTest output) shown here as it comes.
# Returns non-zero when the emulator failed or overran its bound.
boot() {
  local mode="$1" guest="$2" snapshot="$3"
  run="$vm/run-$mode"
  rm -rf "$run"
  mkdir -p "$run"
  install -m 755 "$here/session.sh" "$run/"
  if [ -n "$exe" ]; then cp "$exe" "$run/parvolet.exe" || return 1; fi
  {
    printf 'mode=%q\nsrc=%q\ntree=%q\nexe=%q\n' "$mode" "$root" "$win" "${exe:+$run/parvolet.exe}"
    declare -p ctest_args
  } >"$run/settings"
  # The guest stops its session a minute before the host would kill it, so its logs come back.
  echo $((bound > 180 ? bound - 60 : bound)) >"$run/bound"
  : >"$run/live.log"
  local status=0
  timeout -k 10 "$bound" qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -m 3072 \
    -display none -monitor none -serial "file:$run/console.log" -serial "file:$run/live.log" \
    -nic none -no-reboot -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
    -drive "file=$guest/root.img,if=virtio,format=raw,snapshot=$snapshot" \
    -virtfs "local,path=$root,mount_tag=src,security_model=none,readonly=on" \
    -virtfs "local,path=$build,mount_tag=build,security_model=none" \
    -append "console=ttyS0 root=/dev/vda rw init=/check.sh panic=-1 quiet parvolet_src=$root parvolet_build=$build parvolet_run=$run" \
    </dev/null >"$vm/qemu-$mode.log" 2>&1 9>&- &
  local emulator=$!
  tail -n +1 -f --pid="$emulator" "$run/live.log" 9>&-
  wait "$emulator" || status=$?
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "win32-vm: the guest did not power off within $bound s; the emulator was stopped" >&2
  elif [ "$status" -ne 0 ]; then
    echo "win32-vm: the emulator failed (status $status): $(tail -n 3 "$vm/qemu-$mode.log")" >&2
  fi
  return "$status"
}

show_guest_logs() {
  echo "win32-vm: the guest's session log ($run/session.log):" >&2
  tail -n 30 "$run/session.log" >&2 2>/dev/null
  [ -f "$run/error" ] && echo "win32-vm: guest: $(cat "$run/error")" >&2
  echo "win32-vm: the end of its console ($run/console.log):" >&2
  tail -n 15 "$run/console.log" >&2 2>/dev/null
}

# ---- the guest's cache ---------------------------------------------------------------------

# The cache holds whatever these made (the Wine prefix too, by the tree's own script); when one
# changes, the guest is made again.
key="$(cat "$here/make-guest.sh" "$here/apt-sources.py" "$here/init.sh" "$root/tools/apt/update-sources.py" \
           "$root/tools/wine/prepare-prefix.in" \
           "$root/tools/wine/wine-env.in" | sha256sum | cut -d' ' -f1)"
guest="$vm/guest"
made=""
if [ "$(cat "$guest/ready" 2>/dev/null)" != "$key" ]; then
  [ "$(id -u)" -eq 0 ] || die "making the guest (once) needs root: debootstrap and chroot"
  echo "win32-vm: making the guest in $guest (once; some minutes)" >&2
  started=$SECONDS
  rm -rf "$guest" "$vm/guest.new"
  bash "$here/make-guest.sh" "$vm/guest.new" 9>&- || die "the guest could not be made (logs in $vm/guest.new)"
  # The first boot makes the Wine prefix and writes it into the image; later boots reuse it and
  # write only to a throw-away overlay.
  boot prepare "$vm/guest.new" off
  if [ ! -f "$run/prepared" ]; then
    show_guest_logs
    die "the guest's first boot did not make the Wine prefix"
  fi
  # Written last: a cache from a killed run has no stamp and is made again.
  echo "$key" >"$vm/guest.new/ready"
  mv "$vm/guest.new" "$guest"
  made=" (guest made in $((SECONDS - started)) s, $(du -sh "$guest" | cut -f1) on disk)"
  echo "win32-vm: guest made in $((SECONDS - started)) s ($(du -sh "$guest" | cut -f1) on disk)" >&2
fi

# ---- the suite -----------------------------------------------------------------------------

echo "win32-vm: running the 32-bit tree's tests${exe:+ (end-to-end and resources, on $exe)} in the emulated PC" >&2
started=$SECONDS
boot suite "$guest" on
counts="$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$run/ctest.log" 2>/dev/null | tail -n 1)"
if [ -z "$counts" ]; then
  show_guest_logs
  die "the guest's CTest gave no counts"
fi
echo "win32-vm: $counts ($((SECONDS - started)) s in the emulated PC; log: $run/ctest.log)$made"
[ "$(cat "$run/ctest-status" 2>/dev/null)" = 0 ] && [[ "$counts" =~ ^100%\ tests\ passed,\ 0\ tests ]] && exit 0
exit 1
