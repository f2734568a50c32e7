"""Long dialog sessions of the real parvolet.exe: hundreds of Retry cycles against a server that
refuses, and a shorter run against one that accepts and closes at once. The process's handles,
threads, windows and memory, read from outside through the window driver, must stay flat, and
every connection must be closed by the program."""

import time
import unittest

from harness import IDCANCEL, IDRETRY, IDYES, Receiver, ParvoletTestCase, wait_for

BAR_FAILURE = "Transmission Failure"
REFUSED_CYCLES = 200
CLOSED_CYCLES = 40
WARM_UP_CYCLES = 5
# Growth allowed over a whole run: a leak of one handle or one small allocation per cycle
# exceeds it many times over.
HANDLE_SLACK = 4
MEMORY_SLACK = 768 * 1024
# The heap grows for the first hundred or so cycles and then stays (600 cycles measured: +628 KiB
# over the first 100, +8 KiB over the next 500); the second half of a run must be flat.
SECOND_HALF_MEMORY_SLACK = 192 * 1024

# How long a Retry is watched for its attempt to show; a refused attempt takes a few ms.
RETRY_LOOK_SECONDS = 0.5

TCP_ESTABLISHED, TCP_CLOSE_WAIT = "01", "08"


def sockets_to_port(port):
    """(state, local port) of every loopback TCP socket whose remote end is port, from
    /proc/net/tcp: the program's side of its connections to the receiver."""
    found = []
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local, remote, state = fields[1], fields[2], fields[3]
            if int(remote.split(":")[1], 16) == port:
                found.append((state, int(local.split(":")[1], 16)))
    return found


class LeakCase(ParvoletTestCase):
    def start_session(self, port):
        self.write_ini("[Network]\nServerAddress=127.0.0.1\nClientID=5\nPort=%d\n" % port)
        self.write_file("data.txt", b"a payload that never arrives\n" * 100)
        self.start(" data.txt")
        return self.wait_failed(self.dialog_state(timeout=30)["hwnd"])

    def buttons(self, hwnd):
        state = self.dump(hwnd)
        if not state.get("ok"):
            raise AssertionError("the dialog is gone")
        return state, {b["id"]: b for b in state["buttons"]}

    def wait_failed(self, hwnd, timeout=15):
        def failed():
            state, buttons = self.buttons(hwnd)
            return state["status_bar"] == BAR_FAILURE and buttons[IDRETRY]["visible"] and buttons[IDRETRY]["enabled"]
        wait_for(failed, timeout=timeout, interval=0.01, message="the failure texts and Retry")
        return hwnd

    def retry(self, hwnd):
        """Presses Retry and waits for the next failure. True when the Retry button was seen hidden
        in between (the new attempt was caught running). An attempt that ends before the first look
        is over well within the look's bound, so the failure seen after it is the new one."""
        self.click(hwnd, IDRETRY)
        seen_running = False
        deadline = time.monotonic() + RETRY_LOOK_SECONDS
        while time.monotonic() < deadline:
            _, buttons = self.buttons(hwnd)
            if not buttons[IDRETRY]["visible"]:
                seen_running = True
                break
        self.wait_failed(hwnd)
        return seen_running

    def settled_stats(self):
        """The program's counts once its last worker has ended (the thread count has stopped falling)."""
        previous = None
        for _ in range(20):
            stats = self.driver.ask("stats %d" % self.pid, timeout=30)
            self.assertTrue(stats["ok"], stats)
            if previous is not None and stats["threads"] == previous["threads"]:
                return stats
            previous = stats
            time.sleep(0.2)
        return previous

    def assert_flat(self, before, after, cycles):
        summary = "after %d cycles: %s -> %s" % (cycles, describe(before), describe(after))
        print(summary)
        self.assertLessEqual(after["handles"], before["handles"] + HANDLE_SLACK, summary)
        self.assertEqual(before["threads"], after["threads"], summary)
        self.assertEqual(before["windows"], after["windows"], summary)
        if before["gdi"] is not None and after["gdi"] is not None:
            self.assertLessEqual(after["gdi"], before["gdi"] + 2, summary)
            self.assertLessEqual(after["user"], before["user"] + 2, summary)
        if before["private_bytes"] is not None and after["private_bytes"] is not None:
            self.assertLessEqual(after["private_bytes"], before["private_bytes"] + MEMORY_SLACK, summary)

    def end_session(self, hwnd):
        self.click(hwnd, IDCANCEL)
        box = self.message_box()
        self.click(box["hwnd"], IDYES)
        self.assertEqual(2, self.exit_code())


