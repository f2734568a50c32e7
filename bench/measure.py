# Clocks and gauges for the benchmark: the test receiver with the moment each connection ended,
# child processes timed from spawn to exit with their peak resident memory, and /proc readings.
import json
import os
import queue
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import stop_process  # noqa: E402


class Receiver:
    """The test receiver on loopback; each finished connection arrives as (record, monotonic time).

    The time is taken when the receiver's line for the connection reaches us, which it writes once
    it holds the whole frame and the peer has closed."""

    def __init__(self, program, connections, timeout_seconds, extra_args=()):
        args = [program, "--port", "0", "--connections", str(connections),
                "--timeout-seconds", str(timeout_seconds)] + list(extra_args)
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, bufsize=1)
        first = self.process.stdout.readline().split()
        if len(first) != 2 or first[0] != "PORT":
            self.close()
            raise RuntimeError("receiver did not report its port: %r" % first)
        self.port = int(first[1])
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stdout:
            now = time.monotonic()
            line = line.strip()
            if not line:
                continue
            try:
                self._lines.put((json.loads(line), now))
            except ValueError:
                self._lines.put(({"unparsed": line}, now))
        self._lines.put((None, time.monotonic()))

    def next_connection(self, timeout):
        """The next finished connection as (record, time); record None when the receiver ended."""
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError("the receiver reported no connection within %.0f s" % timeout)

    def close(self):
        stop_process(self.process)
        for stream in (self.process.stdout, self.process.stderr):
            if stream:
                stream.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Child:
    """A started process whose end is taken with wait4, so its peak resident memory comes along."""

    def __init__(self, args, env=None, cwd=None, stdin=None, stdout=None):
        """stdin and stdout name files to read from and write to (default /dev/null)."""
        stdin_file = open(stdin, "rb") if stdin else subprocess.DEVNULL
        stdout_file = open(stdout, "wb") if stdout else subprocess.DEVNULL
        try:
            self.start = time.monotonic()
            self.process = subprocess.Popen(args, env=env, cwd=cwd, stdin=stdin_file,
                                            stdout=stdout_file, stderr=subprocess.DEVNULL)
        finally:
            for f in (stdin_file, stdout_file):
                if f is not subprocess.DEVNULL:
                    f.close()
        self.pid = self.process.pid
        self.end = None
        self.status = None
        self.max_rss_kib = None

    def wait(self, timeout):
        """Waits for the end; returns the exit status. Kills the process after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.end = time.monotonic()
                self.status = os.waitstatus_to_exitcode(status)
                self.max_rss_kib = usage.ru_maxrss
                # Popen must not try to reap the process again.
                self.process.returncode = self.status
                return self.status
            if time.monotonic() > deadline:
                self.kill()
                raise TimeoutError("%s did not end within %.0f s" % (self.process.args, timeout))
            time.sleep(0.002)

    def kill(self):
        if self.end is None:
            try:
                self.process.kill()
            except ProcessLookupError:
                pass
            try:
                _, status, usage = os.wait4(self.pid, 0)
                self.status = os.waitstatus_to_exitcode(status)
                self.max_rss_kib = usage.ru_maxrss
            except ChildProcessError:
                self.status = -9
            self.process.returncode = self.status
            self.end = time.monotonic()


def read_status_kib(pid, field):
    """A kB field of /proc/PID/status (VmHWM, VmRSS), or None when the process is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


def summarize(values):
    """(min, median) of the measured values, or (None, None) when there are none (or no list)."""
    values = [v for v in values or [] if v is not None]
    if not values:
        return None, None
    return min(values), statistics.median(values)
