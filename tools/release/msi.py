"""Writes the Windows Installer package of one platform from its release zip: a per-machine
install of the zip's files into that platform's Program Files folder, with the public properties
SERVERADDRESS, PORT and CLIENTID written into the [Network] section of the installed Parvolet.ini.
Without them the zip's commented sample is installed as it is; each one given replaces its line
in it. An upgrade reads the settings of the installed file first (tools/release/msi/settings.c),
so it keeps them unless new ones are given. Uninstalling removes every file, the folder and the
uninstall entry.

wixl builds the package; what it cannot write (the INI rows, the removal rows, the order of the
actions) msibuild adds. The bytes depend only on the inputs and the date: the package code is
derived from them and both tools run at the given time (faketime)."""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid
import zipfile
from xml.sax.saxutils import escape, quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))

# Fixed for the life of the product: a new one would install beside the old package instead of
# upgrading it, or leave its files behind on removal. Each width has its own, so both install side
# by side and each removes only its own files.
CODES = {
    "win32": {
        "UpgradeCode": "EC7E9672-E473-4868-84FF-72587DCC5B1E",
        "Program": "BFFCE459-4AB1-495A-83DF-FA7EAC855CB6",
        "Settings": "60025A87-E441-4B16-8D48-6367F4A74012",
        "Readme": "872CB7CB-C243-4067-BFB1-25467A4F5D5F",
        "Notices": "85E7E764-CB32-473C-84F1-6F5C6D620631",
        "Sbom": "42E4852F-3DFF-4F7E-A040-798CD1432E6E",
        "IniServerAddress": "1ED799B6-72C9-49CA-A96C-53691B1E4F6A",
        "IniPort": "FA6270CB-1866-40B4-B578-DA7168274F6C",
        "IniClientId": "4BFC9893-FE4D-4DC5-BAAE-540ABAD00B25",
    },
    "win64": {
        "UpgradeCode": "F2C28D65-4C75-4E43-A22C-C77A9869FDD0",
        "Program": "81C7A2F5-28A8-4097-BFCF-4611D133CFA3",
        "Settings": "3F01853C-1231-4073-8B92-E8F617BA6BD0",
        "Readme": "285F6DCC-177B-4E49-A6E8-74A85B10EF3D",
        "Notices": "C1D10CAC-7EFA-47FF-87EC-EB336D376AB4",
        "Sbom": "68CC5EF6-0C5F-499C-9FFA-ECBC76FA4E3B",
        "IniServerAddress": "2838A70A-7C41-45AB-ACBB-231AAB974CDB",
        "IniPort": "4F356915-54FE-44BD-9E03-51512606ECF0",
        "IniClientId": "B85BF638-5132-463A-8E13-DC25B04B56F3",
    },
}
# Product and package codes are derived under this name space: the same version of a platform is
# the same product, and different bytes are a different package.
NAMESPACE = uuid.UUID("7F8288FE-D4FF-441F-B420-665F09BB7A0E")

PLATFORMS = {
    # platform: (wixl's -a, Program Files property, compiler prefix, entry symbol, bits text)
    "win32": ("x86", "ProgramFilesFolder", "i686-w64-mingw32", "_DllEntry@12", "32-bit"),
    "win64": ("x64", "ProgramFiles64Folder", "x86_64-w64-mingw32", "DllEntry", "64-bit"),
}
FILES = [  # component, zip member
    ("Program", "parvolet.exe"),
    ("Settings", "Parvolet.ini"),
    ("Readme", "README.txt"),
    ("Notices", "THIRD-PARTY-NOTICES.txt"),
    ("Sbom", "parvolet.cdx.json"),
]
# The settings a public property writes: component (installed only when the property is given, or
# kept from the installed file), property, key.
SETTINGS = [("IniServerAddress", "SERVERADDRESS", "ServerAddress"),
            ("IniPort", "PORT", "Port"),
            ("IniClientId", "CLIENTID", "ClientID")]


