"""Smoke cases on the shipped 32-bit parvolet.exe, run inside the check guest with the end-to-end
harness: a start-up refusal, a transfer, a refused connection and Retry, the exact frames of edge
payloads, a confirmed cancel, and the loader's view of the version block and the manifest.

Everything lives on the guest's second disk beside this file; the results go to results/ there:
one line per case, then one line of counts."""

import hashlib
import os
import subprocess
import sys
import unittest

SHARE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(SHARE, "results")
# The harness reads its paths when it is imported.
os.environ["PARVOLET_EXE"] = os.path.join(SHARE, "parvolet.exe")
os.environ["PARVOLET_WINE_RUN"] = os.path.join(SHARE, "wine-run")
os.environ["PARVOLET_DLGDRIVE"] = os.path.join(SHARE, "dlgdrive.exe")
os.environ["PARVOLET_RECEIVER"] = os.path.join(SHARE, "receiver")
sys.path.insert(0, SHARE)

import harness  # noqa: E402
from harness import (BAR_FAILURE, BAR_SUCCESS, BAR_TRANSFERRING, IDCANCEL, IDOK, IDRETRY, IDYES,  # noqa: E402
                     STATUS_DONE, STATUS_FAILED, STATUS_WAIT, TEXT_CONFIRM_CANCEL, TEXT_NOT_FOUND, TITLE,
                     ParvoletTestCase, free_port, wait_for)

INI = "[Network]\nServerAddress=127.0.0.1\nClientID={client}\nPort={port}\n"
FRAME_OVERHEAD = 20  # client id, {1, L}, {0, 0}
# The emulated PC runs Wine several times slower than a host: a state may take this long to show.
STATE_SECONDS = 180


