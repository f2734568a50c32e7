"""Prints the host's own Debian package sources for one release, as the guest's sources.list
lines ("deb URI SUITE main"): every enabled "deb" entry of the host's apt configuration whose suite
is the release or one of its -updates/-security suites, in both formats apt reads (one-line
sources.list files and deb822 .sources files). The first line is the release's own suite, the one
debootstrap fetches from. Prints nothing and exits 1 when the host names no such source: the guest
then has no mirror, and no name is guessed.

Usage: apt-sources.py RELEASE [APT_DIR]   (APT_DIR: /etc/apt; another for a test)"""

import glob
import os
import sys


def one_line_entries(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if len(words) < 3 or words[0] != "deb":
                continue
            words = words[1:]
            if words[0].startswith("["):  # options: [arch=amd64 signed-by=...]
                while words and not words[0].endswith("]"):
                    words = words[1:]
                words = words[1:]
            if len(words) >= 2:
                yield words[0], words[1], words[2:]


def deb822_entries(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    for stanza in text.split("\n\n"):
        fields = {}
        key = None
        for line in stanza.splitlines():
            if line.startswith("#") or not line.strip():
                continue
            if line[0] in " \t" and key:  # a field's continuation line
                fields[key] += " " + line.strip()
                continue
            if ":" in line:
                key, value = line.split(":", 1)
                key = key.strip().lower()
                fields[key] = value.strip()
        if "deb" not in fields.get("types", "").split():
            continue
        if fields.get("enabled", "yes").lower() == "no":
            continue
        for uri in fields.get("uris", "").split():
            for suite in fields.get("suites", "").split():
                yield uri, suite, fields.get("components", "").split()


def main():
    if len(sys.argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 64
    release = sys.argv[1]
    apt = sys.argv[2] if len(sys.argv) == 3 else "/etc/apt"
    entries = []
    one_line = [os.path.join(apt, "sources.list")] + sorted(glob.glob(os.path.join(apt, "sources.list.d", "*.list")))
    for path in one_line:
        if os.path.isfile(path):
            entries += one_line_entries(path)
    for path in sorted(glob.glob(os.path.join(apt, "sources.list.d", "*.sources"))):
        entries += deb822_entries(path)
    wanted = [release, release + "-updates", release + "-security"]
    lines = []
    for suite in wanted:
        for uri, entry_suite, components in entries:
            if entry_suite.rstrip("/") == suite and "main" in components and uri.startswith(("http://", "https://")):
                line = "deb %s %s main" % (uri.rstrip("/"), suite)
                if line not in lines:
                    lines.append(line)
                break
    if not lines or lines[0].split()[2] != release:
        return 1
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
