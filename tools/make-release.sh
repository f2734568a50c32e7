#!/usr/bin/env bash
# Builds the release packages, each from a fresh build folder: the 32-bit parvolet.exe (the
# "release" preset) into build/release/parvolet-<version>-win32.zip and the 64-bit one (the
# "release64" preset) into build/release/parvolet-<version>-win64.zip, each with Parvolet.ini,
# README.txt, THIRD-PARTY-NOTICES.txt, the CycloneDX SBOM parvolet.cdx.json and SHA256SUMS; beside
# each zip the Windows Installer package of the same files, parvolet-<version>-win32.msi and
# -win64.msi (tools/release/msi.py), and a SHA256SUMS of all four. The version is the one in
# CMakeLists.txt. PARVOLET_BUILD_DIR moves build/.
# Options:
#   --sign CERT.p12       sign both exes (Authenticode, SHA-256) before they are packaged, and
#                         both MSIs; the password comes from PARVOLET_SIGN_PASSWORD or
#                         --password-file, never from the command line
#   --password-file FILE  the PKCS#12 file's password (its first line)
#   --url URL             the publisher's URL, written into the signatures (required with --sign)
#                         and into the MSIs' summary and uninstall entry
#   --timestamp URL       also have the signature time-stamped by this RFC 3161 server
#   --ca CA.pem           the CA that --check verifies the signatures against (required for
#                         --check with --sign)
#   --check               also build a copy of the source in another folder and compare both exes,
#                         both zips and both MSIs byte for byte; verify each signature (the
#                         MSIs' too) and that removing an exe's gives back the unsigned exe;
#                         check the SHA256SUMS beside the packages, the notices against the link map and
#                         the SBOM against the official schema and the files' sums; run each
#                         packaged exe end to end (tools/release/smoke.sh). Exits non-zero when any
#                         of it fails.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PARVOLET_BUILD_DIR:-$root/build}"
out="$build/release"
check=0 sign="" password_file="" url="" timestamp="" ca=""
usage() { sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check=1 ;;
    --sign|--password-file|--url|--timestamp|--ca)
      [ $# -ge 2 ] || { echo "make-release: $1 needs a value" >&2; exit 64; }
      case "$1" in
        --sign) sign="$2" ;;
        --password-file) password_file="$2" ;;
        --url) url="$2" ;;
        --timestamp) timestamp="$2" ;;
        --ca) ca="$2" ;;
      esac
      shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "make-release: unknown option $1" >&2; exit 64 ;;
  esac
  shift
done
if [ -n "$sign" ]; then
  [ -f "$sign" ] || { echo "make-release: no certificate file $sign" >&2; exit 64; }
  [ -n "$url" ] || { echo "make-release: --sign needs --url URL (the publisher's, written into the signature)" >&2; exit 64; }
  if [ -z "$password_file" ] && [ -z "${PARVOLET_SIGN_PASSWORD+set}" ]; then
    echo "make-release: --sign needs the password: PARVOLET_SIGN_PASSWORD or --password-file FILE" >&2
    exit 64
  fi
  [ "$check" -eq 0 ] || [ -n "$ca" ] || { echo "make-release: --check of signed exes needs --ca CA.pem" >&2; exit 64; }
else
  [ -z "$password_file$timestamp$ca" ] || { echo "make-release: signing options without --sign" >&2; exit 64; }
fi
for f in sign password_file ca; do
  [ -z "${!f}" ] || [ -f "${!f}" ] || { echo "make-release: no file ${!f}" >&2; exit 64; }
  [ -z "${!f}" ] || printf -v "$f" '%s' "$(realpath "${!f}")"
done

missing=0
tools=(cmake ninja python3 i686-w64-mingw32-g++-posix i686-w64-mingw32-windres
       x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres dpkg-query wixl msibuild faketime
       i686-w64-mingw32-gcc x86_64-w64-mingw32-gcc)
[ -z "$sign" ] || tools+=(osslsigncode)
[ "$check" -eq 0 ] || tools+=(node npm)
for tool in "${tools[@]}"; do
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
# was built. Outside a git checkout SOURCE_DATE_EPOCH (or the zip epoch, 1980) stands in. The
# signatures carry the same time as their signing time: with the same key, two builds sign to the
# same bytes.
if date_epoch="$(git -C "$root" log -1 --format=%ct 2>/dev/null)" && [ -n "$date_epoch" ]; then
  if [ -n "$(git -C "$root" status --porcelain --untracked-files=normal 2>/dev/null)" ]; then
    echo "make-release: note: the tree has uncommitted changes; they are built in" >&2
  fi
