"""What a linked exe holds that we did not write: the objects the link map shows coming from outside
the build tree, the Debian package each came from, and the third-party component it belongs to.

The notices and the SBOM are made from this, and the package check compares the notices with the
map again, so a library that starts being linked (or a toolchain that moves its files) cannot slip
into a release without its licence.
"""
import fnmatch
import os
import re
import subprocess
import sys

# The components the exe may link, by Debian package and file name; the first match wins. {arch}
# is the package's architecture part: i686 or x86-64. A library that none of these names stops the
# release: its licence has to be looked at, and the component added here, by a person.
COMPONENTS = [
    {"name": "winpthreads", "package": "mingw-w64-{arch}-dev",
     "files": ["libpthread.a", "libwinpthread.a"], "license": "MIT AND BSD-3-Clause",
     "about": "POSIX threads for Windows, from the MinGW-w64 project (used by the C++ run-time)"},
    {"name": "MinGW-w64 run-time", "package": "mingw-w64-{arch}-dev",
     "files": ["crt*.o", "lib*.a"], "license": "ZPL-2.1",
     "about": "start-up code, the C library extensions and the system DLLs' import libraries"},
    {"name": "libstdc++", "package": "g++-mingw-w64-{arch}-posix",
     "files": ["libstdc++.a", "libsupc++.a"], "license": "GPL-3.0-or-later WITH GCC-exception-3.1",
     "about": "the GNU C++ standard library"},
    {"name": "libgcc", "package": "gcc-mingw-w64-{arch}-posix",
     "files": ["libgcc.a", "libgcc_eh.a", "crtbegin.o", "crtend.o"],
     "license": "GPL-3.0-or-later WITH GCC-exception-3.1",
     "about": "GCC's low-level run-time and exception unwinding"},
]

MEMBER = re.compile(r"^(\S.*?)\((.+)\)$")


class Unknown(Exception):
    """An object from outside the tree that no component (or no Debian package) accounts for."""


def read_map(path):
    with open(path, encoding="utf-8", errors="replace") as f:  # symbols may hold any bytes
        return f.read()


def exit_with(tool, problems):
    """Ends a check: each problem on a line of its own, and status 1 when there is any."""
    for problem in problems:
        print("%s: %s" % (tool, problem), file=sys.stderr)
    sys.exit(1 if problems else 0)


def external_inputs(map_text):
    """{absolute path: set of member names} of what the link took from outside the build tree: the
    archive members it pulled in, and plain objects it loaded (member name None). Relative paths
    are the build tree's own (ours)."""
    lines = map_text.splitlines()
    if not lines or not lines[0].startswith("Archive member included"):
        raise ValueError("not a GNU ld link map")
    inputs = {}
    for line in lines[1:]:
        if line.startswith("Discarded input sections") or line.startswith("Memory Configuration"):
            break
        found = MEMBER.match(line)
        if found and os.path.isabs(found.group(1)):
            inputs.setdefault(os.path.realpath(found.group(1)), set()).add(found.group(2))
    for line in lines:
        if line.startswith("LOAD /"):
            path = os.path.realpath(line[5:].strip())
            if not path.endswith(".a"):  # an archive given to the link adds only the members above
                inputs.setdefault(path, set()).add(None)
    return inputs


def owning_package(path):
    """The installed Debian package that owns PATH, or None."""
    result = subprocess.run(["dpkg-query", "-S", os.path.realpath(path)], capture_output=True, text=True)
    # "pkg[:arch]: /path"; a diversion prints lines of its own first.
    for line in result.stdout.splitlines() if result.returncode == 0 else []:
        if ": " in line and not line.startswith("diversion "):
            return line.split(": ", 1)[0].split(",")[0].split(":")[0].strip()
    return None


def package_version(package):
    """(version, architecture) of an installed Debian package."""
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}\t${Architecture}", package], check=True,
                         capture_output=True, text=True).stdout
    version, architecture = out.strip().split("\t")
    return version, architecture


def arch_of(package):
    for arch in ("i686", "x86-64"):
        if "-" + arch + "-" in package:
            return arch
    return None


def classify(map_text):
    """The components the map shows linked, in COMPONENTS order: a list of dicts with name,
    license, about, package, version, architecture and files (base names of the libraries linked
    from). Raises Unknown for an object no component accounts for."""
    found = {}
    for path in sorted(external_inputs(map_text)):
        package = owning_package(path)
        if package is None:
            raise Unknown("%s: no installed Debian package owns it" % path)
        base = os.path.basename(path)
        arch = arch_of(package)
        for index, component in enumerate(COMPONENTS):
            if arch and component["package"].format(arch=arch) == package and \
                    any(fnmatch.fnmatchcase(base, pattern) for pattern in component["files"]):
                entry = found.setdefault(index, dict(component, package=package, files=[]))
                if base not in entry["files"]:
                    entry["files"].append(base)
                break
        else:
            raise Unknown("%s (Debian package %s) belongs to no known component; add it to "
                          "tools/release/linked.py once its licence is known" % (path, package))
    result = []
    for index in sorted(found):
        entry = found[index]
        entry["version"], entry["architecture"] = package_version(entry["package"])
        entry["files"].sort()
        result.append(entry)
    return result
