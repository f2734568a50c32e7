"""Writes the release zip: parvolet.exe, the sample Parvolet.ini, README.txt,
THIRD-PARTY-NOTICES.txt, the CycloneDX SBOM and SHA256SUMS. The zip's bytes depend only on its
inputs, the installed toolchain packages and the given date: fixed member order, one timestamp for
every member, fixed permissions, no extra fields. README.txt is the users' section of README.md, so
the two never disagree; the notices and the SBOM name what the link map shows linked."""
import argparse
import hashlib
import os
import re
import sys
import time
import zipfile

import linked
import notices
import sbom

SECTION = "## For users and administrators"


def crlf(text, encoding="ascii"):
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode(encoding)


def users_section(readme):
    """The section from its heading to the next second-level heading, as plain text."""
    lines = readme.splitlines()
    try:
        start = lines.index(SECTION)
    except ValueError:
        sys.exit("package: README.md has no line %r" % SECTION)
    body = []
    for line in lines[start + 1:]:
        if line.startswith("## "):
            break
        body.append(line)
    out = ["Parvolet: for users and administrators", "=" * 39]
    in_code = False
    for line in body:
        if line.startswith("```"):
            in_code = not in_code
            continue
        if in_code:
            out.append("    " + line if line else "")
            continue
        heading = re.match(r"^#{3,} (.*)$", line)
        if heading:
            out += [heading.group(1), "-" * len(heading.group(1))]
            continue
        out.append(line.replace("`", ""))
    while out and out[-1] == "":
        out.pop()
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--ini", required=True, help="the sample Parvolet.ini (any line ends)")
    parser.add_argument("--readme", required=True, help="README.md holding the users' section")
    parser.add_argument("--map", required=True, help="the exe's link map")
    parser.add_argument("--version", required=True)
    parser.add_argument("--platform", required=True, help="win32 or win64")
    parser.add_argument("--date", type=int, required=True, help="seconds since 1970, UTC")
    parser.add_argument("--output", required=True)
    args = parser.parse_args()

    with open(args.exe, "rb") as f:
        exe = f.read()
    with open(args.ini, encoding="ascii") as f:
        ini = crlf(f.read())
    with open(args.readme, encoding="utf-8") as f:
        readme = crlf(users_section(f.read()))  # the section itself must be plain ASCII
    try:
        components = linked.classify(linked.read_map(args.map))
    except linked.Unknown as unknown:
        sys.exit("package: %s" % unknown)
    third_party = crlf(notices.render(components, "parvolet.exe", args.version, args.platform), "utf-8")
    members = [("parvolet.exe", exe), ("Parvolet.ini", ini), ("README.txt", readme),
               ("THIRD-PARTY-NOTICES.txt", third_party)]
    bom = sbom.document(components, members, args.version, args.platform, args.date)
    members.append((sbom.NAME, bom.encode("utf-8")))
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in members)
    members.append((sbom.SUMS, sums.encode("ascii")))

    # Zip dates have no zone and start in 1980; they are written as UTC.
    date = time.gmtime(max(args.date, 315532800))[:6]
    partial = args.output + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        for name, data in members:
            info = zipfile.ZipInfo(name, date_time=date)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0   # MS-DOS attributes: nothing Unix-specific in the entry
            info.external_attr = 0
            archive.writestr(info, data, compresslevel=9)
    os.replace(partial, args.output)


if __name__ == "__main__":
    main()
