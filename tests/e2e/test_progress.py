"""A long transfer's amount line in the status bar, against the receiver's slow reader: it rises
while the frame goes out, and then gives way to the very success or failure texts a short
transfer ends with; after a failure, Retry's fresh worker counts from the start again."""

import hashlib
import random
import re
import time
import unittest

from harness import (BAR_FAILURE, BAR_SUCCESS, BAR_TRANSFERRING, GOOD_INI, IDCANCEL, IDOK, IDRETRY, STATUS_DONE,
                     STATUS_FAILED, STATUS_WAIT, ParvoletTestCase, wait_for)

MIB = 1 << 20
# Far more than the loopback socket buffers take in at once, read slowly enough that the transfer
# lasts several seconds: the send calls hand the frame over piece by piece as the reader frees room.
PAYLOAD_SIZE = 32 * MIB
READ_RATE = 4 * MIB
FRAME_SIZE_TEXT = "32.0 MB"  # 20 + 32 MiB bytes, to the tenth
BAR_CONNECTING = "Attempting to connect to Tamsk"
AMOUNT = re.compile(r"(?:Transferring Information|Waiting for the server): (\d{1,3})% of " +
                    re.escape(FRAME_SIZE_TEXT) + r"(?: sent)?\Z")
# Each read of the dialog is a few round trips to Wine; on a loaded machine one can take a while.
TRANSFER_WAIT_SECONDS = 60


