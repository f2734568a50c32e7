"""THIRD-PARTY-NOTICES.txt: every component linked into the exe, the files and Debian package it
came from, and that package's copyright file as installed on the build machine.

    notices.py check MAP NOTICES   exits 1, naming each object of the link map from a library (or
                                   package) that the notices do not name
"""
import os
import re
import sys

import linked

COPYRIGHT = "/usr/share/doc/{}/copyright"
PACKAGE_LINE = re.compile(r"^   Debian package: (\S+) ")
FILES_LINE = re.compile(r"^   Linked from: (.+)$")


def render(components, program, version, platform):
    title = "Third-party notices for %s %s (%s)" % (program, version, platform)
    out = [title, "=" * len(title), "",
           "%s is linked statically with the components below. Each names the files it was linked" % program,
           "from and the Debian package they came from; the licence texts follow, as that package's",
           "copyright file gives them.", ""]
    for number, component in enumerate(components, 1):
        out += ["%d. %s: %s" % (number, component["name"], component["about"]),
                "   Licence: " + component["license"],
                "   Debian package: %s %s" % (component["package"], component["version"]),
                "   Linked from: " + ", ".join(component["files"]), ""]
    texts = {}  # copyright text -> the package it was printed for; gcc's packages share one text
    packages = list(dict.fromkeys(component["package"] for component in components))
    for package in packages:
        path = COPYRIGHT.format(package)
        with open(path, encoding="utf-8") as f:
            text = f.read().rstrip("\n")
        heading = "Licence texts of %s (%s)" % (package, path)
        out += ["", heading, "-" * len(heading), ""]
        if text in texts:
            out.append("The same text as for %s above." % texts[text])
        else:
            texts[text] = package
            out.append(text)
    return "\n".join(out) + "\n"


def named(notices_text):
    """{(package, file name)} that the notices name."""
    pairs = set()
    package = None
    for line in notices_text.splitlines():
        found = PACKAGE_LINE.match(line)
        if found:
            package = found.group(1)
        found = FILES_LINE.match(line)
        if found and package:
            pairs |= {(package, name.strip()) for name in found.group(1).split(",")}
    return pairs


def uncovered(map_text, notices_text):
    """The objects of the link map that come from a library the notices do not name."""
    pairs = named(notices_text)
    problems = []
    for path, members in sorted(linked.external_inputs(map_text).items()):
        package = linked.owning_package(path)
        if (package, os.path.basename(path)) not in pairs:
            member = sorted(m for m in members if m)
            what = "%s(%s)" % (path, member[0]) if member else path
            problems.append("%s, from %s, is not named in the notices" %
                            (what, "Debian package " + package if package else "no Debian package"))
    return problems


def main():
    if len(sys.argv) != 4 or sys.argv[1] != "check":
        sys.exit(__doc__)
    with open(sys.argv[3], encoding="utf-8") as f:
        notices_text = f.read()
    linked.exit_with("notices", uncovered(linked.read_map(sys.argv[2]), notices_text))


if __name__ == "__main__":
    main()