class Smoke(ParvoletTestCase):
    def launch(self, port, payload, client=1234):
        self.write_ini(INI.format(client=client, port=port))
        self.write_file("data.txt", payload)
        self.start(" data.txt")

    def wait_final(self, bar, text, button, what):
        """The dialog in a final state: bar, text, the state's button shown and focused. One dump
        reads the controls one after another, so wait until all of them agree."""
        last = {}

        def settled():
            state = self.dialog_state(STATE_SECONDS)
            last["state"] = state
            return state if (state["status_bar"] == bar and state["status_text"] == text
                             and state["buttons"][button]["visible"] and state["focus_id"] == button) else None
        try:
            return wait_for(settled, STATE_SECONDS, interval=0.2, message=what)
        except AssertionError:
            state = last.get("state") or {}
            raise AssertionError("%s never showed; last seen: bar %r, text %r, focus %r" % (
                what, state.get("status_bar"), state.get("status_text"), state.get("focus_id")))

    def settled_box(self, title, text):
        """The program's message box, read once the system has filled in its title and text."""
        box = self.message_box(STATE_SECONDS)
        self.assertEqual((title, text), (box["title"], box["text"]))
        return box

    def check_frame(self, receiver, payload, client=1234):
        """The exact frame: client id, {1, L}, the payload, {0, 0}, nothing more, then the close."""
        record = receiver.next_record(timeout=STATE_SECONDS)
        self.assertIsNotNone(record, "the receiver recorded no connection")
        want = {"client_id": client, "length": len(payload), "well_formed": True,
                "sha256": hashlib.sha256(payload).hexdigest(),
                "bytes_received": FRAME_OVERHEAD + len(payload), "trailing_bytes": 0,
                "ended": "client-closed"}
        self.assertEqual(want, {k: record.get(k) for k in want})

    def ok_ends_with_1(self, state):
        self.click(state["hwnd"], IDOK)
        self.assertEqual(1, self.exit_code(STATE_SECONDS))

    def send(self, data, expected, client=1234):
        receiver = self.start_receiver()
        self.launch(receiver.port, data, client)
        state = self.wait_final(BAR_SUCCESS, STATUS_DONE, IDOK, "the success texts with OK focused")
        self.check_frame(receiver, expected, client)
        self.ok_ends_with_1(state)

    # ---- the cases -------------------------------------------------------------------------

    def test_missing_file_is_refused_with_exit_0(self):
        self.write_ini(INI.format(client=1, port=9))
        self.start(" missing.txt")
        box = self.settled_box(TITLE, TEXT_NOT_FOUND + "MISSING.TXT")
        self.assertEqual(["OK"], box["buttons"])
        self.click(box["hwnd"], IDOK)
        self.assertEqual(0, self.exit_code(STATE_SECONDS))

    def test_transfer_gives_the_frame_then_ok_exits_1(self):
        self.send(b"Parvolet on a 32-bit system\n" * 3, b"Parvolet on a 32-bit system\n" * 3, client=4321)

    def test_refused_connection_then_retry_succeeds(self):
        port = free_port()  # nothing listens there yet
        self.launch(port, b"retried\n")
        state = self.wait_final(BAR_FAILURE, STATUS_FAILED, IDRETRY, "the failure texts with Retry focused")
        self.assertFalse(state["buttons"][IDOK]["visible"])
        receiver = self.start_receiver(port=port)
        # Returns once the dialog has handled the click, so the failure still shown is not read
        # as the outcome of the new attempt.
        self.click_and_wait(state["hwnd"], IDRETRY)
        state = self.wait_final(BAR_SUCCESS, STATUS_DONE, IDOK, "the success after Retry")
        self.check_frame(receiver, b"retried\n")
        self.ok_ends_with_1(state)

    def test_empty_file_frame(self):
        self.send(b"", b"")

    def test_cr_lf_and_ctrl_z_frame(self):
        self.send(b"one\r\ntwo\r\nlone\rcr\r\n\x00nul\r\n\x1aafter the end\r\n", b"one\ntwo\nlone\rcr\n\x00nul\n")

    def test_cancel_then_yes_exits_2(self):
        # A server that never greets keeps the transfer running until the user cancels.
        receiver = self.start_receiver(mode="no-greeting", timeout_seconds=600, hold_seconds=600)
        self.launch(receiver.port, b"never sent\n")
        state = self.wait_final(BAR_TRANSFERRING, STATUS_WAIT, IDCANCEL, "the transferring state")
        self.click(state["hwnd"], IDCANCEL)
        box = self.settled_box(TITLE, TEXT_CONFIRM_CANCEL)
        self.assertEqual(["&Yes", "&No"], box["buttons"])
        self.click(box["hwnd"], IDYES)
        self.assertEqual(2, self.exit_code(STATE_SECONDS))

    def test_loader_reads_version_block_and_manifest(self):
        with open(os.path.join(SHARE, "expected-version")) as f:
            version = f.read().strip()
        with open(os.path.join(SHARE, "expected-manifest"), "rb") as f:
            manifest = f.read()
        run = subprocess.run([self.wine_run, os.path.join(SHARE, "loader_check.exe"), harness.windows_path(self.exe)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=STATE_SECONDS)
        self.assertEqual(0, run.returncode, run.stdout)
        seen = dict(line.split("=", 1) for line in run.stdout.decode("latin-1").splitlines() if "=" in line)
        want = {"binary_type": "win32", "manifest_names": "1", "signature": "feef04bd",
                "file_version": version + ".0", "product_version": version + ".0", "file_type": "1",
                "translation": "040904b0", "FileVersion": version, "ProductVersion": version,
                "ProductName": "Parvolet", "OriginalFilename": "parvolet.exe"}
        self.assertEqual(want, {k: seen.get(k) for k in want})
        self.assertEqual(manifest.hex(), seen.get("manifest_hex"), "the manifest differs from the source's")


def main():
    os.makedirs(RESULTS, exist_ok=True)
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Smoke)
    names = [test.id() for test in suite]  # a suite lets go of its tests as it runs them
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    faults = {}
    for test, trace in result.failures + result.errors:
        lines = [line for line in trace.strip().splitlines() if line.strip()]
        errors = [line for line in lines if not line.startswith(" ") and ("Error" in line or "Exception" in line)]
        faults[test.id()] = (errors[-1] if errors else lines[-1] if lines else "failed")[:300]
    for test, reason in result.skipped:  # nothing may be missing here: a skip is a fault
        faults[test.id()] = "skipped: " + reason
    with open(os.path.join(RESULTS, "summary"), "w") as out:
        for name in names:
            short = name.rsplit(".", 1)[-1]
            out.write("FAIL %s: %s\n" % (short, faults[name]) if name in faults else "PASS %s\n" % short)
        out.write("cases=%d passed=%d failed=%d\n" % (len(names), len(names) - len(faults), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