def payload_bytes():
    """Text without CR, Ctrl-Z or NUL, so the file is sent exactly as it stands."""
    rng = random.Random(12)
    block = bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz \n") for _ in range(MIB))
    return block * (PAYLOAD_SIZE // MIB)


BAR_LINES = ["", BAR_CONNECTING, BAR_TRANSFERRING, BAR_SUCCESS, BAR_FAILURE] + [
    form % (share, FRAME_SIZE_TEXT) for share in range(101)
    for form in ("Transferring Information: %d%% of %s", "Waiting for the server: %d%% of %s sent")]


def percent(bar):
    match = AMOUNT.match(bar or "")
    return int(match.group(1)) if match else None


def torn(bar):
    """The driver reads a line's length, then the line: a line set in between comes cut to the
    old length. Such a reading is the start of a known line, and the next one is whole."""
    return bar not in BAR_LINES and any(line.startswith(bar) for line in BAR_LINES)


class ProgressCase(ParvoletTestCase):
    payload = payload_bytes()
    digest = hashlib.sha256(payload).hexdigest()

    def setUp(self):
        super().setUp()
        self.bars = []  # every bar line read, in order
        self.suspect = None  # (status text, bar line) of a reading that mixed two states, if any

    def read(self):
        """One reading of the dialog, checked against what it may ever show mid-transfer."""
        state = self.dialog_state()
        bar, text = state["status_bar"], state["status_text"]
        if torn(bar):
            state["status_bar"] = None
            return state
        self.bars.append(bar)
        self.assertIn(bar, BAR_LINES, "unexpected bar line")
        if self.suspect is not None:
            self.assertIn(bar, (BAR_SUCCESS, BAR_FAILURE), "status text %r beside the bar line %r" % self.suspect)
            self.suspect = None
        # Beside an amount line the status text (1001) says what it always said during a transfer.
        # One reading takes the controls one after another, so the final state may have come in
        # between: then the next reading shows the final bar line.
        if percent(bar) is not None and text != STATUS_WAIT:
            self.suspect = (text, bar)
        return state

    def watch(self, predicate, message):
        return wait_for(lambda: (lambda s: s if predicate(s) else None)(self.read()),
                        timeout=TRANSFER_WAIT_SECONDS, interval=0.05, message="%s (bar lines read: %s)" % (
                            message, self.changes()))

    def changes(self):
        return [b for i, b in enumerate(self.bars) if i == 0 or self.bars[i - 1] != b]

    def watch_amount_rise(self):
        """Waits for an amount line, then for one with a larger share; returns both shares."""
        first = percent(self.watch(lambda s: percent(s["status_bar"]) is not None, "an amount line")["status_bar"])
        later = percent(self.watch(lambda s: (percent(s["status_bar"]) or -1) > first,
                                   "a larger share than %d%%" % first)["status_bar"])
        return first, later

    def watch_final(self, bar, text, shown):
        state = self.watch(lambda s: s["status_bar"] == bar and s["status_text"] == text
                           and all(s["buttons"][i]["visible"] for i in shown) and s["focus_id"] == shown[0],
                           "the final texts %r" % bar)
        # A late amount or timer must not take the final line back: read it a few times more.
        for _ in range(5):
            time.sleep(0.2)
            state = self.read()
            self.assertEqual(bar, state["status_bar"], "the final bar line changed: %s" % self.changes())
            self.assertEqual(text, state["status_text"])
        for control_id in (IDCANCEL, IDOK, IDRETRY):
            button = state["buttons"][control_id]
            self.assertEqual(control_id in shown, button["visible"], button)
            self.assertEqual(control_id in shown, button["enabled"], button)
        self.assertEqual(shown[0], state["focus_id"])
        return state

    def assert_whole_frame(self, record):
        self.assertIsNotNone(record, "the receiver reported no connection")
        expected = {"client_id": 7, "length": PAYLOAD_SIZE, "well_formed": True, "ended": "client-closed",
                    "bytes_received": 20 + PAYLOAD_SIZE, "trailing_bytes": 0, "sha256": self.digest}
        self.assertEqual(expected, {k: record.get(k) for k in expected}, record)

    def start_program(self, port):
        self.write_ini(GOOD_INI.format(port=port))
        self.write_file("data.txt", self.payload)
        self.start(" data.txt")


class LongTransfer(ProgressCase):
    def test_share_rises_then_the_unchanged_success_texts_and_the_exact_frame(self):
        receiver = self.start_receiver(read_rate=READ_RATE, timeout_seconds=300)
        self.start_program(receiver.port)
        first, later = self.watch_amount_rise()
        self.assertLess(first, later)
        state = self.watch_final(BAR_SUCCESS, STATUS_DONE, [IDOK])
        self.assert_whole_frame(receiver.next_record(timeout=TRANSFER_WAIT_SECONDS))
        self.click(state["hwnd"], IDOK)
        self.assertEqual(1, self.exit_code())

    def test_a_reset_midway_ends_in_the_failure_texts_and_retry_counts_from_the_start(self):
        # The first server resets the connection a third of the way in, while bytes are still
        # being handed over; the second one, on the same port, takes the whole frame.
        first_server = self.start_receiver(mode="reset-after", reset_after=12 * MIB, read_rate=READ_RATE,
                                           timeout_seconds=300)
        port = first_server.port
        self.start_program(port)
        self.watch(lambda s: percent(s["status_bar"]) is not None, "an amount line")
        state = self.watch_final(BAR_FAILURE, STATUS_FAILED, [IDRETRY, IDCANCEL])
        self.assertEqual("server-reset", first_server.next_record(timeout=TRANSFER_WAIT_SECONDS)["ended"])
        first_server.stop()
        self.receiver = None

        second_server = self.start_receiver(port=port, read_rate=READ_RATE, timeout_seconds=300)
        self.assertEqual(port, second_server.port)
        self.bars = []
        self.click_and_wait(state["hwnd"], IDRETRY)
        first, later = self.watch_amount_rise()
        # The first share this worker reports is its own: a count carried over from the failed
        # attempt would start at or near the end.
        self.assertLess(first, 100)
        self.assertLess(first, later)
        state = self.watch_final(BAR_SUCCESS, STATUS_DONE, [IDOK])
        self.assert_whole_frame(second_server.next_record(timeout=TRANSFER_WAIT_SECONDS))
        self.click(state["hwnd"], IDOK)
        self.assertEqual(1, self.exit_code())


if __name__ == "__main__":
    unittest.main()
