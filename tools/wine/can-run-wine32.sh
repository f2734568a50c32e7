#!/usr/bin/env bash
# Exits 0 when this host can run wine32's programs, and otherwise prints why not. Some hosts run
# 64-bit code only: there every 32-bit program fails with "Exec format error". We ask by running
# one of wine32's own programs, its server, rather than guessing from the kernel or distribution.
probe=/usr/lib/wine/wineserver32
if [ ! -e "$probe" ]; then
  echo "$probe is missing"
  exit 1
fi
"$probe" --version >/dev/null 2>&1
rc=$?
if [ "$rc" -ne 0 ]; then
  echo "$probe --version exited with $rc"
  exit 1
fi
