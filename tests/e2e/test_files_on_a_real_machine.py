"""Files as other programs on a user's machine leave them: held open by their writer, a
configuration saved as UTF-16 by a script, folders nested past 260 characters."""

import ctypes
import hashlib
import os
import select
import struct
import subprocess
import time

from harness import (BAR_FAILURE, BAR_SUCCESS, GOOD_INI, IDOK, TEXT_READ_FAILED, TITLE, WAIT_SECONDS,
                     ParvoletTestCase, stretched, wait_for, windows_path)

TEXT_CONFIG_UNREADABLE = "The following file could not be read,\nbut is required to continue:\n\nPARVOLET.INI"

IN_OPEN = 0x20


class OpenWatch:
    """Tells when any process opens one file, or tries to: Wine's server opens a file before it
    checks the share modes, so an open refused for sharing shows here as well."""

    def __init__(self, path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, os.fsencode(path), IN_OPEN) < 0:
            raise AssertionError("inotify: errno %d" % ctypes.get_errno())

    def wait_for_open(self, timeout=WAIT_SECONDS):
        deadline = time.monotonic() + stretched(timeout)
        while True:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.fd], [], [], max(left, 0))
            if not ready:
                raise AssertionError("nobody tried to open the held file")
            data = os.read(self.fd, 4096)
            at = 0
            while at + 16 <= len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, at)
                at += 16 + length
                if mask & IN_OPEN:
                    return

    def close(self):
        os.close(self.fd)


class FileCase(ParvoletTestCase):
    payload = b"a line the writer has just finished\r\n" * 300

    def hold(self, path):
        """dlgdrive, another process, opens the file with share mode 0, as a writer that has not
        closed it yet; Wine enforces share modes."""
        answer = self.driver.ask("lock " + windows_path(path))
        self.assertTrue(answer["ok"], answer)
        return path

    def release(self, path):
        self.assertTrue(self.driver.ask("unlock " + windows_path(path))["ok"])

    def outcome(self, timeout=120):
        """A message box's text, or the dialog at the end of its transfer."""
        def settled():
            for window in self.windows():
                state = self.dump(window["hwnd"]) if window["visible"] else {}
                if window["kind"] == "message_box" and state.get("message_text"):
                    return {"box": state["message_text"], "hwnd": window["hwnd"]}
                if window["kind"] == "dialog" and state.get("status_bar") in (BAR_SUCCESS, BAR_FAILURE):
                    return {"bar": state["status_bar"], "hwnd": window["hwnd"]}
            return None
        return wait_for(settled, timeout=timeout, message="a message box or the end of the transfer")

    def expect_exact_frame(self, receiver, outcome, payload=None):
        payload = self.payload if payload is None else payload
        self.assertEqual(BAR_SUCCESS, outcome.get("bar"), outcome)
        record = receiver.next_record(timeout=30)
        self.assertIsNotNone(record, "the receiver saw no connection")
        want = payload.replace(b"\r\n", b"\n")
        self.assertTrue(record["well_formed"], record)
        self.assertEqual(7, record["client_id"])
        self.assertEqual(len(want), record["length"])
        self.assertEqual(hashlib.sha256(want).hexdigest(), record["sha256"])
        self.assertEqual(0, record["trailing_bytes"])
        self.click(outcome["hwnd"], IDOK)
        self.assertEqual(1, self.exit_code())

    def expect_box_and_nothing_sent(self, receiver, outcome, text):
        box = outcome.get("box")
        self.assertIsNotNone(box, outcome)
        self.assertTrue(box.startswith(text + "\n\n"), box)
        # The system's reason follows, in its own words.
        self.assertTrue(box[len(text) + 2:].strip(), box)
        self.click(outcome["hwnd"], IDOK)
        self.assertEqual(0, self.exit_code())
        self.assertEqual([], self.windows())
        self.assertIsNone(receiver.next_record(timeout=1), "the receiver saw a connection")


