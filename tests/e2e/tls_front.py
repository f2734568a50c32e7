"""TLS fronts for the end-to-end tests: a throwaway certificate authority made with openssl, stunnel4
in front of the test receiver, and a Wine session that trusts the authority.

The authority is trusted only inside the test's own mount namespace: a copy of the system's
certificate bundle with the authority appended is bind-mounted over the original there, and the
whole Wine session of the test (its own copy of the prefix, so its own wineserver, its own Xvfb,
the program and dlgdrive) runs inside, where Wine imports that bundle as its system roots. The
host's files and every other Wine session are untouched.
"""

import base64
import hashlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
_MARK = "PARVOLET_TLS_NAMESPACE"


def _run(command, **kwargs):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120, **kwargs)


def tools_missing():
    """Why TLS fronts cannot be made here, or None."""
    for tool in ("openssl", "stunnel4", "faketime", "unshare", "mount"):
        if not shutil.which(tool):
            return "%s is not installed" % tool
    if os.geteuid() != 0:
        return "a mount namespace of our own needs root"
    return None


class TestCa:
    """A certificate authority of this test run, and certificates it or nobody signed."""

    def __init__(self, folder, name="Parvolet Test Root"):
        self.folder = folder
        self.cert = os.path.join(folder, "ca.pem")
        self.key = os.path.join(folder, "ca.key")
        _run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out", self.cert,
              "-days", "30", "-subj", "/CN=" + name,
              "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"])

    def issue(self, stem, dns_name, expired=False):
        """A server certificate for dns_name signed by this authority: (cert path, key path).
        expired: its validity ended long ago (made with the clock set back)."""
        cert = os.path.join(self.folder, stem + ".pem")
        key = os.path.join(self.folder, stem + ".key")
        request = os.path.join(self.folder, stem + ".csr")
        extensions = os.path.join(self.folder, stem + ".ext")
        with open(extensions, "w") as f:
            f.write("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n" % dns_name)
        _run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request,
              "-subj", "/CN=" + dns_name])
        sign = ["openssl", "x509", "-req", "-in", request, "-CA", self.cert, "-CAkey", self.key, "-CAcreateserial",
                "-out", cert, "-days", "2" if expired else "20", "-extfile", extensions]
        # The authority itself must be valid then too, or the verdict would be about the root.
        _run((["faketime", "-f", "-10d"] if expired else []) + sign)
        return cert, key

    def self_signed(self, stem, dns_name):
        cert = os.path.join(self.folder, stem + ".pem")
        key = os.path.join(self.folder, stem + ".key")
        _run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
              "-days", "20", "-subj", "/CN=" + dns_name, "-addext", "subjectAltName=DNS:" + dns_name])
        return cert, key


def public_key_pin(cert_path):
    """The base64 SHA-256 of the certificate's SubjectPublicKeyInfo, as TlsPin takes it."""
    key = subprocess.run(["openssl", "x509", "-in", cert_path, "-noout", "-pubkey"], check=True,
                         stdout=subprocess.PIPE, timeout=60).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=key, check=True,
                         stdout=subprocess.PIPE, timeout=60).stdout
    return base64.b64encode(hashlib.sha256(der).digest()).decode("ascii")


def _wait_listening(port, process, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        with socket.socket() as s:
            s.settimeout(1)
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return True
        time.sleep(0.05)
    return False


class StunnelFront:
    """stunnel4 on a loopback port, decrypting into 127.0.0.1:backend_port. options: extra lines of
    its service section (a protocol range, say). Stops with stop(), and by itself after
    lifetime_seconds at the latest."""

    def __init__(self, folder, cert, key, backend_port, port, options=(), lifetime_seconds=600):
        self.port = port
        config = os.path.join(folder, "stunnel-%d.conf" % port)
        self.log = os.path.join(folder, "stunnel-%d.log" % port)
        with open(config, "w") as f:
            f.write("foreground = yes\npid =\ndebug = 5\noutput = %s\n\n[front]\n" % self.log)
            f.write("accept = 127.0.0.1:%d\nconnect = 127.0.0.1:%d\ncert = %s\nkey = %s\n"
                    % (port, backend_port, cert, key))
            for line in options:
                f.write(line + "\n")
        # timeout bounds the front's life however the test ends.
        self.process = subprocess.Popen(["timeout", str(int(lifetime_seconds)), "stunnel4", config],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        # A probe's connection never reaches the backend: the front connects there only after a
        # handshake of its own.
        if not _wait_listening(port, self.process, 60):
            self.stop()
            raise AssertionError("stunnel did not listen on %d; its log:\n%s" % (port, self.log_text()))

    def log_text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)


def _mount_namespace():
    try:
        return os.readlink("/proc/self/ns/mnt")
    except OSError:
        return None


def in_own_mount_namespace():
    """True after reexec_in_mount_namespace: the namespace differs from the one it started in."""
    before = os.environ.get(_MARK)
    now = _mount_namespace()
    return bool(before) and now is not None and now != before


def reexec_in_mount_namespace():
    """Runs this very command again in a mount namespace of its own (once). Call it before anything
    is started: nothing of this process survives the exec."""
    if os.environ.get(_MARK) or tools_missing() or _mount_namespace() is None:
        return
    os.environ[_MARK] = _mount_namespace()
    sys.stdout.flush()
    sys.stderr.flush()
    os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable] + sys.orig_argv[1:])