else
  date_epoch="${SOURCE_DATE_EPOCH:-315532800}"
fi

# The password reaches osslsigncode as a file it reads (-readpass), never as an argument that any
# user could read in the process list. From the environment it goes into a file only we can read,
# written by the shell's own printf (no program of its own, so no argument list either).
private="$(umask 077 && mktemp -d)"
trap 'rm -rf "$private"' EXIT
if [ -n "$sign" ] && [ -z "$password_file" ]; then
  password_file="$private/password"
  (umask 077 && printf '%s' "$PARVOLET_SIGN_PASSWORD" >"$password_file")
fi

# sign_exe UNSIGNED SIGNED [OPTION...]: SHA-256, the program's name and the publisher's URL, the
# commit's time.
sign_exe() {
  local args=(sign -pkcs12 "$sign" -readpass "$password_file" -h sha256 -n Parvolet -i "$url"
              -time "$date_epoch" "${@:3}")
  [ -z "$timestamp" ] || args+=(-ts "$timestamp")
  rm -f "$2"
  osslsigncode "${args[@]}" -in "$1" -out "$2" >"$2.log" 2>&1 ||
    { cat "$2.log" >&2; echo "make-release: signing $1 failed" >&2; return 1; }
}

# The packages: preset, the zip's platform name and the exe's width, one line a width.
packages=("release win32 32" "release64 win64 64")

# build_package SOURCE TREE PRESET PLATFORM: a fresh tree from SOURCE with PRESET; leaves
# TREE/parvolet-<version>-PLATFORM.zip (the exe signed first with --sign: TREE/signed/).
build_package() {
  local source="$1" tree="$2" preset="$3" platform="$4"
  rm -rf "$tree"
  (cd "$source" && cmake --preset "$preset" -B "$tree" >"$tree.configure.log" 2>&1) ||
    { cat "$tree.configure.log" >&2; echo "make-release: configuring $tree failed" >&2; return 1; }
  cmake --build "$tree" --target parvolet >"$tree.build.log" 2>&1 ||
    { tail -n 40 "$tree.build.log" >&2; echo "make-release: building $tree failed" >&2; return 1; }
  local version exe="$tree/app/parvolet.exe"
  version="$(sed -n 's/^#define PARVOLET_VERSION_TEXT "\(.*\)"$/\1/p' "$tree/res/version.h")"
  [ -n "$version" ] || { echo "make-release: no version in $tree/res/version.h" >&2; return 1; }
  if [ -n "$sign" ]; then
    mkdir -p "$tree/signed"
    sign_exe "$exe" "$tree/signed/parvolet.exe" || return 1
    exe="$tree/signed/parvolet.exe"
  fi
  python3 "$source/tools/release/package.py" --exe "$exe" \
    --ini "$source/tools/release/Parvolet.ini" --readme "$source/README.md" \
    --map "$tree/app/parvolet.map" --version "$version" --platform "$platform" \
    --date "$date_epoch" --output "$tree/parvolet-$version-$platform.zip"
  python3 "$source/tools/release/msi.py" --zip "$tree/parvolet-$version-$platform.zip" \
    --platform "$platform" --version "$version" --url "$url" --date "$date_epoch" \
    --output "$tree/parvolet-$version-$platform.msi" || return 1
  if [ -n "$sign" ]; then
    # The MSI's digital signature extension covers its summary and the names of its streams too.
    sign_exe "$tree/parvolet-$version-$platform.msi" "$tree/signed/parvolet-$version-$platform.msi" -add-msi-dse ||
      return 1
  fi
  echo "$version" >"$tree/version"
}

# build_all SOURCE N: both packages from SOURCE, into build/release/<platform>-N.
build_all() {
  local entry preset platform
  for entry in "${packages[@]}"; do
    read -r preset platform _ <<<"$entry"
    build_package "$1" "$out/$platform-$2" "$preset" "$platform" || return 1
  done
}

