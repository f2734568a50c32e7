#!/usr/bin/env bash
# Builds the release packages, each from a fresh build folder: the 32-bit parvolet.exe (the
# "release" preset) into build/release/parvolet-<version>-win32.zip and the 64-bit one (the
# "release64" preset) into build/release/parvolet-<version>-win64.zip, each with Parvolet.ini,
# README.txt and SHA256SUMS. The version is the one in CMakeLists.txt.
# Options: --check  also build a copy of the source in another folder and compare both exes and
#                   both zips byte for byte, then run the packaged 32-bit exe's smoke cases on an
#                   emulated PC (tools/check-win32.sh); exits non-zero when any of it fails.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/release"
check=0
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "make-release: unknown option $arg" >&2; exit 64 ;;
  esac
done

missing=0
for tool in cmake ninja python3 i686-w64-mingw32-g++-posix i686-w64-mingw32-windres \
            x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres; do
  command -v "$tool" >/dev/null || missing=1
done
if [ "$missing" -eq 1 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    bash "$root/.ci/install-packages" || { echo "make-release: package installation failed" >&2; exit 1; }
  else
    echo "make-release: packages are missing; run as root once: sudo bash .ci/install-packages" >&2
    exit 1
  fi
fi

# Every member of the zip carries the commit's time, so the package does not depend on the day it
# was built. Outside a git checkout SOURCE_DATE_EPOCH (or the zip epoch, 1980) stands in.
if date_epoch="$(git -C "$root" log -1 --format=%ct 2>/dev/null)" && [ -n "$date_epoch" ]; then
  if [ -n "$(git -C "$root" status --porcelain --untracked-files=normal 2>/dev/null)" ]; then
    echo "make-release: note: the tree has uncommitted changes; they are built in" >&2
  fi
else
  date_epoch="${SOURCE_DATE_EPOCH:-315532800}"
fi

# The packages: preset and the zip's platform name, one pair a width.
packages=("release win32" "release64 win64")

# build_package SOURCE TREE PRESET PLATFORM: a fresh tree from SOURCE with PRESET; leaves
# TREE/parvolet-<version>-PLATFORM.zip.
build_package() {
  local source="$1" tree="$2" preset="$3" platform="$4"
  rm -rf "$tree"
  (cd "$source" && cmake --preset "$preset" -B "$tree" >"$tree.configure.log" 2>&1) ||
    { cat "$tree.configure.log" >&2; echo "make-release: configuring $tree failed" >&2; return 1; }
  cmake --build "$tree" --target parvolet >"$tree.build.log" 2>&1 ||
    { tail -n 40 "$tree.build.log" >&2; echo "make-release: building $tree failed" >&2; return 1; }
  local version
  version="$(sed -n 's/^#define PARVOLET_VERSION_TEXT "\(.*\)"$/\1/p' "$tree/res/version.h")"
  [ -n "$version" ] || { echo "make-release: no version in $tree/res/version.h" >&2; return 1; }
  python3 "$source/tools/release/package.py" --exe "$tree/app/parvolet.exe" \
    --ini "$source/tools/release/Parvolet.ini" --readme "$source/README.md" \
    --date "$date_epoch" --output "$tree/parvolet-$version-$platform.zip"
  echo "$version" >"$tree/version"
}

# build_all SOURCE N: both packages from SOURCE, into build/release/<platform>-N.
build_all() {
  local entry preset platform
  for entry in "${packages[@]}"; do
    read -r preset platform <<<"$entry"
    build_package "$1" "$out/$platform-$2" "$preset" "$platform" || return 1
  done
}

mkdir -p "$out"
build_all "$root" 1
version="$(cat "$out/win32-1/version")"
for entry in "${packages[@]}"; do
  read -r _ platform <<<"$entry"
  zip_name="parvolet-$version-$platform.zip"
  cp "$out/$platform-1/$zip_name" "$out/$zip_name"
  echo "make-release: wrote $out/$zip_name"
done

if [ "$check" -eq 1 ]; then
  # The second build starts from a copy of the source in another folder, into other build
  # folders: neither path may reach the bytes.
  copy="$out/source-copy"
  rm -rf "$copy"
  mkdir -p "$copy"
  if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
      while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
      tar --null -T - -cf -) | tar -C "$copy" -xf -
  else
    (cd "$root" && tar --exclude=./build -cf - .) | tar -C "$copy" -xf -
  fi
  build_all "$copy" 2
  status=0
  for entry in "${packages[@]}"; do
    read -r _ platform <<<"$entry"
    for pair in "app/parvolet.exe" "parvolet-$version-$platform.zip"; do
      a="$out/$platform-1/$pair" b="$out/$platform-2/$pair"
      sha256sum "$a" "$b"
      if cmp -s "$a" "$b"; then
        echo "make-release: $platform $(basename "$pair") is identical in both builds"
      else
        echo "make-release: $platform $(basename "$pair") DIFFERS between the builds" >&2
        status=1
      fi
    done
  done
  # The 32-bit exe just packaged, taken from its zip, runs its smoke cases on an emulated PC.
  packaged="$out/check-win32/parvolet.exe"
  mkdir -p "$(dirname "$packaged")"
  python3 -c 'import sys, zipfile; open(sys.argv[3], "wb").write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' \
    "$out/parvolet-$version-win32.zip" parvolet.exe "$packaged"
  bash "$root/tools/check-win32.sh" --exe "$packaged" || status=1
  exit "$status"
fi
