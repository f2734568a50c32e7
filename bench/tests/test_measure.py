# The clocks and gauges: a child's status and peak memory must come from its own wait, a hung
# child must not hang the run, and receiver lines must arrive in order with the end marked.
import os
import sys
import tempfile
import textwrap
import time
import unittest

import measure


class ChildTest(unittest.TestCase):
    def test_status_peak_memory_and_files(self):
        with tempfile.TemporaryDirectory() as directory:
            source = os.path.join(directory, "in")
            target = os.path.join(directory, "out")
            with open(source, "wb") as f:
                f.write(b"x" * 100000)
            # Touches 64 MiB, so the peak must be at least that much.
            child = measure.Child([sys.executable, "-c", textwrap.dedent("""
                import sys
                data = sys.stdin.buffer.read()
                block = bytearray(64 << 20)
                sys.stdout.buffer.write(data[:10])
                sys.exit(3)""")], stdin=source, stdout=target)
            self.assertEqual(child.wait(30), 3)
            self.assertGreaterEqual(child.max_rss_kib, 64 << 10)
            self.assertGreaterEqual(child.end, child.start)
            with open(target, "rb") as f:
                self.assertEqual(f.read(), b"x" * 10)

    def test_a_hung_child_is_killed_at_the_timeout(self):
        child = measure.Child(["sleep", "30"])
        began = time.monotonic()
        with self.assertRaises(TimeoutError):
            child.wait(0.3)
        self.assertLess(time.monotonic() - began, 5)
        self.assertIsNotNone(child.end)
        child.kill()  # a second kill of a reaped child is harmless

    def test_status_fields(self):
        self.assertGreater(measure.read_status_kib(os.getpid(), "VmHWM"), 0)
        child = measure.Child(["true"])
        child.wait(10)
        self.assertIsNone(measure.read_status_kib(child.pid, "VmHWM"))


class ReceiverTest(unittest.TestCase):
    def fake(self, body):
        """A stand-in for the receiver that prints what body prints."""
        directory = tempfile.mkdtemp()
        self.addCleanup(lambda: (os.remove(os.path.join(directory, "fake")), os.rmdir(directory)))
        path = os.path.join(directory, "fake")
        with open(path, "w") as f:
            f.write("#!%s\nimport sys, time\n%s\n" % (sys.executable, textwrap.dedent(body)))
        os.chmod(path, 0o755)
        return path

    def test_records_in_order_then_the_end(self):
        program = self.fake("""
            assert sys.argv[1:7] == ["--port", "0", "--connections", "2", "--timeout-seconds", "9"]
            print("PORT 4321", flush=True)
            print('{"length": 1}', flush=True)
            time.sleep(0.2)
            print("not json", flush=True)""")
        with measure.Receiver(program, 2, 9) as receiver:
            self.assertEqual(receiver.port, 4321)
            first, first_at = receiver.next_connection(5)
            second, second_at = receiver.next_connection(5)
            end, _ = receiver.next_connection(5)
        self.assertEqual(first, {"length": 1})
        self.assertEqual(second, {"unparsed": "not json"})
        # Time stamps are taken when a line is read; a busy machine may read both at once.
        self.assertLessEqual(first_at, second_at)
        self.assertIsNone(end)

    def test_silence_and_a_missing_port_are_errors(self):
        with measure.Receiver(self.fake('print("PORT 1", flush=True); time.sleep(30)'), 1, 1) as receiver:
            with self.assertRaises(TimeoutError):
                receiver.next_connection(0.2)
        with self.assertRaises(RuntimeError):
            measure.Receiver(self.fake('print("hello", flush=True)'), 1, 1)


class SummaryTest(unittest.TestCase):
    def test_min_and_median_skip_failed_runs(self):
        for values, expected in (([3.0, 1.0, 2.0], (1.0, 2.0)), ([None, 4.0, 2.0], (2.0, 3.0)),
                                 ([None, None], (None, None)), ([], (None, None))):
            with self.subTest(values=values):
                self.assertEqual(measure.summarize(values), expected)


if __name__ == "__main__":
    unittest.main()
