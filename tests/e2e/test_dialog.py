"""The progress dialog of the real parvolet.exe, driven as a user would: its texts, its buttons and
their focus, the cancel question, the close request and Escape, against the loopback receiver."""

import hashlib
import os
import socket
import threading
import time
import unittest

from harness import (BAR_FAILURE, BAR_TRANSFERRING, GOOD_INI, STATUS_DONE, STATUS_FAILED, STATUS_WAIT, IDCANCEL, IDNO, IDOK, IDRETRY, IDYES, TEXT_CONFIRM_CANCEL,
                     WAIT_SECONDS, STATUS_TEXT_ID,
                     ParvoletTestCase, free_port, wait_for, windows_path)

ANIMATION_ID = 1000
BAR_CONNECTING = "Attempting to connect to Tamsk"
INI = "[Network]\nServerAddress={host}\nClientID={client}\nPort={port}\n"


class PausingGreeter:
    """Serves `connections` connections, one after another: the first half of the greeting, a
    pause (a time, or until release()), then the second half and the frame, read until the
    client closes; with fail=True it closes instead of sending the second half."""

    def __init__(self, pause=None, fail=False, connections=1):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(30)
        self.port = self.listener.getsockname()[1]
        self.pause, self.fail, self.connections = pause, fail, connections
        self.released = threading.Event()
        self.accepted = 0
        self.received = b""
        self.finished = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def release(self):
        self.released.set()

    def _serve(self):
        try:
            for _ in range(self.connections):
                connection, _ = self.listener.accept()
                self.accepted += 1
                with connection:
                    connection.settimeout(30)
                    connection.sendall(b"PV")
                    if self.pause is not None:
                        time.sleep(self.pause)
                    else:
                        self.released.wait(30)
                    if self.fail:
                        continue
                    connection.sendall(b"G1")
                    while True:
                        chunk = connection.recv(65536)
                        if not chunk:
                            break
                        self.received += chunk
        except OSError:
            pass
        finally:
            self.listener.close()
            self.finished.set()

    def stop(self):
        self.released.set()
        self.thread.join(35)


