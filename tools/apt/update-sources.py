"""Runs `apt-get update` so that one package source caught mid-sync does not stop an install.

A mirror that is syncing serves a Release file that names index files of a size or hash they do
not have yet; `apt-get update` then fails (exit 100) for that source alone, and an install after it
mixes fresh and stale lists. This tries the update a bounded number of times. When some sources
still fail, it writes the apt configuration's sources again without them (into a folder of its
own, never over the machine's files), updates from the rest, and asks apt whether the wanted
packages can be installed from those alone. Yes: it warns, naming each source left out, and prints
the apt options that select the reduced sources, for the caller's `apt-get install`. No: it stops
with a message naming the failing sources and what to do.

Standard output carries only those options (nothing when every source updated); the rest goes to
standard error. Exit 0 when the install can go ahead, 1 when it cannot.

Usage: update-sources.py [--root DIR] [--tries N] [--pause S] [--simulate PKG ...]
  --root DIR   the apt installation of a chroot: apt runs as `chroot DIR apt-get`, and the paths
               apt names are read below DIR
  --tries N    updates before giving up on a source (default 3)
  --pause S    seconds between them (default 20; a sync usually settles within minutes)
  --simulate   the packages that must be installable without the failing sources
  --work DIR   where the reduced sources are written (default /tmp/parvolet-apt-sources; below
               DIR of --root when that is given)
The apt configuration is the one apt itself reads (APT_CONFIG is honoured), so a test can point
all of it at temporary folders.
"""

import argparse
import glob
import os
import re
import shlex
import subprocess
import sys
import time

FAILED_FETCH = re.compile(r"^[EW]: Failed to fetch (\S+)\s*(.*)$")


def warn(text):
    sys.stderr.write("apt-sources: %s\n" % text)


class Apt:
    """apt-get and apt-config, on this machine or inside a chroot."""

    def __init__(self, root):
        self.root = root

    def command(self, *words):
        prefix = ["chroot", self.root] if self.root else []
        return prefix + ["env", "DEBIAN_FRONTEND=noninteractive", "LC_ALL=C"] + list(words)

    def host_path(self, path):
        return os.path.join(self.root, path.lstrip("/")) if self.root else path

    def run(self, *words):
        """Runs an apt command; its output goes to standard error as it comes and is returned."""
        process = subprocess.Popen(self.command(*words), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, text=True, errors="replace")
        lines = []
        for line in process.stdout:
            sys.stderr.write(line)
            lines.append(line.rstrip("\n"))
        return process.wait(), lines

    def config(self, name, kind):
        """An apt setting as a path: kind 'f' a file, 'd' a folder (as apt-config shell gives them)."""
        out = subprocess.run(self.command("apt-config", "shell", "V", "%s/%s" % (name, kind)),
                             capture_output=True, text=True, check=False).stdout
        words = shlex.split(out.partition("=")[2]) if "=" in out else []
        return words[0] if words else ""


class Stanza:
    """One entry of the configured sources: a one-line `deb` line or a deb822 paragraph."""

    def __init__(self, kind, uris, suites, text):
        self.kind = kind  # "line" or "deb822"
        self.uris = uris
        self.suites = suites
        self.text = text  # the line, or the paragraph's lines

    def pairs(self):
        return [(uri, suite) for uri in self.uris for suite in self.suites]


def read_one_line(path):
    stanzas = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if len(words) >= 3 and words[0] in ("deb", "deb-src"):
                rest = words[1:]
                if rest[0].startswith("["):
                    while rest and not rest[0].endswith("]"):
                        rest = rest[1:]
                    rest = rest[1:]
                if len(rest) >= 2:
                    stanzas.append(Stanza("line", [rest[0]], [rest[1]], line.rstrip("\n")))
                    continue
            stanzas.append(Stanza("line", [], [], line.rstrip("\n")))  # kept as it stands
    return stanzas


def fields_of(lines):
    """A deb822 paragraph's fields: name (lower case) -> (first line index, last line index, value)."""
    fields = {}
    key = None
    for i, line in enumerate(lines):
        if line.startswith("#"):
            continue
        if line[:1] in (" ", "\t") and key:
            start, _, value = fields[key]
            fields[key] = (start, i, value + " " + line.strip())
        elif ":" in line:
            key, value = line.split(":", 1)
            key = key.strip().lower()
            fields[key] = (i, i, value.strip())
    return fields