def run(args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        sys.exit("msi: %s failed:\n%s%s" % (args[0], result.stdout, result.stderr))
    return result


def build_action(platform, output):
    """The custom action DLL: no C run-time, no time stamp, a fixed image base, so its bytes repeat."""
    _, _, prefix, entry, _ = PLATFORMS[platform]
    run([prefix + "-gcc", "-O2", "-Wall", "-Wextra", "-Werror", "-fno-tree-loop-distribute-patterns",
         "-ffile-prefix-map=%s=." % HERE, "-shared", "-nostdlib", "-s", "-Wl,--no-insert-timestamp",
         # The linker would derive the image base from the output's path, a fresh folder each time.
         "-Wl,--disable-auto-image-base",
         "-Wl,--kill-at", "-Wl,-e," + entry, "-o", output, os.path.join(HERE, "msi", "settings.c"),
         "-lmsi", "-luser32", "-lkernel32"])


def source(platform, version, url, product_code):
    """The WiX source; its file names are relative to the staging folder, where wixl runs."""
    arch, program_files, _, _, bits = PLATFORMS[platform]
    codes = CODES[platform]
    win64 = ' Win64="yes"' if platform == "win64" else ""
    name = "Parvolet (%s)" % bits
    comments = "Parvolet %s for %s Windows" % (version, bits) + (", " + url if url else "")
    components = "".join(
        '          <Component Id="%s" Guid="%s"%s>\n'
        '            <File Id="%s" Name="%s" Source=%s KeyPath="yes"/>\n'
        '          </Component>\n' % (component, codes[component], win64, component, member,
                                      quoteattr(member))
        for component, member in FILES)
    refs = "".join('      <ComponentRef Id="%s"/>\n' % component for component, _ in FILES)
    url_property = '    <Property Id="ARPURLINFOABOUT" Value=%s/>\n' % quoteattr(url) if url else ""
    return """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="%(product)s" Name="%(name)s" Language="1033" Version="%(version)s" Manufacturer="Parvolet" UpgradeCode="%(upgrade)s">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine" Description="%(name)s %(version)s" Comments=%(comments)s/>
    <Media Id="1" Cabinet="parvolet.cab" EmbedCab="yes"/>
    <MajorUpgrade DowngradeErrorMessage="A newer version of Parvolet is already installed."/>
%(url_property)s    <Property Id="ARPNOMODIFY" Value="1"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="%(program_files)s">
        <Directory Id="ProductFolder" Name="Parvolet">
%(components)s        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1">
%(refs)s    </Feature>
  </Product>
</Wix>
""" % dict(product=product_code, name=name, version=escape(version), upgrade=codes["UpgradeCode"],
           comments=quoteattr(comments), url_property=url_property, program_files=program_files,
           components=components, refs=refs)


def idt(path, columns, types, table, rows):
    with open(path, "w", newline="\r\n") as f:
        f.write("\t".join(columns) + "\n" + "\t".join(types) + "\n" + table + "\t" + columns[0] + "\n")
        for row in rows:
            f.write("\t".join("" if cell is None else str(cell) for cell in row) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--zip", required=True, help="the platform's release zip")
    parser.add_argument("--platform", required=True, choices=sorted(PLATFORMS))
    parser.add_argument("--version", required=True, help="major.minor.build")
    parser.add_argument("--url", default="", help="the publisher's URL")
    parser.add_argument("--date", type=int, required=True, help="seconds since 1970, UTC")
    parser.add_argument("--output", required=True)
    args = parser.parse_args()
    parts = args.version.split(".")
    if not (1 <= len(parts) <= 4 and all(p.isdigit() for p in parts)):
        sys.exit("msi: version %r is not major.minor.build" % args.version)

    stage = tempfile.mkdtemp(prefix="parvolet-msi-")
    try:
        with zipfile.ZipFile(args.zip) as archive:
            for _, member in FILES:
                with open(os.path.join(stage, member), "wb") as f:
                    f.write(archive.read(member))
        # The cabinet records each file's time.
        for _, member in FILES:
            os.utime(os.path.join(stage, member), (args.date, args.date))
        build_action(args.platform, os.path.join(stage, "settings.dll"))

        product_code = str(uuid.uuid5(NAMESPACE, "product %s %s" % (args.platform, args.version))).upper()
        text = source(args.platform, args.version, args.url, product_code)
        digest = hashlib.sha256(text.encode("utf-8"))
        for name in [m for _, m in FILES] + ["settings.dll"]:
            with open(os.path.join(stage, name), "rb") as f:
                digest.update(f.read())
        wxs = os.path.join(stage, "parvolet.wxs")
        with open(wxs, "w", encoding="utf-8") as f:
            f.write(text)

        env = dict(os.environ, TZ="UTC")
        faked = ["faketime", "-f", time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(args.date))]
        partial = args.output + ".partial"
        if os.path.exists(partial):
            os.remove(partial)
        run(faked + ["wixl", "-a", PLATFORMS[args.platform][0], "-o", partial, wxs], env=env, cwd=stage)

        attributes = 256 if args.platform == "win64" else 0  # msidbComponentAttributes64bit
        idt(os.path.join(stage, "IniFile.idt"),
            ["IniFile", "FileName", "DirProperty", "Section", "Key", "Value", "Action", "Component_"],
            ["s72", "l255", "S72", "l96", "l128", "l255", "i2", "s72"], "IniFile",
            [(c, "Parvolet.ini", "ProductFolder", "Network", key, "[%s]" % prop, 0, c) for c, prop, key in SETTINGS])
        # The folder and the INI go on removal even when the file was made or changed after the
        # install (the INI rows write it in place).
        idt(os.path.join(stage, "RemoveFile.idt"),
            ["FileKey", "Component_", "FileName", "DirProperty", "InstallMode"],
            ["s72", "s72", "L255", "s72", "i2"], "RemoveFile",
            [("RemoveSettings", "Program", "Parvolet.ini", "ProductFolder", 2),
             ("RemoveProductFolder", "Program", None, "ProductFolder", 2)])
        program_files = PLATFORMS[args.platform][1]
        queries = []
        for component, prop, _ in SETTINGS:
            queries += ["INSERT INTO `Component` (`Component`, `ComponentId`, `Directory_`, `Attributes`, `Condition`) "
                        "VALUES ('%s', '{%s}', 'ProductFolder', %d, '%s')"
                        % (component, CODES[args.platform][component], attributes, prop),
                        "INSERT INTO `FeatureComponents` (`Feature_`, `Component_`) VALUES ('Complete', '%s')" % component]
        # The custom actions are added here, not by wixl, which orders their rows differently from
        # one run to the next. The settings are located, checked and read before the components
        # are chosen, since the INI rows' components depend on them; the old product goes before
        # anything is installed (its files, and the INI it wrote, are removed before the new ones
        # are written).
        queries += ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
                    "('LocateSettings', 51, 'ParvoletOldSettings', '[%s]Parvolet\\Parvolet.ini')" % program_files,
                    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
                    "('ReadSettings', 1, 'SettingsAction', 'ReadSettings')"]
        queries += ["INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES "
                    "('%s', 'NOT (REMOVE~=\"ALL\")', %d)" % (a, n) for a, n in [("LocateSettings", 950), ("ReadSettings", 960)]]
        queries += ["UPDATE `InstallExecuteSequence` SET `Sequence` = 1410 WHERE `Action` = 'RemoveExistingProducts'"]
        queries += ["INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('%s', %d)" % (a, n)
                    for a, n in [("RemoveIniValues", 3100), ("WriteIniValues", 5100)]]
        queries += ["INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('PreventDowngrade', 19, "
                    "'A newer version of Parvolet is already installed: remove it first to install this one.')",
                    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
                    "VALUES ('PreventDowngrade', 'WIX_DOWNGRADE_DETECTED', 30)"]
        # Public properties reach the server side of a per-machine install only when listed as secure.
        queries.append("UPDATE `Property` SET `Value` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;%s' "
                       "WHERE `Property` = 'SecureCustomProperties'" % ";".join(p for _, p, _ in SETTINGS))
        os.mkdir(os.path.join(stage, "Binary"))
        shutil.copyfile(os.path.join(stage, "settings.dll"), os.path.join(stage, "Binary", "SettingsAction.dll"))
        idt(os.path.join(stage, "Binary.idt"), ["Name", "Data"], ["s72", "v0"], "Binary",
            [("SettingsAction", "SettingsAction.dll")])
        command = faked + ["msibuild", partial, "-i", os.path.join(stage, "IniFile.idt"),
                           "-i", os.path.join(stage, "RemoveFile.idt"), "-i", os.path.join(stage, "Binary.idt")]
        for query in queries:
            command += ["-q", query]
        run(command, env=env, cwd=stage)
        # Everything that makes the bytes names the package.
        digest.update("\n".join(queries).encode("utf-8"))
        for name in ("IniFile.idt", "RemoveFile.idt", "Binary.idt"):
            with open(os.path.join(stage, name), "rb") as f:
                digest.update(f.read())
        package_code = "{%s}" % str(uuid.uuid5(NAMESPACE, "package " + digest.hexdigest())).upper()
        run(faked + ["msibuild", partial, "-s", "Parvolet %s (%s)" % (args.version, PLATFORMS[args.platform][4]),
                     "Parvolet", "%s;1033" % ("x64" if args.platform == "win64" else "Intel"), package_code],
            env=env, cwd=stage)
        os.replace(partial, args.output)
    finally:
        shutil.rmtree(stage, ignore_errors=True)


if __name__ == "__main__":
    main()
