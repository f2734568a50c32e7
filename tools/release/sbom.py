"""The package's software bill of materials: a CycloneDX JSON document listing the package, each of
its files with its SHA-256 sum, and the components statically linked into the exe with the Debian
package and version each came from and its licence.

    sbom.py check ZIP   exits 1 when a file's sum in the document differs from the zip member's,
                        or a file of the zip is missing from the document (or the other way round)

The document lists every file of the package but itself and SHA256SUMS, which lists the document.
"""
import datetime
import hashlib
import json
import sys
import uuid
import zipfile

import linked

NAME = "parvolet.cdx.json"
SUMS = "SHA256SUMS"
SPEC_VERSION = "1.6"


def file_ref(name):
    return "file:" + name


def document(components, members, version, platform, epoch):
    """The document's text. MEMBERS: (name, bytes) of the package's other files, the exe first.
    Everything in it comes from the inputs, so the same inputs give the same bytes: the serial
    number too is derived from them."""
    exe_name, exe = members[0]
    package_ref = "parvolet-%s-%s" % (version, platform)
    serial = uuid.uuid5(uuid.NAMESPACE_URL, "urn:parvolet:%s:%s" % (package_ref, hashlib.sha256(exe).hexdigest()))
    files = [{"type": "file", "bom-ref": file_ref(name), "name": name,
              "hashes": [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()}]}
             for name, data in members]
    libraries = []
    for component in components:
        libraries.append({
            "type": "library",
            "bom-ref": "deb:%s:%s" % (component["package"], component["name"]),
            "name": component["name"],
            "version": component["version"],
            "description": component["about"],
            "licenses": [{"expression": component["license"]}],
            "purl": "pkg:deb/debian/%s@%s?arch=%s" % (component["package"], component["version"],
                                                      component["architecture"]),
            "properties": [{"name": "debian:package", "value": component["package"]},
                           {"name": "parvolet:linked-from", "value": " ".join(component["files"])}],
        })
    timestamp = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    bom = {
        "bomFormat": "CycloneDX",
        "specVersion": SPEC_VERSION,
        "serialNumber": serial.urn,
        "version": 1,
        "metadata": {
            "timestamp": timestamp.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "component": {"type": "application", "bom-ref": package_ref, "name": "parvolet",
                          "version": version,
                          "description": "Parvolet for Windows (%s), the release package" % platform},
        },
        "components": files + libraries,
        "dependencies": [
            {"ref": package_ref, "dependsOn": [file_ref(name) for name, _ in members]},
            {"ref": file_ref(exe_name), "dependsOn": [library["bom-ref"] for library in libraries]},
        ],
    }
    return json.dumps(bom, indent=2) + "\n"


def sum_problems(bom_text, members):
    """What disagrees between the document's file sums and MEMBERS {name: bytes}."""
    listed = {}
    for component in json.loads(bom_text).get("components", []):
        if component.get("type") == "file":
            sums = [h["content"] for h in component.get("hashes", []) if h.get("alg") == "SHA-256"]
            listed[component.get("name")] = sums[0] if sums else None
    problems = []
    for name in sorted(set(listed) | set(members)):
        if name not in members:
            problems.append("%s is listed but not in the package" % name)
        elif name not in listed:
            problems.append("%s is in the package but not listed" % name)
        elif listed[name] != hashlib.sha256(members[name]).hexdigest():
            problems.append("%s: the listed SHA-256 is not the file's" % name)
    return problems


def main():
    if len(sys.argv) != 3 or sys.argv[1] != "check":
        sys.exit(__doc__)
    with zipfile.ZipFile(sys.argv[2]) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    if NAME not in members:
        sys.exit("sbom: %s has no %s" % (sys.argv[2], NAME))
    bom_text = members.pop(NAME).decode("utf-8")
    members.pop(SUMS, None)
    linked.exit_with("sbom", sum_problems(bom_text, members))


if __name__ == "__main__":
    main()