class TrustingWineSession:
    """Inside the test's own mount namespace: the authority's certificate in the system bundle, and
    a copy of the build tree's Wine prefix, so that the first Wine program of the test starts a
    wineserver (and an Xvfb) of its own that reads that bundle. close() ends that server."""

    def __init__(self, ca_cert, wine_run):
        if not in_own_mount_namespace():
            raise AssertionError("not in a mount namespace of our own: the test CA would be trusted host-wide")
        self.mounted = False
        self.prefix = None
        self.prefix_folder = None
        self.folder = tempfile.mkdtemp(prefix="parvolet-tls-wine-")
        try:
            self._set_up(ca_cert, wine_run)
        except BaseException:
            self.close()
            raise

    def _set_up(self, ca_cert, wine_run):
        bundle = os.path.join(self.folder, "ca-certificates.crt")
        with open(SYSTEM_BUNDLE, "rb") as f:
            system = f.read()
        with open(ca_cert, "rb") as f:
            ours = f.read()
        with open(bundle, "wb") as f:
            f.write(system + b"\n" + ours)
        _run(["mount", "--bind", bundle, SYSTEM_BUNDLE])
        self.mounted = True
        original = self._tree_prefix(wine_run)
        # Beside the tree's own prefix, so that hard links can reach it (the same file system).
        self.prefix_folder = tempfile.mkdtemp(prefix="wineprefix-tls-", dir=os.path.dirname(original)) \
            if original and os.path.isdir(os.path.dirname(original)) else tempfile.mkdtemp(prefix="parvolet-tls-pfx-")
        self.prefix = os.path.join(self.prefix_folder, "wineprefix")
        self.environment = {"PARVOLET_WINEPREFIX": self.prefix}
        if original and os.path.isfile(os.path.join(original, ".parvolet-ready-2")):
            # Hard links: the prefix is large and the test only reads most of it. Wine writes its
            # registry files anew and renames them, but they (and the update stamp) are copied for
            # real all the same, so nothing of the tree's own prefix can change.
            try:
                _run(["cp", "-al", original, self.prefix])
            except subprocess.CalledProcessError:
                shutil.rmtree(self.prefix, True)
                _run(["cp", "-a", original, self.prefix])
            for name in os.listdir(self.prefix):
                path = os.path.join(self.prefix, name)
                if (name.endswith(".reg") or name == ".update-timestamp") and os.path.isfile(path):
                    shutil.copy2(path, path + ".copy")
                    os.replace(path + ".copy", path)
        # Otherwise the Wine runner makes the prefix on first use.
        os.environ.update(self.environment)
        os.environ.pop("DISPLAY", None)  # the runner starts an Xvfb of this prefix's own
        # A server kept for the whole run (the emulated PC's session) is the tree prefix's, not
        # this one's: the runner must start this prefix's server and services itself.
        os.environ.pop("PARVOLET_WINE_SERVICES_KEPT", None)
        self.wine_run = wine_run

    @staticmethod
    def _tree_prefix(wine_run):
        env_file = os.path.join(os.path.dirname(wine_run), "wine-env")
        try:
            text = subprocess.run(["bash", "-c", 'source "$1"; echo "$WINEPREFIX"',
                                   "-", env_file], stdout=subprocess.PIPE, timeout=30, check=True).stdout
        except (OSError, subprocess.SubprocessError):
            return None
        return text.decode().strip() or None

    def close(self):
        if self.prefix and os.path.isdir(self.prefix):
            try:
                env = dict(os.environ, WINEPREFIX=self.prefix)
                subprocess.run(["wineserver", "-k"], env=env, timeout=60, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
            except (OSError, subprocess.SubprocessError):
                pass
        if self.mounted:
            subprocess.run(["umount", SYSTEM_BUNDLE], timeout=60)
            self.mounted = False
        shutil.rmtree(self.folder, True)
        if self.prefix_folder:
            shutil.rmtree(self.prefix_folder, True)
