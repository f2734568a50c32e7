"""TLS to the server (Tls=1) with the real parvolet.exe under Wine, against stunnel4 in front of the
test receiver: the certificate verdicts, the pin, the protocol floor, a plain server, a server that
leaves in the middle of the handshake, and Retry after a TLS failure.

Each test runs in namespaces of its own (namespace_session), where the system bundle holds the
module's test authority, so that only that test's own Wine session trusts it."""

import os
import shutil
import socket
import tempfile
import threading
import unittest

import tls_front
from harness import (BAR_FAILURE, BAR_SUCCESS, IDOK, IDRETRY, STATUS_DONE, STATUS_FAILED,
                     ParvoletTestCase, free_port, wait_for)
from namespace_session import INSIDE, NamespacedTestCase, Network

PAYLOAD = b"Registration: Jane Example, 1 Main Street\n" * 40  # no CR: the program reads text
CLIENT = 4242
NAME = "localhost"  # what the front's certificates name, and the default TlsServerName
# The folder of the certificates made outside, for the same test run again inside.
KEYS = "PARVOLET_TLS_KEYS"

_state = {}


def _certificates(folder):
    """The certificates made in folder: (cert path, key path) by name."""
    def pair(where, stem):
        return os.path.join(where, stem + ".pem"), os.path.join(where, stem + ".key")
    return {"good": pair(folder, "good"), "expired": pair(folder, "expired"),
            "untrusted": pair(os.path.join(folder, "stranger"), "untrusted"), "self": pair(folder, "self")}


def setUpModule():
    reason = tls_front.tools_missing()
    if reason:
        raise unittest.SkipTest(reason)
    if not ParvoletTestCase.wine_run:
        raise unittest.SkipTest("PARVOLET_WINE_RUN must name the Wine runner")
    if os.environ.get(INSIDE) == "1":
        folder = os.environ[KEYS]
    else:
        folder = tempfile.mkdtemp(prefix="parvolet-tls-")
        _state["made"] = folder
        ca = tls_front.TestCa(folder)
        os.mkdir(os.path.join(folder, "stranger"))
        stranger = tls_front.TestCa(os.path.join(folder, "stranger"), "Someone Else's Root")
        ca.issue("good", NAME)
        ca.issue("expired", NAME, expired=True)
        stranger.issue("untrusted", NAME)
        ca.self_signed("self", "pinned.example")
        os.environ[KEYS] = folder
        TlsCase.network = Network(binds=[(tls_front.trusting_bundle(ca.cert, folder), tls_front.SYSTEM_BUNDLE)])
    _state["folder"] = folder
    _state.update(_certificates(folder))


def tearDownModule():
    if _state.get("made"):
        os.environ.pop(KEYS, None)
        shutil.rmtree(_state["made"], True)


