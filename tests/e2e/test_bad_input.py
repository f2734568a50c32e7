"""Start-up of the real parvolet.exe with hostile input: a configuration file that is garbage, has a
line of a mebibyte, is a folder or is held open by another program without sharing; a file to send
that is a device, larger than the process can hold, or fails its reads. Each gives its message or goes on as a good
start would; none may crash, hang or create a file."""

import os
import random
import unittest

from harness import (IDCANCEL, IDOK, IDYES, TEXT_CONFIG_MISSING, TEXT_NOT_FOUND, TEXT_READ_FAILED, TEXT_TOO_LARGE,
                     ParvoletTestCase, wait_for)
from test_startup import StartUpMessageCase

BAR_SUCCESS = "Transmission Successful"
BAR_FAILURE = "Transmission Failure"
MIB = 1 << 20


def garbage(size, seed):
    """Random bytes without Ctrl-Z, which would end the file and hide what follows."""
    rng = random.Random(seed)
    return bytes(b if b != 0x1A else 0x1B for b in (rng.getrandbits(8) for _ in range(size)))


class BadInputCase(StartUpMessageCase):
    def expect_nothing_created(self, arguments, text):
        before = self.folder_listing()
        self.expect_stop_box(arguments, text)
        self.launcher.stdout.close()  # several runs in one test: the fixture closes only the last
        self.assertEqual(before, self.folder_listing())

    def expect_dialog_outcome(self, bar, receiver=None, length=None):
        """The dialog came up and ended in the given state; the receiver (if any) got the whole frame."""
        state = wait_for(lambda: (lambda s: s if s["status_bar"] in (BAR_SUCCESS, BAR_FAILURE) else None)(
            self.dialog_state(timeout=30)), timeout=60, message="the end of the transfer")
        self.assertEqual(bar, state["status_bar"])
        if receiver is not None:
            record = receiver.next_record(timeout=30)
            self.assertIsNotNone(record)
            self.assertTrue(record["well_formed"], record)
            self.assertEqual(length, record["length"])
        if bar == BAR_SUCCESS:
            self.click(state["hwnd"], IDOK)
            self.assertEqual(1, self.exit_code())
        else:
            self.click(state["hwnd"], IDCANCEL)
            self.click(self.message_box()["hwnd"], IDYES)
            self.assertEqual(2, self.exit_code())


class BadConfiguration(BadInputCase):
    def setUp(self):
        super().setUp()
        self.write_file("data.txt", b"payload\n")

    def test_binary_garbage_is_a_missing_address(self):
        for seed in range(3):
            with self.subTest(seed=seed):
                self.write_file("Parvolet.ini", garbage(64 * 1024, seed))
                self.expect_nothing_created(" data.txt", TEXT_CONFIG_MISSING)

    def test_garbage_before_the_section_does_not_hide_it(self):
        receiver = self.start_receiver()
        good = "\n[Network]\nServerAddress=127.0.0.1\nClientID=3\nPort=%d\n" % receiver.port
        self.write_file("Parvolet.ini", garbage(64 * 1024, 7) + good.encode())
        self.start(" data.txt")
        self.expect_dialog_outcome(BAR_SUCCESS, receiver, len(b"payload\n"))

    def test_a_mebibyte_line_is_read_in_pieces_and_the_keys_after_it_count(self):
        receiver = self.start_receiver()
        self.write_ini("[Network]\nServerAddress=127.0.0.1\n;" + "x" * MIB + "\nClientID=3\nPort=%d\n" % receiver.port)
        self.start(" data.txt")
        self.expect_dialog_outcome(BAR_SUCCESS, receiver, len(b"payload\n"))

    def test_a_mebibyte_address_fails_to_connect(self):
        self.write_ini("[Network]\nServerAddress=" + "a" * MIB + "\nPort=9\n")
        self.start(" data.txt")
        self.expect_dialog_outcome(BAR_FAILURE)

    def test_a_folder_in_its_place_is_a_missing_file(self):
        os.mkdir(os.path.join(self.folder, "Parvolet.ini"))
        self.expect_nothing_created(" data.txt", TEXT_CONFIG_MISSING)


class BadFileToSend(BadInputCase):
    def setUp(self):
        super().setUp()
        self.write_ini("[Network]\nServerAddress=127.0.0.1\nClientID=3\nPort=9\n")

    def test_device_names_are_not_files_to_send(self):
        # CON would wait for console input that never comes: it must be refused, not read.
        for device in ["NUL", "CON", "COM1", "nul.txt", "aux"]:
            with self.subTest(device=device):
                self.expect_nothing_created(" " + device, TEXT_NOT_FOUND + device.upper())

    @unittest.skipIf(os.environ.get("PARVOLET_EXE_WIDTH") == "64",
                     "a 64-bit process can hold 4 GiB - 1 bytes and sends them: only the 32-bit exe's "
                     "address space refuses such a file (the 32-bit length limit is tested at both widths)")
    def test_a_file_larger_than_the_process_can_hold_is_refused(self):
        # Sparse: 4 GiB - 1 bytes of length fits the frame's 32-bit length but not the address space.
        path = os.path.join(self.folder, "big.txt")
        with open(path, "wb") as f:
            f.truncate((1 << 32) - 1)
        self.expect_nothing_created(" big.txt", TEXT_TOO_LARGE + "BIG.TXT")

    def test_a_file_whose_read_fails_is_refused_with_the_system_reason(self):
        # A process's own memory read from address 0 opens as a file and then fails its read with
        # an I/O error, as a dropped share or another program's lock on a range does on Windows.
        # Nothing read before such an error may go out as the file.
        self.start(" Z:\\proc\\self\\mem")
        box = self.message_box()
        head = TEXT_READ_FAILED + "Z:\\PROC\\SELF\\MEM\n\n"
        self.assertEqual(head, box["text"][:len(head)])
        self.assertNotEqual("", box["text"][len(head):].strip(), "no reason given")
        self.assertEqual(["OK"], box["buttons"])
        self.click(box["hwnd"], IDOK)
        self.assertEqual(0, self.exit_code())


if __name__ == "__main__":
    unittest.main()
