#!/bin/sh
# Makes the guest's win32 Wine prefix, with the settings the build tree's own prefix has; the stamp
# is written last, so a prefix from a boot that was cut short is made again.
set -u
export WINEPREFIX="${PARVOLET_WINEPREFIX:-/var/lib/parvolet/prefix}"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
stamp="$WINEPREFIX/.parvolet-ready"
[ -f "$stamp" ] && exit 0
rm -rf "$WINEPREFIX"
mkdir -p "$(dirname "$WINEPREFIX")"
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
# No window manager under Xvfb: unmanaged windows hide and close at once instead of after ~2 s.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1 || exit 1
# A crashing program must end, not wait for a debugger nobody attaches.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d false /f \
  </dev/null >/dev/null 2>&1 || exit 1
wineserver -w
touch "$stamp"