class Relay:
    """A loopback port in front of another: every connection's bytes from the client are recorded;
    the first `cut` connections are closed once the client's first bytes (its hello) came, the
    rest are relayed both ways. Stops by itself when idle for a while."""

    def __init__(self, target_port, cut=0):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(120)
        self.port = self.listener.getsockname()[1]
        self.target_port, self.cut = target_port, cut
        self.first_bytes = []  # of each connection, in order
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    @staticmethod
    def _pump(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        finally:
            try:
                sink.shutdown(socket.SHUT_WR)
            except OSError:
                pass

    def _serve(self):
        try:
            while True:
                client, _ = self.listener.accept()
                client.settimeout(120)
                first = client.recv(65536)
                self.first_bytes.append(first)
                if len(self.first_bytes) <= self.cut:
                    client.close()
                    continue
                server = socket.create_connection(("127.0.0.1", self.target_port), timeout=120)
                server.sendall(first)
                back = threading.Thread(target=self._pump, args=(server, client), daemon=True)
                back.start()
                self._pump(client, server)
                back.join(120)
                client.close()
                server.close()
        except OSError:
            pass
        finally:
            self.listener.close()


class PlainListener:
    """A plain TCP server that greets as the receiver does and records everything the client sends."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(120)
        self.port = self.listener.getsockname()[1]
        self.received = b""
        self.done = threading.Event()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        try:
            connection, _ = self.listener.accept()
            with connection:
                connection.settimeout(60)
                connection.sendall(b"GRT!")
                while True:
                    data = connection.recv(65536)
                    if not data:
                        break
                    self.received += data
        except OSError:
            pass
        finally:
            self.listener.close()
            self.done.set()


class TlsCase(NamespacedTestCase):
    def front(self, which="good", options=(), connections=1):
        """The receiver behind a stunnel front with that certificate: (receiver, front)."""
        receiver = self.start_receiver(connections=connections)
        cert, key = _state[which]
        front = tls_front.StunnelFront(_state["folder"], cert, key, receiver.port, free_port(), options)
        self.addCleanup(front.stop)
        return receiver, front

    def run_program(self, port, address=NAME, extra=""):
        self.write_ini("[Network]\nServerAddress=%s\nClientID=%d\nPort=%d\nTls=1\n%s" % (address, CLIENT, port, extra))
        self.write_file("data.txt", PAYLOAD)
        self.start(" data.txt")

    def wait_final(self, bar, text, button):
        def reached():
            state = self.dialog_state()
            return state if (state["status_bar"] == bar and state["status_text"] == text
                             and state["buttons"][button]["visible"]) else None
        return wait_for(reached, message="the dialog's %r state" % bar)

    def expect_success(self, receiver):
        state = self.wait_final(BAR_SUCCESS, STATUS_DONE, IDOK)
        record = receiver.next_record(timeout=60)
        self.assertIsNotNone(record, "the receiver saw no connection")
        self.assertTrue(record["well_formed"], record)
        self.assertEqual(CLIENT, record["client_id"])
        self.assertEqual(len(PAYLOAD), record["length"])
        self.assertEqual(20 + len(PAYLOAD), record["bytes_received"])
        self.click(state["hwnd"], IDOK)
        self.assertEqual(1, self.exit_code())

    def expect_failure_and_nothing_received(self, receiver):
        state = self.wait_final(BAR_FAILURE, STATUS_FAILED, IDRETRY)
        # The front connects to the receiver only after its own handshake; the program refuses the
        # server after that, so the receiver may see a connection, but never a byte.
        record = receiver.next_record(timeout=10)
        if record is not None:
            self.assertEqual(0, record["bytes_received"], record)
        return state


class Verdicts(TlsCase):
    def test_the_exact_frame_arrives_through_the_front(self):
        receiver, front = self.front("good")
        self.run_program(front.port)
        self.expect_success(receiver)

    def test_untrusted_wrong_name_and_expired_certificates_fail(self):
        for which, extra in (("untrusted", ""), ("good", "TlsServerName=other.example\n"), ("expired", "")):
            with self.subTest(which=which, extra=extra):
                receiver, front = self.front(which)
                self.run_program(front.port, extra=extra)
                self.expect_failure_and_nothing_received(receiver)
                self.stop_program()
                front.stop()
                receiver.stop()
                self.receiver = None

    def test_a_self_signed_certificate_passes_on_its_pin_alone(self):
        pin = tls_front.public_key_pin(_state["self"][0])
        receiver, front = self.front("self")
        self.run_program(front.port, address="127.0.0.1", extra="TlsPin=%s\n" % pin)
        self.expect_success(receiver)

    def test_a_wrong_pin_or_no_name_fails(self):
        wrong = tls_front.public_key_pin(_state["good"][0])
        for extra in ("TlsPin=%s\n" % wrong, ""):
            with self.subTest(extra=extra):
                receiver, front = self.front("self")
                self.run_program(front.port, address="127.0.0.1", extra=extra)
                self.expect_failure_and_nothing_received(receiver)
                self.stop_program()
                front.stop()
                receiver.stop()
                self.receiver = None

    def test_a_server_offering_only_tls_1_0_fails(self):
        receiver, front = self.front("good", options=("sslVersionMin = TLSv1", "sslVersionMax = TLSv1",
                                                      "ciphers = DEFAULT@SECLEVEL=0"))
        self.run_program(front.port)
        self.expect_failure_and_nothing_received(receiver)


class Channel(TlsCase):
    def test_a_plain_server_gets_no_byte_of_the_payload(self):
        listener = PlainListener()
        self.run_program(listener.port, address="127.0.0.1", extra="TlsServerName=%s\n" % NAME)
        self.wait_final(BAR_FAILURE, STATUS_FAILED, IDRETRY)
        self.stop_program()
        self.assertTrue(listener.done.wait(60), "the program kept the connection")
        self.assertTrue(listener.received.startswith(b"\x16\x03"), listener.received[:16])  # a TLS hello
        self.assertNotIn(PAYLOAD[:16], listener.received)

    def test_a_server_leaving_mid_handshake_fails_and_retry_makes_a_fresh_handshake(self):
        receiver, front = self.front("good")
        relay = Relay(front.port, cut=1)
        self.run_program(relay.port)
        state = self.wait_final(BAR_FAILURE, STATUS_FAILED, IDRETRY)
        self.click_and_wait(state["hwnd"], IDRETRY)
        self.expect_success(receiver)
        self.assertEqual(2, len(relay.first_bytes))
        for first in relay.first_bytes:
            self.assertEqual(b"\x16\x03", first[:2], "each attempt starts with a client hello")

    def test_retry_after_a_refused_certificate_starts_a_fresh_handshake(self):
        pin = tls_front.public_key_pin(_state["self"][0])
        receiver, front = self.front("self", connections=2)
        relay = Relay(front.port)
        # A wrong pin first; the right one cannot be swapped in, so the second attempt fails too,
        # and what matters is how it starts.
        self.run_program(relay.port, address="127.0.0.1", extra="TlsPin=%s\n" % pin[::-1])
        state = self.wait_final(BAR_FAILURE, STATUS_FAILED, IDRETRY)
        self.click_and_wait(state["hwnd"], IDRETRY)
        self.wait_final(BAR_FAILURE, STATUS_FAILED, IDRETRY)
        wait_for(lambda: len(relay.first_bytes) == 2, message="the second connection")
        for first in relay.first_bytes:
            self.assertEqual(b"\x16\x03", first[:2], "each attempt starts with a client hello")


if __name__ == "__main__":
    unittest.main()