class HeldFiles(FileCase):
    """A writer that has not closed its file yet, or a scanner's look at a new file: the file is
    there, held with share mode 0. A short hold is waited out; a long one is reported as what it
    is, never as a missing file."""

    def test_a_file_or_configuration_held_for_half_a_second_is_read(self):
        receiver = self.start_receiver(connections=2, timeout_seconds=240)
        self.write_ini(GOOD_INI.format(port=receiver.port))
        self.write_file("data.txt", self.payload)
        for held in [os.path.join(self.folder, "data.txt"), os.path.join(self.program_folder, "Parvolet.ini")]:
            with self.subTest(held=os.path.basename(held)):
                self.stop_program()  # the one before, if a failure left it running
                self.hold(held)
                watch = OpenWatch(held)
                self.addCleanup(watch.close)
                self.start(" data.txt")
                # Let go only once the program has met the hold.
                watch.wait_for_open()
                time.sleep(0.5)
                self.release(held)
                self.expect_exact_frame(receiver, self.outcome())

    def test_a_file_held_past_the_wait_is_reported_unreadable(self):
        receiver = self.start_receiver(connections=1, timeout_seconds=120)
        self.write_ini(GOOD_INI.format(port=receiver.port))
        path = self.hold(self.write_file("data.txt", self.payload))
        self.start(" data.txt")
        outcome = self.outcome()
        self.release(path)
        self.expect_box_and_nothing_sent(receiver, outcome, TEXT_READ_FAILED + "DATA.TXT")

    def test_a_configuration_held_past_the_wait_is_reported_unreadable(self):
        receiver = self.start_receiver(connections=1, timeout_seconds=120)
        self.write_ini(GOOD_INI.format(port=receiver.port))
        self.write_file("data.txt", self.payload)
        path = self.hold(os.path.join(self.program_folder, "Parvolet.ini"))
        self.start(" data.txt")
        outcome = self.outcome()
        self.release(path)
        self.expect_box_and_nothing_sent(receiver, outcome, TEXT_CONFIG_UNREADABLE)


class Utf16Configuration(FileCase):
    """Windows PowerShell 5.1 writes UTF-16 LE with a byte-order mark and CR LF for '>' and
    Out-File; Notepad's "Unicode" save does the same, its "Unicode big endian" the other order."""

    def send_with_ini(self, data):
        receiver = self.start_receiver(connections=1, timeout_seconds=120)
        text = "[Network]\r\nServerAddress = 127.0.0.1\r\nClientID = 7\r\nPort = %d\r\n" % receiver.port
        self.write_file(os.path.join(self.program_folder, "Parvolet.ini"), data(text))
        self.write_file("data.txt", self.payload)
        self.start(" data.txt")
        self.expect_exact_frame(receiver, self.outcome())

    def test_as_powershell_writes_it(self):
        self.send_with_ini(lambda text: b"\xff\xfe" + text.encode("utf-16-le"))

    def test_big_endian(self):
        self.send_with_ini(lambda text: b"\xfe\xff" + text.encode("utf-16-be"))


class LongPaths(FileCase):
    """Folders nested past 260 characters. Wine opens such names as they are; Windows without the
    system's long-path setting refuses them, which the test build stages."""

    exe = ParvoletTestCase.staged_exe
    STAGE = {"PARVOLET_STAGE": "path-limit"}

    def deep_folder(self, leaf):
        folder = os.path.join(self.folder, *(["%s%02d" % (leaf, i) + "x" * 90 for i in range(3)]))
        os.makedirs(folder)
        self.assertGreater(len(windows_path(folder)), 300)
        return folder

    def windows(self, kind=None):
        if self.pid is not None:
            return super().windows(kind)
        # Started without the launcher, so its process id is not known: the dialog lock makes
        # every new window of this title the program's.
        return [w for w in self.titled_windows() if w["pid"] not in self.others and (kind is None or w["kind"] == kind)]

    def titled_windows(self):
        return self.driver.ask("find " + TITLE).get("windows", [])

    def test_program_in_a_deep_folder_finds_its_configuration(self):
        receiver = self.start_receiver(connections=1, timeout_seconds=120)
        folder = self.deep_folder("program")
        program = os.path.join(folder, "parvolet.exe")
        os.rename(os.path.join(self.program_folder, "parvolet.exe"), program)
        self.program_folder = folder
        self.write_ini(GOOD_INI.format(port=receiver.port))
        self.write_file("data.txt", self.payload)
        # Wine's CreateProcess refuses a program path this long, but its loader starts one given
        # by its Unix path.
        self.others = {w["pid"] for w in self.titled_windows()}
        self.launcher = subprocess.Popen([self.wine_run, program, "data.txt"], cwd=self.folder,
                                         env=dict(os.environ, **self.STAGE), stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL)
        self.expect_exact_frame(receiver, self.outcome())

    def test_file_in_a_deep_folder_is_sent(self):
        receiver = self.start_receiver(connections=1, timeout_seconds=120)
        self.write_ini(GOOD_INI.format(port=receiver.port))
        path = self.write_file(os.path.join(self.deep_folder("data"), "data.txt"), self.payload)
        self.start(" " + windows_path(path), environment=self.STAGE)
        self.expect_exact_frame(receiver, self.outcome())


if __name__ == "__main__":
    import unittest
    unittest.main()
