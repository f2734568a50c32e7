# The benchmark run: Wine start-up, the small file's latency against the do-nothing program,
# parvolet.exe against nc -N on the test receiver, the payload loader against cat, and peak memory,
# each repeated; then the report and plots (report.py).
import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import time

import measure
import payloads
import report

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
try:
    import harness  # the end-to-end tests' dlgdrive session and window texts
except ImportError:
    harness = None

CLIENT_ID = 1234
SUCCESS_TEXT = "Information transfer complete!\nClick 'OK' to exit."
EXIT_GRACE_SECONDS = 3.0
# The small file whose frame is timed against the do-nothing program's whole run.
LATENCY_SIZE = 1 << 20
# Once the receiver holds the frame, the success texts are due within moments.
STATUS_WAIT_SECONDS = 15.0


class DialogDriver:
    """Finds the program's windows through one dlgdrive session; one program runs at a time, so
    any window with the program's title is the one under test."""

    def __init__(self, win_build, dlgdrive, cwd):
        self.session = harness.Driver(os.path.join(win_build, "wine-run"), dlgdrive, cwd)
        self.last_status = None

    def _visible(self, kind):
        answer = self.session.ask("find " + harness.TITLE)
        return [w for w in answer.get("windows", []) if w["kind"] == kind and w["visible"]]

    def wait_for_status(self, text, timeout):
        """The progress dialog's handle once its status text reads text; last_status keeps what
        the status bar said at the last look."""
        def showing():
            for window in self._visible("dialog"):
                state = self.session.ask("dump %d" % window["hwnd"])
                self.last_status = state.get("status_bar")
                status = [c["text"] for c in state.get("children", []) if c["id"] == harness.STATUS_TEXT_ID]
                if status and status[0] == text:
                    return window["hwnd"]
            return None
        self.last_status = None
        return harness.wait_for(showing, timeout, interval=0.02, message="the status text %r" % text)

    def wait_for_message_box(self, timeout):
        """(handle, text) of the first visible message box."""
        def showing():
            boxes = self._visible("message_box")
            if not boxes:
                return None
            return boxes[0]["hwnd"], self.session.ask("dump %d" % boxes[0]["hwnd"])["message_text"]
        return harness.wait_for(showing, timeout, interval=0.02, message="a message box")

    def click(self, hwnd, control_id):
        answer = self.session.ask("click %d %d" % (hwnd, control_id))
        if not answer.get("ok"):
            raise RuntimeError("dlgdrive could not press %d: %r" % (control_id, answer))

    def close(self):
        self.session.close()


def log(message):
    print("[bench %s] %s" % (time.strftime("%H:%M:%S"), message), flush=True)