def describe(stats):
    gui = ("GDI %s, USER %s" % (stats["gdi"], stats["user"])) if stats["gdi"] is not None else "GDI/USER not reported"
    return "handles %d, threads %d, windows %d, %s, private %s KiB" % (
        stats["handles"], stats["threads"], stats["windows"], gui,
        stats["private_bytes"] // 1024 if stats["private_bytes"] is not None else "?")


class RetryAgainstRefusingServer(LeakCase):
    def test_two_hundred_retries_leak_nothing(self):
        if not self.receiver_binary:
            self.skipTest("the test receiver is not built")
        refusing = self.start_receiver(mode="refuse")  # reports a port, then stops listening
        hwnd = self.start_session(refusing.port)
        for _ in range(WARM_UP_CYCLES):
            self.retry(hwnd)
        before = self.settled_stats()
        started = time.monotonic()
        half = REFUSED_CYCLES // 2
        caught = sum(1 for _ in range(half) if self.retry(hwnd))
        middle = self.settled_stats()
        caught += sum(1 for _ in range(REFUSED_CYCLES - half) if self.retry(hwnd))
        seconds = time.monotonic() - started
        after = self.settled_stats()
        print("%d Retry cycles in %.0f s, %d caught running; after %d: %s" % (
            REFUSED_CYCLES, seconds, caught, half, describe(middle)))
        self.assert_flat(before, after, REFUSED_CYCLES)
        self.assertLessEqual(after["handles"], middle["handles"])
        if middle["private_bytes"] is not None and after["private_bytes"] is not None:
            self.assertLessEqual(after["private_bytes"], middle["private_bytes"] + SECOND_HALF_MEMORY_SLACK)
        # A refused attempt is over in a few ms, often before any look at the dialog, so how many
        # were caught running says nothing; that each Retry really makes a new attempt is counted
        # at the server in RetryAgainstClosingServer.
        self.end_session(hwnd)


class RetryAgainstClosingServer(LeakCase):
    def test_every_connection_is_closed_by_the_program(self):
        if not self.receiver_binary:
            self.skipTest("the test receiver is not built")
        total = WARM_UP_CYCLES + CLOSED_CYCLES + 1
        receiver = Receiver(self.receiver_binary, connections=total, timeout_seconds=170, mode="close-at-once")
        self.addCleanup(receiver.stop)
        hwnd = self.start_session(receiver.port)
        for _ in range(WARM_UP_CYCLES):
            self.retry(hwnd)
        before = self.settled_stats()
        for _ in range(CLOSED_CYCLES):
            self.retry(hwnd)
        after = self.settled_stats()
        records = [receiver.next_record(timeout=10) for _ in range(total)]
        self.assertNotIn(None, records, "every attempt reached the server")
        self.assertEqual({"server-closed"}, {r["ended"] for r in records})
        # The server closed first; a connection the program did not close stays in CLOSE_WAIT on
        # its side.
        left_open = [s for s in sockets_to_port(receiver.port) if s[0] in (TCP_ESTABLISHED, TCP_CLOSE_WAIT)]
        self.assertEqual([], left_open, "connections the program never closed")
        self.assert_flat(before, after, CLOSED_CYCLES)
        self.end_session(hwnd)


if __name__ == "__main__":
    unittest.main()
