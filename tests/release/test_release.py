"""The release as a vendor ships it: both zips and both MSIs signed with a certificate made here for the run (a
throwaway CA and code-signing key, nothing kept), then `make-release.sh --sign ... --check`, which
rebuilds from a copy and compares, verifies the signatures, checks the notices and the SBOM and runs
both signed exes end to end. The cases after it feed the same checks what they must refuse.

Run as `python3 tests/release/test_release.py` (PARVOLET_BUILD_DIR moves build/); the last line is
`release: N passed, M failed`.
"""
import json
import os
import secrets
import shutil
import struct
import subprocess
import sys
import time
import unittest
import zipfile

from release_run import BUILD, RELEASE, ROOT, TOOLS, run_counted

WORK = os.path.join(BUILD, "release-test")
PLATFORMS = ("win32", "win64")
URL = "https://parvolet.invalid/"
# A make-release run builds four trees and runs two exes under Wine (or one on the emulated PC).
RELEASE_SECONDS = 3600

sys.path.insert(0, TOOLS)
import linked  # noqa: E402
import notices  # noqa: E402
import sbom  # noqa: E402


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)


def openssl(*args, env=None):
    result = run(["openssl"] + list(args), cwd=WORK, env=env)
    if result.returncode != 0:
        raise RuntimeError("openssl %s: %s" % (args[0], result.stderr))


def make_certificates(password):
    """ca.pem and signer.p12 (a code-signing certificate the CA issued, with its key) in WORK."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
            "-days", "2", "-subj", "/CN=Parvolet test CA",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key", "-out", "signer.csr",
            "-subj", "/CN=Parvolet test signer")
    with open(os.path.join(WORK, "signer.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-extfile", "signer.ext", "-out", "signer.pem")
    openssl("pkcs12", "-export", "-out", "signer.p12", "-inkey", "signer.key", "-in", "signer.pem",
            "-passout", "env:PARVOLET_TEST_P12_PASSWORD", env=dict(os.environ, PARVOLET_TEST_P12_PASSWORD=password))


def first_section_middle(image):
    """A file offset in the middle of the first section's raw data (code, at either width)."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    section = pe + 24 + optional_size
    raw_size, raw_pointer = struct.unpack_from("<II", image, section + 16)
    return raw_pointer + raw_size // 2