def read_deb822(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        paragraphs = re.split(r"\n[ \t]*\n", f.read())
    stanzas = []
    for paragraph in paragraphs:
        lines = [line for line in paragraph.split("\n")]
        if not any(line.strip() and not line.startswith("#") for line in lines):
            continue
        fields = fields_of(lines)
        enabled = fields.get("enabled", (0, 0, "yes"))[2].lower() != "no"
        uris = fields.get("uris", (0, 0, ""))[2].split() if enabled else []
        suites = fields.get("suites", (0, 0, ""))[2].split() if enabled else []
        stanzas.append(Stanza("deb822", uris, suites, lines))
    return stanzas


def without(stanza, failing):
    """The stanza's text without the failing (uri, suite) pairs; None when nothing is left."""
    kept = [pair for pair in stanza.pairs() if pair not in failing]
    if len(kept) == len(stanza.pairs()):
        return stanza.text
    if not kept:
        return None
    # A deb822 paragraph with several URIs or suites: one paragraph per URI that keeps suites.
    fields = fields_of(stanza.text)
    out = []
    for uri in stanza.uris:
        suites = [suite for (u, suite) in kept if u == uri]
        if not suites:
            continue
        lines = []
        skip_to = -1
        for i, line in enumerate(stanza.text):
            if i <= skip_to:
                continue
            for name, value in (("uris", uri), ("suites", " ".join(suites))):
                if name in fields and fields[name][0] == i:
                    lines.append("%s: %s" % (line.split(":", 1)[0], value))
                    skip_to = fields[name][1]
                    break
            else:
                lines.append(line)
        out.append("\n".join(lines))
    return "\n\n".join(out).split("\n")


def source_files(apt):
    source_list = apt.config("Dir::Etc::sourcelist", "f")
    source_parts = apt.config("Dir::Etc::sourceparts", "d")
    files = []
    if source_list and os.path.isfile(apt.host_path(source_list)):
        files.append(("line", apt.host_path(source_list)))
    if source_parts:
        parts = apt.host_path(source_parts)
        files += [("line", p) for p in sorted(glob.glob(os.path.join(parts, "*.list")))]
        files += [("deb822", p) for p in sorted(glob.glob(os.path.join(parts, "*.sources")))]
    return files


def failing_sources(lines, stanzas):
    """The (uri, suite) pairs whose fetches failed, with the first reason given for each."""
    failed = {}
    for i, line in enumerate(lines):
        match = FAILED_FETCH.match(line)
        if not match:
            continue
        url, reason = match.groups()
        if not reason and i + 1 < len(lines):
            reason = lines[i + 1].strip()
        for stanza in stanzas:
            for uri, suite in stanza.pairs():
                if url.startswith(uri.rstrip("/") + "/dists/" + suite.rstrip("/") + "/"):
                    failed.setdefault((uri, suite), reason)
    return failed


def update(apt, tries, pause, options=()):
    for attempt in range(1, tries + 1):
        status, lines = apt.run("apt-get", "update", "-q", *options)
        if status == 0 and not any(FAILED_FETCH.match(line) for line in lines):
            return True, lines
        if attempt < tries:
            warn("apt-get update failed (try %d of %d); trying again in %g s" % (attempt, tries, pause))
            time.sleep(pause)
    return False, lines


def write_reduced(apt, work, files, failing):
    folder = apt.host_path(work)
    parts = os.path.join(folder, "sources.list.d")
    os.makedirs(parts, exist_ok=True)
    for old in glob.glob(os.path.join(parts, "*")):
        os.remove(old)
    list_lines = []
    for n, (kind, path) in enumerate(files):
        stanzas = read_one_line(path) if kind == "line" else read_deb822(path)
        kept = [without(s, failing) for s in stanzas]
        if kind == "line":
            list_lines += [text for text in kept if text is not None]
        else:
            paragraphs = ["\n".join(text) for text in kept if text is not None]
            name = "%02d-%s" % (n, os.path.basename(path))
            with open(os.path.join(parts, name), "w", encoding="utf-8") as f:
                f.write("\n\n".join(paragraphs) + "\n")
    with open(os.path.join(folder, "sources.list"), "w", encoding="utf-8") as f:
        f.write("\n".join(list_lines) + "\n")
    return ["-o", "Dir::Etc::sourcelist=%s/sources.list" % work,
            "-o", "Dir::Etc::sourceparts=%s/sources.list.d" % work]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default="")
    parser.add_argument("--tries", type=int, default=3)
    parser.add_argument("--pause", type=float, default=20)
    parser.add_argument("--simulate", nargs="*", default=[])
    parser.add_argument("--work", default="/tmp/parvolet-apt-sources")
    args = parser.parse_args()
    apt = Apt(args.root)

    ok, lines = update(apt, max(1, args.tries), args.pause)
    if ok:
        return 0
    files = source_files(apt)
    stanzas = [s for kind, path in files for s in (read_one_line(path) if kind == "line" else read_deb822(path))]
    failing = failing_sources(lines, stanzas)
    names = ", ".join("%s %s (%s)" % (uri, suite, reason or "no reason given") for (uri, suite), reason in failing.items())
    advice = ("Wait until the mirror has finished syncing (usually minutes, sometimes an hour) and run this again, "
              "or point that source at another mirror in the apt configuration.")
    if not failing:
        warn("apt-get update failed, and no configured source can be named as the cause (see its output above). "
             "Check the network and the apt configuration, then run this again.")
        return 1
    options = write_reduced(apt, args.work, files, failing)
    ok, _ = update(apt, 1, 0, options)
    if not ok:
        warn("the package lists could not be updated even without the failing sources: %s. %s" % (names, advice))
        return 1
    if args.simulate:
        status, _ = apt.run("apt-get", "install", "-s", "-q", "--no-install-recommends", *options, *args.simulate)
        if status != 0:
            warn("the packages cannot be installed without the failing sources: %s. %s" % (names, advice))
            return 1
    warn("WARNING: going on without these sources, whose package lists failed %d times: %s. The packages "
         "come from the other sources; updates that only those sources carry are not installed. %s"
         % (max(1, args.tries), names, advice.replace("run this again", "run the install again")))
    print(" ".join(shlex.quote(o) for o in options))
    return 0


if __name__ == "__main__":
    sys.exit(main())
