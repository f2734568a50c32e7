#!/usr/bin/env bash
# Checks one signed exe: its Authenticode signature verifies against the given CA, and taking the
# signature off gives back the unsigned exe byte for byte (so signing touched nothing else: not
# the code, not the header beyond the certificate table's entry and the checksum it recomputes).
# Usage: verify-signature.sh SIGNED.exe UNSIGNED.exe CA.pem; exits non-zero, saying why, on a fault.
set -uo pipefail
[ $# -eq 3 ] || { sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 64; }
signed="$1" unsigned="$2" ca="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
if ! osslsigncode verify -CAfile "$ca" -in "$signed" >"$work/verify.log" 2>&1; then
  grep -E 'MISMATCH|failed|error|Error' "$work/verify.log" | head -n 5 >&2
  echo "verify-signature: $signed: the signature does NOT verify against $ca" >&2
  exit 1
fi
if ! osslsigncode remove-signature -in "$signed" -out "$work/unsigned.exe" >"$work/remove.log" 2>&1; then
  cat "$work/remove.log" >&2
  echo "verify-signature: $signed: the signature could not be removed" >&2
  exit 1
fi
if ! cmp -s "$work/unsigned.exe" "$unsigned"; then
  echo "verify-signature: $signed without its signature is NOT $unsigned byte for byte" >&2
  exit 1
fi
echo "verify-signature: $(basename "$signed") verifies against $(basename "$ca"), and unsigned is the built exe"