class SignedRelease(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
        password = secrets.token_hex(12)
        make_certificates(password)
        cls.ca = os.path.join(WORK, "ca.pem")
        env = dict(os.environ, PARVOLET_BUILD_DIR=BUILD, PARVOLET_SIGN_PASSWORD=password)
        release = subprocess.run(
            ["bash", os.path.join(ROOT, "tools", "make-release.sh"), "--sign", os.path.join(WORK, "signer.p12"),
             "--url", URL, "--ca", cls.ca, "--check"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env, timeout=RELEASE_SECONDS)
        cls.output, cls.status = release.stdout, release.returncode
        with open(os.path.join(WORK, "make-release.log"), "w") as f:
            f.write(cls.output)
        try:
            with open(os.path.join(RELEASE, "win32-1", "version")) as f:
                cls.version = f.read().strip()
        except OSError:
            raise AssertionError("make-release made no package; its output:\n" + cls.output[-6000:])
        cls.commit_time = int(run(["git", "-C", ROOT, "log", "-1", "--format=%ct"]).stdout)

    def zip_path(self, platform):
        return os.path.join(RELEASE, "parvolet-%s-%s.zip" % (self.version, platform))

    def member(self, platform, name):
        with zipfile.ZipFile(self.zip_path(platform)) as archive:
            return archive.read(name)

    def test_signed_zips_are_reproducible_verified_and_run(self):
        self.assertEqual(0, self.status, "make-release --sign --check failed; its output:\n" + self.output[-6000:])
        for platform in PLATFORMS:
            with self.subTest(platform=platform):
                self.assertRegex(self.output, r"%s signed/parvolet.exe is identical in both builds" % platform)
                self.assertRegex(self.output, r"%s parvolet-.*\.zip is identical in both builds" % platform)
                self.assertRegex(self.output, r"%s signed/parvolet-.*\.msi is identical in both builds" % platform)
                msi = os.path.join(RELEASE, "parvolet-%s-%s.msi" % (self.version, platform))
                verify = run(["osslsigncode", "verify", "-CAfile", self.ca, "-in", msi])
                self.assertEqual(0, verify.returncode, verify.stdout + verify.stderr)
                self.assertIn("URL description: " + URL, verify.stdout)
                info = run(["msiinfo", "suminfo", msi]).stdout
                self.assertIn("Subject: Parvolet %s (%s-bit)" % (self.version, platform[3:]), info)
                self.assertIn(URL, info)
                exe = os.path.join(WORK, "parvolet-%s.exe" % platform)
                with open(exe, "wb") as f:
                    f.write(self.member(platform, "parvolet.exe"))
                verify = run(["osslsigncode", "verify", "-CAfile", self.ca, "-in", exe])
                self.assertEqual(0, verify.returncode, verify.stdout + verify.stderr)
                self.assertIn("Message digest algorithm  : SHA256", verify.stdout)
                self.assertIn("Text description: Parvolet", verify.stdout)
                self.assertIn("URL description: " + URL, verify.stdout)
                signing_time = time.strftime("%b %e %H:%M:%S %Y", time.gmtime(self.commit_time))
                self.assertIn("Signing time: " + signing_time, verify.stdout)

    def test_one_changed_byte_fails_verification(self):
        for platform in PLATFORMS:
            with self.subTest(platform=platform):
                image = bytearray(self.member(platform, "parvolet.exe"))
                offset = first_section_middle(image)
                image[offset] ^= 0x01
                tampered = os.path.join(WORK, "tampered-%s.exe" % platform)
                with open(tampered, "wb") as f:
                    f.write(image)
                unsigned = os.path.join(RELEASE, "%s-1" % platform, "app", "parvolet.exe")
                result = run(["bash", os.path.join(TOOLS, "verify-signature.sh"), tampered, unsigned, self.ca])
                self.assertNotEqual(0, result.returncode, result.stdout)
                self.assertIn("does NOT verify", result.stderr)

    def test_notices_refuse_a_library_they_do_not_name(self):
        link_map = linked.read_map(os.path.join(RELEASE, "win64-1", "app", "parvolet.map"))
        text = self.member("win64", "THIRD-PARTY-NOTICES.txt").decode("utf-8")
        self.assertEqual([], notices.uncovered(link_map, text))
        # The host's own libgcc.a: a name the notices list, but from another package (and licence
        # record); then an archive that no package owns.
        host_libgcc = run(["gcc", "-print-libgcc-file-name"]).stdout.strip()
        for library in (host_libgcc, "/usr/lib/parvolet-test/libunknown.a"):
            with self.subTest(library=library):
                extra = "%s(extra.o)\n                              x.obj (extra)\n" % library
                changed = link_map.replace("\nDiscarded input sections", "\n" + extra + "Discarded input sections", 1)
                problems = notices.uncovered(changed, text)
                self.assertEqual(1, len(problems), problems)
                self.assertIn(os.path.realpath(library), problems[0])

    def test_sbom_refuses_a_wrong_sum_and_an_invalid_document(self):
        with zipfile.ZipFile(self.zip_path("win32")) as archive:
            members = {name: archive.read(name) for name in archive.namelist()}
        bom_text = members.pop(sbom.NAME).decode("utf-8")
        members.pop(sbom.SUMS)
        self.assertEqual([], sbom.sum_problems(bom_text, members))
        changed = dict(members, **{"README.txt": members["README.txt"] + b" "})
        self.assertEqual(["README.txt: the listed SHA-256 is not the file's"], sbom.sum_problems(bom_text, changed))

        bom = json.loads(bom_text)
        bom["components"][0]["hashes"][0]["alg"] = "SHA256"  # the schema spells it SHA-256
        broken = os.path.join(WORK, "broken.cdx.json")
        with open(broken, "w") as f:
            json.dump(bom, f)
        validator = os.path.join(RELEASE, "sbom-validator", "validate.js")
        self.assertEqual(0, run(["node", validator, os.path.join(RELEASE, "check-win32", sbom.NAME)]).returncode)
        result = run(["node", validator, broken])
        self.assertNotEqual(0, result.returncode)
        self.assertIn("/components/0/hashes/0/alg", result.stderr)


if __name__ == "__main__":
    sys.exit(run_counted("release"))
