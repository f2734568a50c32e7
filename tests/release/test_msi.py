"""The Windows Installer packages as an administrator uses them, under Wine's msiexec: a silent
install with the server preset, then the installed program sends its frame to the loopback test
receiver; the sample settings without properties; upgrades that keep or replace the settings;
values the program would misread refused; both widths side by side; removal that leaves nothing.

The packages are build/release's (make-release.sh builds them when they are missing); the higher
versions for the upgrades are made here from the same zips with tools/release/msi.py. Each width
gets a Wine prefix of its own under build/msi-test. The 32-bit package runs where this host runs
32-bit code.

Run as `python3 tests/release/test_msi.py` (PARVOLET_BUILD_DIR moves build/); the last line is
`msi: N passed, M failed`.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

from release_run import BUILD, RELEASE, ROOT, TOOLS, run_counted

WORK = os.path.join(BUILD, "msi-test")
RECEIVER = os.path.join(BUILD, "native", "tools", "receiver", "receiver")
OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"
# Under Wine, msiexec's exit status reaches us cut to 8 bits.
INSTALL_FAILURE = 1603 & 0xFF
WAIT_SECONDS = 300  # bounds a hang on a loaded machine; no install takes near this long

sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from harness import Receiver  # noqa: E402


def cmake_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(Parvolet VERSION ([0-9.]+)", f.read()).group(1)


VERSION = cmake_version()


def later(step):
    """A version above this one: the last part raised by step."""
    parts = VERSION.split(".")
    parts[-1] = str(int(parts[-1]) + step)
    return ".".join(parts)


def can_run_32_bit():
    return subprocess.run(["bash", os.path.join(ROOT, "tools", "wine", "can-run-wine32.sh")],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def network_values(text):
    """What the program reads from the settings: the first [Network] section's keys, by its rules
    (comment cut before the header test, names regardless of case, values trimmed, ";" and "="
    part of a value)."""
    values, inside = {}, False
    for line in text.replace("\r\n", "\n").split("\n"):
        head = line.split(";", 1)[0]
        name = head[head.index("[") + 1:].split("]", 1)[0].strip() if "[" in head else ""
        if not inside:
            inside = name.upper() == "NETWORK"
            continue
        if name:
            break
        if "=" in line:
            key, value = line.split("=", 1)
            values.setdefault(key.strip().upper(), value.strip())
    return {k: values.get(k.upper(), "") for k in ("ServerAddress", "Port", "ClientID")}


class Prefix:
    """One Wine prefix of a width, with its server kept running for the whole class."""

    def __init__(self, width):
        self.width = width
        self.path = os.path.join(WORK, "prefix-%d" % width)
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES=OVERRIDES)
        if width == 64:
            self.env.update(WINEARCH="win64", WINELOADER="/usr/lib/wine/wine64")
            self.wine = "/usr/lib/wine/wine64"
        else:
            self.env.update(WINEARCH="win32")
            self.wine = "wine"
        shutil.rmtree(self.path, ignore_errors=True)
        self.run(["wineboot", "-i"])
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=WAIT_SECONDS)
        # Background services inherit stdio: a server of our own, with none, outlives each step.
        subprocess.run(["wineserver", "-p20"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        self.run(["cmd.exe", "/c", "exit"])

    def run(self, args, timeout=WAIT_SECONDS):
        # Output to a file, not a pipe: a helper process that Wine starts (the custom action server
        # of the other width) may outlive the command and would hold a pipe open.
        with tempfile.TemporaryFile() as output:
            result = subprocess.run([self.wine] + args, env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=output, stderr=subprocess.STDOUT, timeout=timeout)
            output.seek(0)
            return result.returncode, output.read().decode("utf-8", "replace")

    def unix(self, folder):
        return os.path.join(self.path, "drive_c", folder)

    def msiexec(self, *args):
        log = os.path.join(WORK, "msiexec-%d-%d.log" % (self.width, time.monotonic_ns()))
        status, _ = self.run(["msiexec"] + list(args) + ["/l*v", "Z:" + log.replace("/", "\\")])
        with open(log, "rb") as f:
            data = f.read()
        return status, data.decode("utf-16" if data.startswith(b"\xff\xfe") else "latin-1", "replace")

    def uninstall_entries(self, codes=False):
        """Display name, version and URL of each Parvolet entry in Add/Remove Programs (both
        views); with codes, the product codes that name the entries instead."""
        entries = []
        for view in ("Software", "Software\\Wow6432Node"):
            key = "HKLM\\%s\\Microsoft\\Windows\\CurrentVersion\\Uninstall" % view
            _, text = self.run(["reg", "query", key, "/s"])
            for block in re.split(r"\r?\n(?=HKEY_)", text):
                name = re.search(r"DisplayName\s+REG_SZ\s+(.*)", block)
                if name and "Parvolet" in name.group(1):
                    version = re.search(r"DisplayVersion\s+REG_SZ\s+(.*)", block)
                    url = re.search(r"URLInfoAbout\s+REG_SZ\s+(.*)", block)
                    code = re.search(r"\\Uninstall\\(\{[0-9A-F-]+\})", block)
                    entries.append(code.group(1) if codes else
                                   (name.group(1).strip(), version.group(1).strip() if version else "",
                                    url.group(1).strip() if url else ""))
        return sorted(entries)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)


def package(platform, version=VERSION):
    """The package of the platform at the version: the release's own, or one made from its zip."""
    if version == VERSION:
        return os.path.join(RELEASE, "parvolet-%s-%s.msi" % (VERSION, platform))
    path = os.path.join(WORK, "parvolet-%s-%s.msi" % (version, platform))
    if not os.path.exists(path):
        subprocess.run([sys.executable, os.path.join(TOOLS, "msi.py"), "--zip",
                        os.path.join(RELEASE, "parvolet-%s-%s.zip" % (VERSION, platform)),
                        "--platform", platform, "--version", version, "--url", "https://parvolet.invalid/",
                        "--date", "1700000000", "--output", path], check=True, timeout=WAIT_SECONDS)
    return path