mkdir -p "$out"
build_all "$root" 1
version="$(cat "$out/win32-1/version")"
shipped=()
for entry in "${packages[@]}"; do
  read -r _ platform _ <<<"$entry"
  zip_name="parvolet-$version-$platform.zip" msi_name="parvolet-$version-$platform.msi"
  cp "$out/$platform-1/$zip_name" "$out/$zip_name"
  cp "$out/$platform-1/${sign:+signed/}$msi_name" "$out/$msi_name"
  shipped+=("$zip_name" "$msi_name")
  echo "make-release: wrote $out/$zip_name and $out/$msi_name${sign:+ (signed)}"
done
(cd "$out" && sha256sum "${shipped[@]}" >SHA256SUMS.partial && mv SHA256SUMS.partial SHA256SUMS)
echo "make-release: wrote $out/SHA256SUMS"

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
    read -r _ platform _ <<<"$entry"
    pairs=("app/parvolet.exe")
    if [ -n "$timestamp" ]; then
      # The server's time makes each signing differ; each signed exe still has to come back to
      # the unsigned one, which the signature check below makes sure of.
      echo "make-release: $platform: time-stamped, so the signed exe and the zip are not compared"
    else
      pairs+=("parvolet-$version-$platform.zip" "parvolet-$version-$platform.msi")
      [ -z "$sign" ] || pairs+=("signed/parvolet.exe" "signed/parvolet-$version-$platform.msi")
    fi
    for pair in "${pairs[@]}"; do
      a="$out/$platform-1/$pair" b="$out/$platform-2/$pair"
      sha256sum "$a" "$b"
      if cmp -s "$a" "$b"; then
        echo "make-release: $platform $pair is identical in both builds"
      else
        echo "make-release: $platform $pair DIFFERS between the builds" >&2
        status=1
      fi
    done
  done

  # The SBOM validator, at the versions the committed lock file pins, in the build folder.
  validator="$out/sbom-validator"
  mkdir -p "$validator"
  cp "$root/tools/release/sbom-validator/"{package.json,package-lock.json,validate.js} "$validator/"
  (cd "$validator" && npm ci --no-audit --no-fund --loglevel=error >npm.log 2>&1) ||
    { cat "$validator/npm.log" >&2; echo "make-release: installing the SBOM validator failed" >&2; exit 1; }

  # What each zip holds, taken out of it and checked as a user and a buyer would.
  for entry in "${packages[@]}"; do
    read -r _ platform width <<<"$entry"
    zip="$out/parvolet-$version-$platform.zip" unpacked="$out/check-$platform"
    rm -rf "$unpacked"
    mkdir -p "$unpacked"
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$unpacked"
    (cd "$unpacked" && sha256sum --quiet -c SHA256SUMS) ||
      { echo "make-release: $platform: SHA256SUMS does not match the files" >&2; status=1; }
    python3 "$root/tools/release/notices.py" check "$out/$platform-1/app/parvolet.map" \
      "$unpacked/THIRD-PARTY-NOTICES.txt" || status=1
    python3 "$root/tools/release/sbom.py" check "$zip" || status=1
    node "$validator/validate.js" "$unpacked/parvolet.cdx.json" || status=1
    if [ -n "$sign" ]; then
      bash "$root/tools/release/verify-signature.sh" "$unpacked/parvolet.exe" \
        "$out/$platform-1/app/parvolet.exe" "$ca" || status=1
      if osslsigncode verify -CAfile "$ca" -in "$out/parvolet-$version-$platform.msi" >"$unpacked.msi-verify.log" 2>&1; then
        echo "make-release: $platform: the MSI's signature verifies against $(basename "$ca")"
      else
        grep -E 'MISMATCH|failed|error|Error' "$unpacked.msi-verify.log" | head -n 5 >&2
        echo "make-release: $platform: the MSI's signature does NOT verify" >&2
        status=1
      fi
    fi
    PARVOLET_BUILD_DIR="$build" bash "$root/tools/release/smoke.sh" "$unpacked/parvolet.exe" "$width" || status=1
  done
  (cd "$out" && sha256sum --quiet -c SHA256SUMS) ||
    { echo "make-release: SHA256SUMS does not match the packages" >&2; status=1; }
  [ "$status" -eq 0 ] && echo "make-release: check passed" || echo "make-release: check FAILED" >&2
  exit "$status"
fi