def tree_width(win_build):
    """32 or 64: the width a Windows build tree was configured for, read from its toolchain file."""
    with open(os.path.join(win_build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_TOOLCHAIN_FILE:"):
                return 64 if "x86_64" in line else 32
    return 32


def build_name(width):
    return "64-bit (x86-64) parvolet.exe under wine64" if width == 64 else "32-bit (i686) parvolet.exe under wine32"


def wine_loader(width):
    """The loader of a width: Debian's wine script picks the 32-bit one whenever wine32 is
    installed, so the 64-bit loader is named directly."""
    return "/usr/lib/wine/wine64" if width == 64 else "wine"


class WineSession:
    """One prefix, one display and one persistent Wine server for the whole run."""

    def __init__(self, win_build, display):
        self.prefix = os.path.join(win_build, "wineprefix")
        self.width = tree_width(win_build)
        self.loader = wine_loader(self.width)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH="win64" if self.width == 64 else "win32",
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d", DISPLAY=display)
        if self.width == 64:
            self.env["WINELOADER"] = self.loader
        subprocess.run([os.path.join(win_build, "prepare-prefix")], env=self.env, check=True,
                       stdin=subprocess.DEVNULL)
        # Background services inherit the first Wine process's stdio: give them /dev/null.
        quiet = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        # Fails harmlessly when a server for the prefix already runs.
        subprocess.run(["wineserver", "-p"], **quiet)
        for _ in range(2):
            subprocess.run([self.loader, "cmd.exe", "/c", "exit"], timeout=120, **quiet)

    def start(self, program, *args):
        return measure.Child([self.loader, program] + list(args), env=self.env)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def record_problems(record, payload):
    """What is wrong with a connection's record; a run with any problem is not counted.

    The digest is checked only when the receiver made one (the timed runs go without)."""
    if record is None:
        return ["the receiver ended early"]
    wanted = {"client_id": CLIENT_ID, "length": payload.payload_length, "well_formed": True,
              "ended": "client-closed", "bytes_received": payload.payload_length + 20,
              "sha256": payload.sha256}
    return ["%s %r, not %r" % (key, record.get(key), want) for key, want in wanted.items()
            if (key in record or key != "sha256") and record.get(key) != want]


def first_existing(directory, *names):
    """The first of the relative names under directory that is a file (the last one otherwise)."""
    for name in names:
        path = os.path.join(directory, name)
        if os.path.isfile(path):
            return path
    return os.path.join(directory, names[-1])


def windows_path(path):
    """Wine's drive Z: is the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def environment(width=32):
    cpu = platform.processor() or "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        total_kib = int(f.readline().split()[1])
    wine = subprocess.run([wine_loader(width), "--version"], capture_output=True, text=True).stdout.strip()
    return {"cpu": cpu, "cores": os.cpu_count(), "ram": "%.1f GiB" % (total_kib / (1 << 20)),
            "wine": wine, "kernel": "Linux " + platform.release(), "build": build_name(width),
            "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
            "load_before": "%.2f %.2f %.2f" % os.getloadavg()}


class Bench:
    def __init__(self, options):
        self.options = options
        self.work = os.path.abspath(options.work)
        self.program_dir = os.path.join(self.work, "program")
        os.makedirs(self.program_dir, exist_ok=True)
        self.program = os.path.join(self.program_dir, "parvolet.exe")
        shutil.copy2(os.path.join(options.win_build, "app", "parvolet.exe"), self.program)
        self.noop = os.path.join(options.win_build, "bench", "bench_noop.exe")
        self.receiver = first_existing(options.native_build, "tools/receiver/receiver", "tools/receiver")
        self.loader = os.path.join(options.native_build, "bench", "bench_loader")
        self.dlgdrive = first_existing(options.win_build, "tools/dlgdrive/dlgdrive.exe", "tools/dlgdrive.exe")
        self.notes = []
        self.hung_after_ok = 0
        self.stuck_dialogs = 0
        self.wine = None
        self.driver = None

    def write_profile(self, port):
        with open(os.path.join(self.program_dir, "Parvolet.ini"), "w", newline="\r\n") as f:
            f.write("[Network]\nServerAddress=127.0.0.1\nPort=%d\nClientID=%d\n" % (port, CLIENT_ID))

    def measure_startup(self):
        """The do-nothing program from spawn to exit on the warm server, then its resident memory.

        The memory is read from /proc while the program holds: the exit status's maximum would
        include this Python process, whose fork the program starts as."""
        seconds, peaks = [], []
        for _ in range(max(5, self.options.runs)):
            child = self.wine.start(self.noop)
            if child.wait(60) != 0:
                raise RuntimeError("the do-nothing program failed")
            seconds.append(child.end - child.start)
        for _ in range(self.options.runs):
            process = subprocess.Popen([self.wine.loader, self.noop, "hold"], env=self.wine.env, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            try:
                if process.stdout.readline().strip() != b"ready":
                    raise RuntimeError("the do-nothing program did not hold")
                peaks.append(measure.read_status_kib(process.pid, "VmHWM"))
            finally:
                process.stdin.close()
                process.wait(60)
                process.stdout.close()
        log("wine start-up: min %.3f s, median %.3f s; peak resident %.1f MiB" % (
            *measure.summarize(seconds), max(peaks) / 1024.0))
        return {"seconds": seconds, "peak_kib": peaks}

    def run_noop(self):
        """The do-nothing program once, from spawn to exit."""
        child = self.wine.start(self.noop)
        if child.wait(60) != 0:
            raise RuntimeError("the do-nothing program failed")
        return child.end - child.start

    def measure_latency(self):
        """The small file from process start until the receiver holds its frame, against the
        do-nothing program from start to exit: in pairs on the one warm server, so that both meet
        the same machine load, with the order inside a pair alternating."""
        payload = payloads.Payload(self.work, LATENCY_SIZE, CLIENT_ID).ensure()
        subprocess.run(["cat", payload.path], stdout=subprocess.DEVNULL, check=True)
        runs = self.options.latency_runs
        figures = {"size": LATENCY_SIZE, "noop_seconds": [], "parvolet_seconds": []}
        with measure.Receiver(self.receiver, runs, int(self.options.timeout) * runs,
                              ["--digest", "none"]) as receiver:
            self.write_profile(receiver.port)
            for i in range(runs):
                noop_first = i % 2 == 0
                if noop_first:
                    noop = self.run_noop()
                outcome = self.run_parvolet(receiver, payload)
                if not noop_first:
                    noop = self.run_noop()
                figures["noop_seconds"].append(noop)
                figures["parvolet_seconds"].append(outcome["seconds"])
                if outcome.get("failed"):
                    break  # the receiver's next record could belong to the failed run
        if not self.options.keep_files:
            payload.remove()
        def pair(values):
            return " / ".join("-" if v is None else "%.3f" % v for v in measure.summarize(values))
        log("latency at %s: parvolet frame %s s, do-nothing exit %s s (min / median)" % (
            payloads.human_size(LATENCY_SIZE), pair(figures["parvolet_seconds"]), pair(figures["noop_seconds"])))
        return figures

    def run_parvolet(self, receiver, payload):
        """One run: time until the receiver holds the frame, and the process's peak memory."""
        child = self.wine.start(self.program, windows_path(payload.path))
        try:
            try:
                record, arrived = receiver.next_connection(self.options.timeout)
            except TimeoutError as failure:
                # The receiver's next record could now belong to this run: the caller stops.
                log("parvolet run failed: %s" % failure)
                self.notes.append("A parvolet run at %s failed: %s" % (payloads.human_size(payload.size), failure))
                return {"seconds": None, "wire_seconds": None, "peak_kib": None, "rusage_kib": None,
                        "failed": True}
            hwm = None
            if self.driver and record is not None:
                try:
                    dialog = self.driver.wait_for_status(SUCCESS_TEXT, STATUS_WAIT_SECONDS)
                except AssertionError as failure:
                    # The frame arrived, so the time stands; the dialog's fault is recorded.
                    self.stuck_dialogs += 1
                    log("parvolet: %s" % failure)
                    self.notes.append("At %s the receiver held the whole frame and the client had closed, "
                                      "but the dialog still showed \"%s\" %.0f s later; the program was "
                                      "ended. Its time and memory are counted." % (
                                          payloads.human_size(payload.size), self.driver.last_status,
                                          STATUS_WAIT_SECONDS))
                    dialog = None
                hwm = measure.read_status_kib(child.pid, "VmHWM")
                if dialog is not None:
                    self.driver.click(dialog, harness.IDOK)
                    self.await_exit(child)
            else:
                hwm = measure.read_status_kib(child.pid, "VmHWM")
        finally:
            child.kill()
        return self.outcome("parvolet", record, payload, arrived - child.start,
                            {"peak_kib": hwm, "rusage_kib": child.max_rss_kib})

    def await_exit(self, child):
        """Gives the program a moment to end after OK; one that hangs is ended and noted once."""
        try:
            child.wait(EXIT_GRACE_SECONDS)
        except TimeoutError:
            self.hung_after_ok += 1
            if self.hung_after_ok == 1:
                self.notes.append("parvolet.exe did not end after OK: its dialog closed, but the process "
                                  "stayed (one thread waiting in its exit handlers) and was killed %.0f s "
                                  "after OK. The figures are not affected: the time stops when the "
                                  "receiver holds the frame, and the peak memory is read before OK." %
                                  EXIT_GRACE_SECONDS)

    def run_netcat(self, receiver, payload):
        """One run of nc -N sending the prepared frame from its file."""
        child = measure.Child(["nc", "-N", "127.0.0.1", str(receiver.port)], stdin=payload.framed_path)
        try:
            record, arrived = receiver.next_connection(self.options.timeout)
            child.wait(self.options.timeout)
        finally:
            child.kill()
        return self.outcome("netcat", record, payload, arrived - child.start, {})

    def outcome(self, who, record, payload, seconds, memory):
        """A run's figures; its times are left out (None) when the receiver saw anything wrong."""
        problems = record_problems(record, payload)
        if problems:
            log("%s run not counted: %s" % (who, "; ".join(problems)))
            self.notes.append("A %s run at %s was not counted: %s." % (who, payloads.human_size(payload.size),
                                                                      "; ".join(problems)))
            return dict(memory, seconds=None, wire_seconds=None)
        return dict(memory, seconds=seconds, wire_seconds=record.get("seconds"))

    def run_loader(self, payload, touch=False):
        """The loader bench once per run, each a fresh process, so its peak is that one load's.

        The time is the load call alone, as the bench program measures it. With touch, the time
        to fill fresh memory of the file's size instead: the floor under any loader."""
        seconds, peaks = [], []
        output = os.path.join(self.work, "loader.out")
        for _ in range(self.options.runs):
            child = measure.Child([self.loader, "--touch", "1" if touch else "0", payload.path], stdout=output)
            child.wait(self.options.timeout)
            with open(output) as f:
                line = json.loads(f.read().strip().splitlines()[-1])
            want = payload.size if touch else payload.payload_length
            if line["result"] != "loaded" or line["length"] != want:
                raise RuntimeError("the loader bench gave %r for %s" % (line, payload.path))
            seconds.append(line["seconds"])
            peaks.append(line["hwm_kib"])
        os.remove(output)
        return seconds, peaks

    def run_cat(self, payload):
        seconds = []
        for _ in range(self.options.runs):
            child = measure.Child(["cat", payload.path])
            child.wait(self.options.timeout)
            seconds.append(child.end - child.start)
        return seconds

    def measure_size(self, size):
        log("payload %s: preparing files" % payloads.human_size(size))
        payload = payloads.Payload(self.work, size, CLIENT_ID).ensure()
        entry = {"size": size, "payload_length": payload.payload_length,
                 "framed_length": payload.payload_length + 20,
                 "parvolet": {"seconds": [], "peak_kib": [], "rusage_kib": [], "wire_seconds": []},
                 "netcat": {"seconds": [], "wire_seconds": []},
                 "loader": {"seconds": [], "peak_kib": []}, "touch": {"seconds": []}, "cat": {"seconds": []}}
        # Everything reads from the page cache: warm it for both files first.
        for path in (payload.path, payload.framed_path):
            subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)
        if "loading" in self.options.parts:
            entry["cat"]["seconds"] = self.run_cat(payload)
            entry["loader"]["seconds"], entry["loader"]["peak_kib"] = self.run_loader(payload)
            entry["touch"]["seconds"] = self.run_loader(payload, touch=True)[0]
        if "transfer" in self.options.parts:
            self.measure_transfer(payload, entry)
        log("payload %s: parvolet %s s, netcat %s s, loader %s s, cat %s s (medians)" % (
            payloads.human_size(size),
            *("%.3f" % (measure.summarize(entry[k]["seconds"])[1] or 0) for k in ("parvolet", "netcat", "loader", "cat"))))
        if not self.options.keep_files:
            payload.remove()
        return entry

    def measure_transfer(self, payload, entry):
        """parvolet and nc in turn on one receiver, so both meet the same machine load.

        The timed runs go to a receiver that only checks the frame: its digest would cost more than
        the sending and hide the difference. One untimed run of each against a digesting receiver
        first proves that both deliver exactly the translated file."""
        with measure.Receiver(self.receiver, 2, int(self.options.timeout) * 2) as receiver:
            self.write_profile(receiver.port)
            for who, run in (("parvolet", self.run_parvolet), ("netcat", self.run_netcat)):
                figures = run(receiver, payload)
                entry[who]["verified"] = figures["seconds"] is not None
                if figures.get("failed"):
                    return
        runs = self.options.runs
        with measure.Receiver(self.receiver, 2 * runs, int(self.options.timeout) * 2 * runs,
                              ["--digest", "none"]) as receiver:
            self.write_profile(receiver.port)
            for _ in range(runs):
                for who, run in (("parvolet", self.run_parvolet), ("netcat", self.run_netcat)):
                    figures = run(receiver, payload)
                    # After a failed run the receiver's next record may be that run's late
                    # connection: stop here rather than pair records with the wrong runs.
                    failed = figures.pop("failed", False)
                    for key, value in figures.items():
                        entry[who].setdefault(key, []).append(value)
                    if failed:
                        return

    def measure_too_large(self):
        """Sparse files at the size limit: the program must refuse them with the clear message."""
        if not self.driver:
            return {"met": None, "outcome": "not measured: no dialog driver to read the message"}
        outcomes = []
        met = True
        # 2 GiB is beyond a 32-bit process's address space; a 64-bit one holds and sends it, so
        # there only the frame's 32-bit length limit (4 GiB) refuses a file.
        sizes = (1 << 32,) if self.wine.width == 64 else (1 << 31, 1 << 32)
        for size in sizes:
            path = os.path.join(self.work, "too-large-%s.txt" % payloads.size_label(size).lower())
            with open(path, "wb") as f:
                f.truncate(size)
            child = self.wine.start(self.program, windows_path(path))
            try:
                box, text = self.driver.wait_for_message_box(self.options.timeout)
                seconds = time.monotonic() - child.start
                peak_kib = measure.read_status_kib(child.pid, "VmHWM")
                self.driver.click(box, harness.IDOK)
                child.wait(self.options.timeout)
            finally:
                child.kill()
                os.remove(path)
            expected = harness.TEXT_TOO_LARGE + windows_path(path).upper()
            ok = text == expected
            met = met and ok
            shown = "-" if text is None else " / ".join(text.split("\n"))
            outcomes.append("%s: %s \"%s\" after %.2f s, peak %.1f MiB" % (
                payloads.human_size(size), "the message" if ok else "UNEXPECTED message", shown, seconds,
                (peak_kib or 0) / 1024.0))
        return {"met": met, "outcome": "; ".join(outcomes)}

    def run(self):
        results = {"environment": environment(tree_width(self.options.win_build)), "runs": self.options.runs,
                   "notes": self.notes}
        log("machine: %(cpu)s, %(cores)s cores, %(ram)s; load %(load_before)s; %(build)s" % results["environment"])
        os.environ["DISPLAY"] = self.options.display
        self.wine = WineSession(self.options.win_build, self.options.display)
        try:
            if harness and os.path.exists(self.dlgdrive):
                self.driver = DialogDriver(self.options.win_build, self.dlgdrive, self.work)
            else:
                self.notes.append("No dialog driver (dlgdrive.exe or the end-to-end harness missing): each "
                                  "run was ended by killing the program after the receiver held the frame.")
            results["startup"] = self.measure_startup()
            if "latency" in self.options.parts:
                results["latency"] = self.measure_latency()
            results["sizes"] = [self.measure_size(size) for size in self.options.sizes]
            if "too-large" in self.options.parts:
                results["too_large"] = self.measure_too_large()
        finally:
            if self.driver:
                self.driver.close()
            self.wine.stop()
        results["environment"]["load_after"] = "%.2f %.2f %.2f" % os.getloadavg()
        if self.hung_after_ok:
            self.notes.append("Runs in which parvolet.exe had to be ended after OK: %d." % self.hung_after_ok)
        if self.stuck_dialogs:
            self.notes.append("Runs whose dialog never showed success after the frame arrived: %d." %
                              self.stuck_dialogs)
        written = report.write(results, self.options.results)
        log("wrote %s" % ", ".join([os.path.join(self.options.results, "README.md")] + written))
        for name, met, detail in report.evaluate(results):
            log("%-70s %-4s %s" % (name, {True: "yes", False: "NO", None: "-"}[met], detail))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--native-build", required=True)
    parser.add_argument("--win-build", required=True)
    parser.add_argument("--display", default=os.environ.get("DISPLAY", ""))
    parser.add_argument("--sizes", default="1M,64M,256M,1G",
                        type=lambda text: [payloads.parse_size(s) for s in text.split(",") if s])
    parser.add_argument("--runs", type=int, default=5, help="repetitions of each measurement (at least 3 for a median)")
    parser.add_argument("--latency-runs", type=int, default=15,
                        help="pairs of small-file and do-nothing runs (at least 10 for a fair median)")
    parser.add_argument("--parts", default="latency,transfer,loading,too-large",
                        type=lambda text: set(text.split(",")), help="what to measure besides Wine start-up")
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds for any one step")
    parser.add_argument("--work", default=os.path.join(HERE, "work"))
    parser.add_argument("--results", default=os.path.join(HERE, "results"))
    parser.add_argument("--keep-files", action="store_true", help="keep the payload files for another run")
    options = parser.parse_args(argv)
    if options.runs < 1 or options.latency_runs < 1:
        parser.error("--runs and --latency-runs must be at least 1")
    # The dialog driver runs in the work folder: every path must survive the change of folder.
    for name in ("native_build", "win_build", "work", "results"):
        setattr(options, name, os.path.abspath(getattr(options, name)))
    Bench(options).run()


if __name__ == "__main__":
    main(sys.argv[1:])