def windows(path):
    return "Z:" + path.replace("/", "\\")


class Installs:
    """The cases of one width; the subclasses name it."""
    platform = width = folder = None

    @classmethod
    def setUpClass(cls):
        if cls.width == 32 and not can_run_32_bit():
            raise unittest.SkipTest("this host runs no 32-bit code")
        cls.prefix = Prefix(cls.width)

    @classmethod
    def tearDownClass(cls):
        cls.prefix.close()

    def setUp(self):
        # A case that failed half-way must not leave its products to the next one.
        for code in self.prefix.uninstall_entries(codes=True):
            self.prefix.msiexec("/x", code, "/qn")

    def install_folder(self):
        return self.prefix.unix(os.path.join(self.folder, "Parvolet"))

    def settings(self):
        with open(os.path.join(self.install_folder(), "Parvolet.ini"), "rb") as f:
            return f.read()

    def install(self, version=VERSION, *properties, platform=None):
        status, log = self.prefix.msiexec("/i", windows(package(platform or self.platform, version)), "/qn",
                                          *properties)
        self.assertEqual(0, status, log[-3000:])

    def uninstall(self, platform=None):
        status, log = self.prefix.msiexec("/x", windows(package(platform or self.platform)), "/qn")
        self.assertEqual(0, status, log[-3000:])

    def assert_nothing_left(self):
        self.assertFalse(os.path.exists(self.install_folder()),
                         os.listdir(self.install_folder()) if os.path.exists(self.install_folder()) else "")
        self.assertEqual([], self.prefix.uninstall_entries())

    def test_silent_install_with_the_server_preset_sends_the_exact_frame(self):
        receiver = Receiver(RECEIVER, timeout_seconds=WAIT_SECONDS)
        program = None
        try:
            self.install(VERSION, "SERVERADDRESS=127.0.0.1", "PORT=%d" % receiver.port, "CLIENTID=-77")
            self.assertEqual({"ServerAddress": "127.0.0.1", "Port": str(receiver.port), "ClientID": "-77"},
                             network_values(self.settings().decode("ascii")))
            entries = self.prefix.uninstall_entries()
            self.assertEqual([("Parvolet (%d-bit)" % self.width, VERSION, "https://parvolet.invalid/")], entries)
            payload = b"sent by the installed program\n" * 100
            sent = os.path.join(WORK, "payload-%d.txt" % self.width)
            with open(sent, "wb") as f:
                f.write(payload)
            exe = "C:\\%s\\Parvolet\\parvolet.exe" % self.folder
            program = subprocess.Popen([self.prefix.wine, exe, windows(sent)], env=self.prefix.env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            record = receiver.next_record(timeout=WAIT_SECONDS)
            self.assertIsNotNone(record, "the installed program sent nothing")
            self.assertEqual(-77, record["client_id"])
            self.assertEqual(len(payload), record["length"])
            self.assertEqual(hashlib.sha256(payload).hexdigest(), record["sha256"])
            self.assertTrue(record["well_formed"], record)
            self.assertEqual(20 + len(payload), record["bytes_received"])
        finally:
            if program:
                program.kill()
                program.wait(timeout=60)
            receiver.stop()
        self.uninstall()
        self.assert_nothing_left()

    def test_sample_then_upgrades_keep_or_replace_the_settings(self):
        with self.subTest("no properties: the zip's sample"):
            self.install(VERSION)
            with zipfile.ZipFile(os.path.join(RELEASE, "parvolet-%s-%s.zip" % (VERSION, self.platform))) as z:
                sample = z.read("Parvolet.ini")
            self.assertEqual(sample, self.settings())
        # An administrator's later edit is what an upgrade must keep, not what was installed.
        with open(os.path.join(self.install_folder(), "Parvolet.ini"), "wb") as f:
            f.write(b"; ours\r\n[Network]\r\nServerAddress = 10.1.2.3\r\nPort=7000\r\nclientid = 99\r\n")
        with self.subTest("upgrade without properties keeps them"):
            self.install(later(1))
            self.assertEqual({"ServerAddress": "10.1.2.3", "Port": "7000", "ClientID": "99"},
                             network_values(self.settings().decode("ascii")))
            self.assertEqual([later(1)], [v for _, v, _ in self.prefix.uninstall_entries()])
        with self.subTest("upgrade with a new value takes it and keeps the rest"):
            self.install(later(2), "SERVERADDRESS=10.9.9.9")
            self.assertEqual({"ServerAddress": "10.9.9.9", "Port": "7000", "ClientID": "99"},
                             network_values(self.settings().decode("ascii")))
            self.assertEqual([later(2)], [v for _, v, _ in self.prefix.uninstall_entries()])
        with self.subTest("a lower version is refused and changes nothing"):
            status, log = self.prefix.msiexec("/i", windows(package(self.platform)), "/qn", "SERVERADDRESS=10.7.7.7")
            self.assertEqual(INSTALL_FAILURE, status, log[-3000:])
            self.assertEqual([later(2)], [v for _, v, _ in self.prefix.uninstall_entries()])
            self.assertEqual("10.9.9.9", network_values(self.settings().decode("ascii"))["ServerAddress"])
        status, log = self.prefix.msiexec("/x", windows(package(self.platform, later(2))), "/qn")
        self.assertEqual(0, status, log[-3000:])
        self.assert_nothing_left()

    def test_separators_reach_the_file_and_misread_values_are_refused(self):
        self.install(VERSION, "SERVERADDRESS= my host;note=x ", "CLIENTID=2147483647")
        self.assertEqual({"ServerAddress": "my host;note=x", "Port": "5150", "ClientID": "2147483647"},
                         network_values(self.settings().decode("ascii")))
        self.uninstall()
        for value, why in (("SERVERADDRESS=[::1]", "section header"), ("PORT=0", "port number"),
                           ("PORT=5150x", "port number"), ("CLIENTID=2147483648", "whole number")):
            with self.subTest(value=value):
                status, log = self.prefix.msiexec("/i", windows(package(self.platform)), "/qn", value)
                self.assertEqual(INSTALL_FAILURE, status)
                self.assertRegex(log, r"%s cannot be written to Parvolet.ini: the value [^\n]*%s"
                                 % (re.escape(value), why))
                self.assert_nothing_left()


class Installs64(Installs, unittest.TestCase):
    platform, width, folder = "win64", 64, "Program Files"

    def test_both_widths_side_by_side(self):
        if not can_run_32_bit():
            self.skipTest("this host runs no 32-bit code")
        self.install(VERSION, "SERVERADDRESS=10.0.0.64")
        self.install(VERSION, "SERVERADDRESS=10.0.0.32", platform="win32")
        x86 = self.prefix.unix(os.path.join("Program Files (x86)", "Parvolet"))
        self.assertEqual(["Parvolet (32-bit)", "Parvolet (64-bit)"], [n for n, _, _ in self.prefix.uninstall_entries()])
        self.uninstall()
        self.assertFalse(os.path.exists(self.install_folder()))
        with open(os.path.join(x86, "Parvolet.ini"), "rb") as f:
            self.assertEqual("10.0.0.32", network_values(f.read().decode("ascii"))["ServerAddress"])
        self.assertTrue(os.path.exists(os.path.join(x86, "parvolet.exe")))
        self.uninstall(platform="win32")
        self.assertFalse(os.path.exists(x86))
        self.assert_nothing_left()


class Installs32(Installs, unittest.TestCase):
    platform, width, folder = "win32", 32, "Program Files"


def ensure_packages():
    missing = [p for p in ("win32", "win64") if not os.path.exists(package(p))]
    if missing:
        subprocess.run(["bash", os.path.join(ROOT, "tools", "make-release.sh"), "--url", "https://parvolet.invalid/"],
                       check=True, timeout=3600, env=dict(os.environ, PARVOLET_BUILD_DIR=BUILD))
    if not os.path.exists(RECEIVER):
        sys.exit("test_msi: no receiver at %s: build the native tree's receiver first" % RECEIVER)


def start_display():
    if os.environ.get("DISPLAY"):
        return None
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    if not number:
        xvfb.kill()
        raise RuntimeError("Xvfb did not start")
    os.environ["DISPLAY"] = ":" + number
    return xvfb


if __name__ == "__main__":
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    ensure_packages()
    display = start_display()
    try:
        status = run_counted("msi")
    finally:
        if display:
            display.kill()
            display.wait()
    sys.exit(status)
