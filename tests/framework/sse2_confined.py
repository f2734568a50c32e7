"""Fails when a Windows executable holds SSE (xmm) instructions outside the SSE2 text scan.

The program runs on 32-bit processors without SSE2, which stop at the first such instruction:
only the scan that is chosen at run time may contain any. Usage: sse2_confined.py OBJDUMP EXE"""
import re
import subprocess
import sys

ALLOWED = re.compile(r"Sse2")  # TranslateSse2 and the Sse2Scan steps inlined into it


def functions_with_xmm(objdump, exe):
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", exe], check=True,
                             capture_output=True, text=True).stdout
    found, function = {}, None
    for line in listing.splitlines():
        label = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if label:
            function = label.group(1)
        elif "%xmm" in line and function is not None:
            found[function] = found.get(function, 0) + 1
    return found


def main():
    objdump, exe = sys.argv[1], sys.argv[2]
    found = functions_with_xmm(objdump, exe)
    # Labels that start with a dot are data the linker placed among the code (exception tables),
    # which the disassembler decodes as if it were instructions.
    bad = {name: n for name, n in found.items() if not ALLOWED.search(name) and not name.startswith(".")}
    for name, n in sorted(bad.items()):
        print("%d SSE instruction(s) in %s" % (n, name))
    if not any(ALLOWED.search(name) for name in found):
        print("no SSE2 scan found in %s: the fast path is missing" % exe)
        return 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
