"""Runs a command with a TLS front around it: stunnel4 on a loopback port with a self-signed
certificate made for this run, decrypting into a second loopback port where the command's own
server listens. The command finds both ports and the certificate's pin in PARVOLET_TLS_FRONT_PORT,
PARVOLET_TLS_BACKEND_PORT and PARVOLET_TLS_PIN; without stunnel or openssl it runs without them
(and its TLS cases skip). The front stops when the command ends, and by itself after an hour.

    with_tls_front.py COMMAND [ARGUMENT ...]
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import tls_front  # noqa: E402
from harness import free_port  # noqa: E402


def main(command):
    if not (shutil.which("stunnel4") and shutil.which("openssl")):
        print("with_tls_front: stunnel4 or openssl missing; running without a front", file=sys.stderr)
        return subprocess.call(command)
    folder = tempfile.mkdtemp(prefix="parvolet-tls-front-")
    try:
        cert, key = tls_front.TestCa(folder).self_signed("front", "front.invalid")
        backend = free_port()
        # Held while the front's port is picked, which would otherwise be the same free port.
        with socket.socket() as hold:
            hold.bind(("127.0.0.1", backend))
            front_port = free_port()
        front = tls_front.StunnelFront(folder, cert, key, backend, front_port, lifetime_seconds=3600)
        try:
            env = dict(os.environ, PARVOLET_TLS_FRONT_PORT=str(front.port), PARVOLET_TLS_BACKEND_PORT=str(backend),
                       PARVOLET_TLS_PIN=tls_front.public_key_pin(cert))
            return subprocess.call(command, env=env)
        finally:
            front.stop()
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
