#!/usr/bin/env bash
# Builds the release package from a fresh build folder: configures the Windows tree with the
# "release" preset, builds parvolet.exe and writes build/release/parvolet-<version>-win32.zip
# (parvolet.exe, Parvolet.ini, README.txt, SHA256SUMS). The version is the one in CMakeLists.txt.
# Options: --check  also build a copy of the source in another folder and compare the exe and the
#                   zip byte for byte; exits non-zero when they differ.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/release"
check=0
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "make-release: unknown option $arg" >&2; exit 64 ;;
  esac
done

missing=0
for tool in cmake ninja python3 i686-w64-mingw32-g++-posix i686-w64-mingw32-windres; do
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

# build_package SOURCE TREE: a fresh tree from SOURCE; leaves TREE/parvolet-<version>-win32.zip.
build_package() {
  local source="$1" tree="$2"
  rm -rf "$tree"
  (cd "$source" && cmake --preset release -B "$tree" >"$tree.configure.log" 2>&1) ||
    { cat "$tree.configure.log" >&2; echo "make-release: configuring $tree failed" >&2; return 1; }
  cmake --build "$tree" --target parvolet >"$tree.build.log" 2>&1 ||
    { tail -n 40 "$tree.build.log" >&2; echo "make-release: building $tree failed" >&2; return 1; }
  local version
  version="$(sed -n 's/^#define PARVOLET_VERSION_TEXT "\(.*\)"$/\1/p' "$tree/res/version.h")"
  [ -n "$version" ] || { echo "make-release: no version in $tree/res/version.h" >&2; return 1; }
  python3 "$source/tools/release/package.py" --exe "$tree/app/parvolet.exe" \
    --ini "$source/tools/release/Parvolet.ini" --readme "$source/README.md" \
    --date "$date_epoch" --output "$tree/parvolet-$version-win32.zip"
  echo "$version" >"$tree/version"
}

mkdir -p "$out"
first="$out/tree-1"
build_package "$root" "$first"
version="$(cat "$first/version")"
zip_name="parvolet-$version-win32.zip"
cp "$first/$zip_name" "$out/$zip_name"
echo "make-release: wrote $out/$zip_name"

if [ "$check" -eq 1 ]; then
  # The second build starts from a copy of the source in another folder, into another build
  # folder: neither path may reach the bytes.
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
  second="$out/tree-2"
  build_package "$copy" "$second"
  status=0
  for pair in "app/parvolet.exe" "$zip_name"; do
    a="$first/$pair" b="$second/$pair"
    sha256sum "$a" "$b"
    if cmp -s "$a" "$b"; then
      echo "make-release: $(basename "$pair") is identical in both builds"
    else
      echo "make-release: $(basename "$pair") DIFFERS between the builds" >&2
      status=1
    fi
  done
  exit "$status"
fi
