"""TLS fronts for the end-to-end tests: a throwaway certificate authority made with openssl, stunnel4
in front of the test receiver, and the system bundle with that authority added.

The authority is trusted only where trusting_bundle's file is bind-mounted over SYSTEM_BUNDLE: in
a test's own namespaces (namespace_session), whose Wine session imports that bundle as its system
roots. The host's files and every other Wine session are untouched.
"""

import base64
import hashlib
import os
import shutil
import socket
import subprocess
import time

from harness import stop_process

SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def _run(command, **kwargs):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120, **kwargs)


def tools_missing():
    """Why TLS fronts cannot be made here, or None."""
    for tool in ("openssl", "stunnel4", "faketime"):
        if not shutil.which(tool):
            return "%s is not installed" % tool
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
        stop_process(self.process)


def trusting_bundle(ca_cert, folder):
    """A copy of the system's certificate bundle with the authority appended, made in folder."""
    bundle = os.path.join(folder, "ca-certificates.crt")
    with open(SYSTEM_BUNDLE, "rb") as f:
        system = f.read()
    with open(ca_cert, "rb") as f:
        ours = f.read()
    with open(bundle, "wb") as f:
        f.write(system + b"\n" + ours)
    return bundle