class StalledListener:
    """A loopback listener whose queue of connections not yet accepted is full: the kernel drops
    the program's connection request and sends it again later (after 1 s, then 2 s more, ...), so
    the connect stays under way, as on Windows, which tries again for about 2 s before it reports
    a refusal. refuse() closes the listener: the next try is answered with a reset, and the
    program's connect is refused then, not at once."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        # One connection fills a queue of length 0; a second makes sure of it.
        self.fillers = []
        for _ in range(2):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(("127.0.0.1", self.port))
            self.fillers.append(filler)

    def refuse(self):
        self.listener.close()

    def close(self):
        self.listener.close()
        for filler in self.fillers:
            filler.close()


class DialogCase(ParvoletTestCase):
    def run_program(self, port, payload=b"abc", client=1234, host="127.0.0.1", environment=None):
        self.write_ini(INI.format(host=host, client=client, port=port))
        self.write_file("data.txt", payload)
        self.start(" data.txt", environment=environment)

    state_wait_seconds = 30

    def assert_buttons(self, state, shown, focus):
        for control_id in (IDCANCEL, IDOK, IDRETRY):
            button = state["buttons"][control_id]
            self.assertEqual(control_id in shown, button["visible"], button)
            self.assertEqual(control_id in shown, button["enabled"], button)
        if focus is not None:
            self.assertEqual(focus, state["focus_id"], "focused control")

    def no_box_for(self, seconds):
        end = time.time() + seconds
        while time.time() < end:
            if [w for w in self.windows("message_box") if w["visible"]]:
                return False
            time.sleep(0.1)
        return True


class Success(DialogCase):
    def test_frame_texts_ok_and_exit_status(self):
        cases = [(b"abc", 1234), (b"", -1), (b"x" * 5000, 0)]
        for payload, client in cases:
            with self.subTest(length=len(payload), client=client):
                receiver = self.start_receiver()
                self.run_program(receiver.port, payload, client)
                state = self.wait_success()
                self.assertEqual(STATUS_DONE, state["status_text"])
                self.assert_buttons(state, {IDOK}, IDOK)
                record = receiver.next_record(timeout=30)
                self.assertEqual(client, record["client_id"])
                self.assertEqual(len(payload), record["length"])
                self.assertTrue(record["well_formed"], record)
                self.assertEqual(20 + len(payload), record["bytes_received"])
                self.click(state["hwnd"], IDOK)
                self.assertEqual(1, self.exit_code())
                receiver.stop()
                self.receiver = None

    def test_port_above_65535_uses_its_low_sixteen_bits(self):
        receiver = self.start_receiver()
        self.run_program(65536 + receiver.port)
        self.wait_success()
        self.assertTrue(receiver.next_record(timeout=30)["well_formed"])

    def test_greeting_in_pieces_and_extra_bytes_with_a_slow_reader(self):
        payload = bytes(range(97, 123)) * 40000  # about 1 MB
        receiver = self.start_receiver(greeting_pieces=2, extra_bytes=1, read_delay=0.5)
        self.run_program(receiver.port, payload)
        self.wait_success()
        record = receiver.next_record(timeout=30)
        self.assertEqual(len(payload), record["payload_received"], record)
        self.assertTrue(record["well_formed"], record)

    def test_close_request_and_escape_after_success_ask_nothing(self):
        receiver = self.start_receiver()
        self.run_program(receiver.port)
        state = self.wait_success()
        self.press(state["hwnd"], "escape")
        self.assertTrue(self.no_box_for(1.0), "Escape after a success asked the cancel question")
        self.driver.ask("close %d" % state["hwnd"])
        self.assertTrue(self.no_box_for(1.0))
        state = self.dialog_state()
        self.assertIsNone(state["status_bar"])
        self.assertEqual(STATUS_DONE, state["status_text"])
        self.click(state["hwnd"], IDOK)
        self.assertEqual(1, self.exit_code())


class Failure(DialogCase):
    def test_refused_and_unresolvable_show_failure_with_retry_focused(self):
        for host, port in (("127.0.0.1", free_port()), ("no-such-host.invalid", 80), ("127.0.0.1", 0)):
            with self.subTest(host=host, port=port):
                self.run_program(port, host=host)
                state = self.wait_failure()
                self.assertEqual(STATUS_FAILED, state["status_text"])
                self.assert_buttons(state, {IDCANCEL, IDRETRY}, IDRETRY)
                self.click(state["hwnd"], IDCANCEL)
                self.click(self.message_box()["hwnd"], IDYES)
                self.assertEqual(2, self.exit_code())

    def test_server_closing_at_once_then_retry(self):
        receiver = self.start_receiver(mode="close-at-once", connections=2)
        self.run_program(receiver.port)
        state = self.wait_failure()
        self.click(state["hwnd"], IDRETRY)
        # Against a server that closes at once the retry can pass through its transferring state
        # faster than any look at the dialog: its connection is counted at the server instead.
        self.assertEqual(2, len([r for r in (receiver.next_record(60), receiver.next_record(60)) if r]))
        self.wait_state(lambda s: s["status_bar"] == BAR_FAILURE and s["buttons"][IDRETRY]["visible"],
                        "the failure after the retry")


class NeverGreets(DialogCase):
    def test_stays_transferring_no_keeps_it_yes_ends_at_once(self):
        # The server holds the connection far longer than any wait here, so an exit at all shows
        # that the program did not wait for it.
        receiver = self.start_receiver(mode="no-greeting", timeout_seconds=300, hold_seconds=300)
        self.run_program(receiver.port)
        # One dump reads the controls one after another: wait until both show the same state.
        state = self.wait_state(lambda s: s["status_bar"] == BAR_TRANSFERRING and s["status_text"] == STATUS_WAIT
                                and s["focus_id"] == IDCANCEL, "the transferring state with Cancel focused")
        self.assert_buttons(state, {IDCANCEL}, IDCANCEL)
        self.click(state["hwnd"], IDCANCEL)
        box = self.message_box()
        self.assertEqual(TEXT_CONFIRM_CANCEL, box["text"])
        self.assertEqual("&No", box["focused"])
        self.click(box["hwnd"], IDNO)
        time.sleep(0.5)
        state = self.dialog_state()
        self.assertEqual(BAR_TRANSFERRING, state["status_bar"])
        # The close request removes the status bar, then asks the same question.
        self.driver.ask("close %d" % state["hwnd"])
        box = self.message_box()
        self.assertIsNone(self.dialog_state()["status_bar"])
        self.click(box["hwnd"], IDYES)
        self.assertEqual(2, self.exit_code())


class SlowRefusal(DialogCase):
    """A refused connect that is reported only after seconds, as Windows reports it, runs the
    connect's wait past its timer ticks: the program stays in the connecting state, ends in the
    failure state once the refusal comes, and Cancel ends it while it still waits."""

    def wait_connecting_for_a_while(self, listener):
        self.run_program(listener.port)
        self.wait_state(lambda s: s["status_bar"] == BAR_CONNECTING and s["status_text"] == STATUS_WAIT,
                        "the connecting state")
        # Past the first of the wait's 2 s ticks: the connect is still under way, nothing decided.
        time.sleep(2.5)
        state = self.dialog_state()
        self.assertEqual(BAR_CONNECTING, state["status_bar"])
        self.assert_buttons(state, {IDCANCEL}, None)
        return state

    def test_the_late_refusal_ends_in_failure(self):
        listener = StalledListener()
        self.addCleanup(listener.close)
        self.wait_connecting_for_a_while(listener)
        listener.refuse()
        state = self.wait_failure()
        self.assert_buttons(state, {IDCANCEL, IDRETRY}, IDRETRY)
        self.click(state["hwnd"], IDCANCEL)
        self.click(self.message_box()["hwnd"], IDYES)
        self.assertEqual(2, self.exit_code())

    def test_cancel_while_the_connect_waits(self):
        listener = StalledListener()
        self.addCleanup(listener.close)
        state = self.wait_connecting_for_a_while(listener)
        self.click(state["hwnd"], IDCANCEL)
        box = self.message_box()
        self.assertEqual(TEXT_CONFIRM_CANCEL, box["text"])
        self.click(box["hwnd"], IDYES)
        self.assertEqual(2, self.exit_code())


class RetryAndAnimation(DialogCase):
    def assert_animation_plays(self, state):
        rect = [c["rect"] for c in state["raw"]["children"] if c["id"] == ANIMATION_ID][0]
        # A busy machine may hold the clip back for a while: look until the picture changes.
        shots = set()
        end = time.time() + WAIT_SECONDS
        while len(shots) < 2 and time.time() < end:
            shot = self.screenshot_crop(rect)
            if shot is None:
                self.skipTest("no screenshot tool or display here to watch the clip")
            shots.add(shot[2])
            time.sleep(0.3)
        self.assertGreater(len(shots), 1, "the animation shows the same picture throughout")

    def test_retry_sends_the_whole_frame_once_the_server_is_back_and_the_clip_plays_throughout(self):
        port = free_port()
        payload = b"line one\r\nline two\r\n\x00and a NUL\r\n"
        self.run_program(port, payload=payload, client=-1)
        state = self.wait_failure()
        self.assert_animation_plays(state)
        receiver = self.start_receiver(port=port)
        self.click(state["hwnd"], IDRETRY)
        state = self.wait_success()
        self.assert_animation_plays(state)
        record = receiver.next_record(60)
        expected = payload.replace(b"\r\n", b"\n")
        self.assertTrue(record["well_formed"], record)
        self.assertEqual(-1, record["client_id"])
        self.assertEqual(len(expected), record["length"])
        self.assertEqual(hashlib.sha256(expected).hexdigest(), record["sha256"])
        self.click(state["hwnd"], IDOK)
        self.assertEqual(1, self.exit_code())

class ClipRefused(DialogCase):
    """The animation control refuses the clip (the test build stages it: Wine's control plays
    any clip of ours). The control is hidden rather than left as an empty framed box, and the
    dialog is otherwise as usual: its texts, its buttons and the transfer."""

    exe = ParvoletTestCase.staged_exe

    def test_hidden_animation_and_an_otherwise_usual_transfer(self):
        if not self.exe:
            self.skipTest("PARVOLET_STAGED_EXE must name the test build")
        receiver = self.start_receiver()
        self.run_program(receiver.port, payload=b"x" * 3000, environment={"PARVOLET_STAGE": "no-clip"})
        state = self.wait_success()
        animation = [c for c in state["raw"]["children"] if c["id"] == ANIMATION_ID]
        self.assertEqual(1, len(animation), "the dialog has its animation control")
        self.assertFalse(animation[0]["visible"], "a refused clip leaves the empty control in sight")
        self.assertTrue([c for c in state["raw"]["children"] if c["id"] == STATUS_TEXT_ID and c["visible"]])
        self.assert_buttons(state, {IDOK}, IDOK)
        record = receiver.next_record(timeout=30)
        self.assertTrue(record["well_formed"], record)
        self.assertEqual(3000, record["length"])
        self.click(state["hwnd"], IDOK)
        self.assertEqual(1, self.exit_code())


class LostWriteNotifications(DialogCase):
    """Windows before 10 version 1607 does not always post the write notification after a send
    it refused for a full buffer (the test build loses every one of them). A large transfer must
    still go through without any wait for the write event lasting until the poll interval's tick:
    the program's log of the staging names each lost notification and each tick of such a wait."""

    exe = ParvoletTestCase.staged_exe

    def test_a_large_transfer_never_waits_for_the_long_tick(self):
        if not self.exe:
            self.skipTest("PARVOLET_STAGED_EXE must name the test build")
        log = os.path.join(self.folder, "staging.log")
        # The server holds off reading for a second, so that the frame, larger than every buffer
        # on the way, meets a full one whatever the machine's pace: a fast reader never let a send
        # be refused, and nothing was staged.
        payload = bytes(range(97, 123)) * ((32 << 20) // 26)
        receiver = self.start_receiver(read_delay=1)
        self.run_program(receiver.port, payload=payload,
                         environment={"PARVOLET_STAGE_REPORTS": "lose-write-notifications",
                                      "PARVOLET_STAGE_LOG": windows_path(log)})
        state = self.wait_success()
        record = receiver.next_record(timeout=60)
        self.assertTrue(record["well_formed"], record)
        self.assertEqual(len(payload), record["payload_received"], record)
        self.assertEqual(hashlib.sha256(payload).hexdigest(), record["sha256"])
        self.click(state["hwnd"], IDOK)
        self.assertEqual(1, self.exit_code())
        lines = []
        if os.path.exists(log):  # the program writes it on the first staged report
            with open(log) as f:
                lines = f.read().split()
        ticks = [int(period) for word, period in zip(lines, lines[1:]) if word == "tick"]
        self.assertGreater(lines.count("lost"), 0, "no send met a full buffer: nothing was staged")
        self.assertEqual([], [t for t in ticks if t >= 1000], "write waits that lasted until the long tick")


class FocusAfterTheState(DialogCase):
    """The button of the state holds the keyboard focus however late the state comes and
    whatever gives the dialog the focus afterwards, so that Space presses it."""

    def run_against(self, greeter):
        self.addCleanup(greeter.stop)
        self.run_program(greeter.port)

    def press_space_and_expect(self, state, exit_code):
        self.press(state["hwnd"], "space")
        self.assertEqual(exit_code, self.exit_code())

    def test_focus_given_to_the_dialog_window_goes_to_the_states_button(self):
        for fail, focus, shown in ((False, IDOK, {IDOK}), (True, IDRETRY, {IDCANCEL, IDRETRY})):
            with self.subTest(fail=fail):
                greeter = PausingGreeter(pause=0.4, fail=fail, connections=2 if fail else 1)
                self.run_against(greeter)
                state = self.wait_failure() if fail else self.wait_success()
                # What a late activation does when no control of the dialog has the focus.
                answer = self.driver.ask("focus %d" % state["hwnd"])
                self.assertTrue(answer["ok"], answer)
                state = self.dialog_state()
                self.assert_buttons(state, shown, focus)
                if fail:
                    # Space on Retry starts a second transfer, which the server fails too.
                    self.press(state["hwnd"], "space")
                    wait_for(lambda: greeter.accepted == 2, timeout=15, message="the second connection")
                    state = self.wait_failure()
                    self.assert_buttons(state, shown, IDRETRY)
                    self.click(state["hwnd"], IDCANCEL)
                    self.click(self.message_box()["hwnd"], IDYES)
                    self.assertEqual(2, self.exit_code())
                else:
                    self.press_space_and_expect(state, 1)

if __name__ == "__main__":
    unittest.main()
