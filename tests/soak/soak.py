#!/usr/bin/env python3
"""Soak run of the real parvolet.exe under Wine with every core kept busy: N runs against the test
receiver in rotating timing modes, each checked for its final texts and buttons, the control that
has the focus, the exact frame the receiver got and the exit status. Not part of CI.

Needs a Windows build tree (parvolet.exe, dlgdrive.exe, wine-run), the native one (receiver)
and a display (DISPLAY). It uses the 32-bit tree (win/, the exe we ship) where this host can run
32-bit programs and the 64-bit one (win64/) where it cannot; --tree picks one. Prints the exe it
soaks, then one line of counts, and exits non-zero on any fault:
    runs=N stuck=a focus=b frames=c exits=d states=e
"""

import argparse
import hashlib
import os
import random
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

FRAME_OVERHEAD = 20  # client id, {1, L}, {0, 0}: five 32-bit words

# The rotation: what the receiver does, and what the run expects of the program.
MODES = ["at-once", "pieces", "delayed", "extra-bytes", "slow-reader", "refused-then-retry", "never-greets"]


class Fault(Exception):
    """A run's fault: kind is one of stuck, focus, frames, exits, states."""

    def __init__(self, kind, detail):
        super().__init__("%s: %s" % (kind, detail))
        self.kind = kind


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=300, help="number of runs (default 300)")
    parser.add_argument("--bound", type=float, default=120.0,
                        help="seconds a run may take before it counts as stuck (default 120)")
    parser.add_argument("--busy", type=int, default=os.cpu_count() or 1,
                        help="busy loops kept running meanwhile (default: one per core)")
    parser.add_argument("--seed", type=int, default=None, help="seed of the varied payloads and delays")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build"),
                        help="folder holding the win/ and native/ build trees (default: build/)")
    parser.add_argument("--tree", choices=["win", "win64"], default=None,
                        help="the Windows tree to soak (default: win where the host runs 32-bit programs, else win64)")
    parser.add_argument("--verbose", action="store_true", help="one line per run, not only per fault")
    return parser.parse_args()


def host_tree():
    """win where this host can run wine32's programs, else win64 (the same test as run-tests.sh)."""
    probe = os.path.join(ROOT, "tools", "wine", "can-run-wine32.sh")
    result = subprocess.run(["bash", probe], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return "win" if result.returncode == 0 else "win64"


def locate_tools(build, tree):
    """Fills the environment the end-to-end harness reads, unless it is set already."""
    paths = {
        "PARVOLET_EXE": os.path.join(build, tree, "app", "parvolet.exe"),
        "PARVOLET_WINE_RUN": os.path.join(build, tree, "wine-run"),
        "PARVOLET_DLGDRIVE": os.path.join(build, tree, "tools", "dlgdrive", "dlgdrive.exe"),
        "PARVOLET_RECEIVER": os.path.join(build, "native", "tools", "receiver", "receiver"),
    }
    missing = []
    for name, default in paths.items():
        path = os.environ.get(name) or default
        if not os.path.exists(path):
            missing.append("%s (%s)" % (name, path))
        os.environ[name] = path
    os.environ["PYTHONDONTWRITEBYTECODE"] = "1"
    return missing


def start_busy_loops(count):
    """One spinning shell per core; each dies with us even if we are killed."""
    def die_with_parent():
        try:
            import ctypes
            ctypes.CDLL("libc.so.6").prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        except OSError:
            pass
    return [subprocess.Popen(["sh", "-c", "while :; do :; done"], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
            for _ in range(count)]


def stop_busy_loops(loops):
    for loop in loops:
        if loop.poll() is None:
            loop.kill()
        loop.wait()


def payload_for(rng, mode):
    """Text the loader passes through unchanged: LF line ends, no CR, NUL or Ctrl-Z."""
    size = rng.choice([0, 1, 3, 100, 4096, rng.randint(1, 65536)])
    if mode == "slow-reader":
        size = rng.randint(64 * 1024, 256 * 1024)
    line = bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz0123456789 .,;") for _ in range(rng.randint(1, 79))) + b"\n"
    return (line * (size // len(line) + 1))[:size]


def receiver_options(rng, mode):
    if mode == "pieces":
        return {"greeting_pieces": rng.randint(2, 4)}
    if mode == "delayed":
        return {"greeting_delay": "%.3f" % rng.uniform(0.0, 1.0)}
    if mode == "extra-bytes":
        return {"extra_bytes": rng.choice([1, 3, 100, 1000])}
    if mode == "slow-reader":
        return {"read_rate": rng.choice([200000, 500000]), "read_delay": "%.3f" % rng.uniform(0.0, 0.5)}
    if mode == "never-greets":
        return {"mode": "no-greeting", "hold_seconds": 3600}
    return {}


def make_run_class(harness):
    class SoakRun(harness.ParvoletTestCase):
        """One run: the harness's fixture (scratch folder, driver, cleanup) and the run's checks."""

        def runTest(self):  # unittest needs one; the soak calls the steps itself
            pass

        def configure(self, rng, mode, bound):
            self.mode = mode
            self.deadline = time.monotonic() + bound
            self.payload = payload_for(rng, mode)
            self.client = rng.randint(-1000000, 1000000)
            self.options = receiver_options(rng, mode)
            self.seen = None

        def left(self):
            return max(0.5, self.deadline - time.monotonic())

        def new_receiver(self, **options):
            # The receiver stops by itself a little after the run's own bound; the fixture stops
            # the run's current one at its end.
            if self.receiver is not None:
                self.receiver.stop()
            self.receiver = harness.Receiver(self.receiver_binary, timeout_seconds=int(self.left()) + 30, **options)
            return self.receiver

        def launch(self, port):
            self.write_ini("[Network]\nServerAddress=127.0.0.1\nClientID=%d\nPort=%d\n" % (self.client, port))
            self.write_file("data.txt", self.payload)
            self.start(" data.txt")

        # ---- the dialog ----------------------------------------------------------------------

        def wait_state(self, status, bar, buttons, what):
            """Waits until one reading shows the status text, the bar line and exactly the visible
            buttons given (ids); a run that gets there too late is stuck."""
            def reached():
                state = self.dialog_state(timeout=self.left())
                self.seen = state
                shown = {i for i, b in state["buttons"].items() if b["visible"] and b["enabled"]}
                ok = state["status_text"] == status and state["status_bar"] == bar and shown == buttons
                return state if ok else None
            try:
                return harness.wait_for(reached, timeout=self.left(), interval=0.02, message=what)
            except AssertionError as error:
                raise Fault("stuck", "%s (last seen: %s)" % (error, describe(self.seen)))

        def wait_final(self, expected):
            """Waits for the success or failure state; the other final state is a wrong outcome."""
            def final():
                state = self.dialog_state(timeout=self.left())
                self.seen = state
                shown = {i for i, b in state["buttons"].items() if b["visible"] and b["enabled"]}
                if state["status_bar"] == harness.BAR_SUCCESS and state["status_text"] == harness.STATUS_DONE and shown == {harness.IDOK}:
                    return "success", state
                if (state["status_bar"] == harness.BAR_FAILURE and state["status_text"] == harness.STATUS_FAILED
                        and shown == {harness.IDCANCEL, harness.IDRETRY}):
                    return "failure", state
                return None
            try:
                outcome, state = harness.wait_for(final, timeout=self.left(), interval=0.02,
                                                  message="the %s state" % expected)
            except AssertionError as error:
                raise Fault("stuck", "%s (last seen: %s)" % (error, describe(self.seen)))
            if outcome != expected:
                raise Fault("states", "ended in %s, expected %s" % (outcome, expected))
            return state

        def check_focus(self, hwnd, control_id, name):
            """The focus where the program put it, read after the dialog has had time to settle:
            a late activation can still move it after the final state was first seen."""
            focus = None
            for _ in range(3):
                time.sleep(0.2)
                answer = self.dump(hwnd)
                if not answer.get("ok"):
                    raise Fault("stuck", "the dialog went away")
                focus = answer["focus_id"]
            if focus != control_id:
                raise Fault("focus", "focus on %s, expected %s (%d)" % (focus, name, control_id))

        def confirm_cancel(self, hwnd):
            self.click(hwnd, harness.IDCANCEL)
            try:
                box = self.message_box(timeout=self.left())
            except AssertionError as error:
                raise Fault("stuck", "no cancel question: %s" % error)
            if box["text"] != harness.TEXT_CONFIRM_CANCEL or box["buttons"] != ["&Yes", "&No"]:
                raise Fault("states", "cancel question %r with %s" % (box["text"], box["buttons"]))
            if box["focused"] != "&No":
                raise Fault("focus", "cancel question with focus on %r, expected No" % box["focused"])
            self.click(box["hwnd"], harness.IDYES)

        def expect_exit(self, status):
            try:
                got = self.exit_code(timeout=self.left())
            except AssertionError as error:
                raise Fault("stuck", str(error))
            if got != status:
                raise Fault("exits", "exit status %d, expected %d" % (got, status))

        # ---- the receiver --------------------------------------------------------------------

        def check_frame(self, receiver):
            """The exact frame: client id, {1, L}, the payload, {0, 0}, nothing more, then the close."""
            record = receiver.next_record(timeout=self.left())
            if record is None:
                raise Fault("frames", "the receiver recorded no connection")
            want = {"client_id": self.client, "length": len(self.payload), "well_formed": True,
                    "sha256": hashlib.sha256(self.payload).hexdigest(),
                    "bytes_received": FRAME_OVERHEAD + len(self.payload), "trailing_bytes": 0,
                    "ended": "client-closed"}
            wrong = {k: record.get(k) for k, v in want.items() if record.get(k) != v}
            if wrong:
                raise Fault("frames", "receiver got %s, expected %s" % (wrong, {k: want[k] for k in wrong}))

        def check_nothing_sent(self, receiver):
            record = receiver.next_record(timeout=self.left())
            if record is None:
                raise Fault("frames", "the receiver recorded no connection")
            if record["bytes_received"] != 0:
                raise Fault("frames", "%d bytes sent to a server that never greeted" % record["bytes_received"])

        # ---- the modes -----------------------------------------------------------------------

        def run_mode(self):
            if self.mode == "refused-then-retry":
                return self.refused_then_retry()
            if self.mode == "never-greets":
                return self.never_greets()
            receiver = self.new_receiver(**self.options)
            self.launch(receiver.port)
            self.succeed(receiver, self.wait_final("success"))

        def succeed(self, receiver, state):
            self.check_frame(receiver)
            self.check_focus(state["hwnd"], harness.IDOK, "OK")
            self.click(state["hwnd"], harness.IDOK)
            self.expect_exit(1)

        def refused_then_retry(self):
            port = harness.free_port()  # nothing listens there yet
            self.launch(port)
            state = self.wait_final("failure")
            self.check_focus(state["hwnd"], harness.IDRETRY, "Retry")
            receiver = self.new_receiver(port=port)
            # Returns once the dialog has handled the click: the failure still on screen before that is
            # not the outcome of the new attempt.
            self.click_and_wait(state["hwnd"], harness.IDRETRY)
            self.succeed(receiver, self.wait_final("success"))

        def never_greets(self):
            receiver = self.new_receiver(**self.options)
            self.launch(receiver.port)
            state = self.wait_state(harness.STATUS_WAIT, harness.BAR_TRANSFERRING, {harness.IDCANCEL}, "the transferring state")
            self.confirm_cancel(state["hwnd"])
            self.expect_exit(2)
            self.check_nothing_sent(receiver)

        def end_run(self):
            self.stop_program()
            if self.receiver is not None:
                self.receiver.stop()
                self.receiver = None

        def cleanup(self):
            self.doCleanups()  # the program, the driver, the receiver and the scratch folder

    return SoakRun


def describe(state):
    if not state:
        return "nothing"
    shown = sorted(b["text"] for b in state["buttons"].values() if b["visible"])
    return "status %r, bar %r, buttons %s, focus %s" % (
        (state["status_text"] or "")[:30], state["status_bar"], shown, state["focus_id"])


def soak(arguments, harness):
    SoakRun = make_run_class(harness)
    rng = random.Random(arguments.seed)
    counts = {"stuck": 0, "focus": 0, "frames": 0, "exits": 0, "states": 0}
    # One fixture (scratch folder, driver session) for consecutive runs, a fresh one after a
    # stuck run, whose driver may be the part that hung.
    run = None
    for index in range(arguments.runs):
        mode = MODES[index % len(MODES)]
        started = time.monotonic()
        fault = None
        described = mode
        try:
            if run is None:
                run = SoakRun()
                run.setUp()
            run.configure(rng, mode, arguments.bound)
            described = "%s, %s" % (mode, options_text(run))
            run.run_mode()
        except Fault as error:
            fault = error
        except Exception as error:  # a harness wait or answer that ran out, a dead driver
            first = str(error).splitlines()[0] if str(error) else ""
            fault = Fault("stuck", "%s: %s" % (type(error).__name__, first))
        finally:
            try:
                if run is not None:
                    run.end_run()
                    if fault is not None and fault.kind == "stuck":
                        run.cleanup()
                        run = None
            except Exception as error:  # a failed cleanup must not end the soak
                print("run %d: cleanup: %s" % (index + 1, error), flush=True)
                run = None
        seconds = time.monotonic() - started
        if fault is not None:
            counts[fault.kind] += 1
            print("run %d (%s): %s [%.1f s]" % (index + 1, described, fault, seconds), flush=True)
        elif arguments.verbose:
            print("run %d (%s): ok [%.1f s]" % (index + 1, described, seconds), flush=True)
    if run is not None:
        run.cleanup()
    return counts


def options_text(run):
    text = " ".join("%s=%s" % item for item in sorted(run.options.items())) or "defaults"
    return "%s, %d payload bytes" % (text, len(run.payload))


def main():
    arguments = parse_arguments()
    tree = arguments.tree or host_tree()
    missing = locate_tools(os.path.abspath(arguments.build_dir), tree)
    if missing:
        print("soak: not built: " + ", ".join(missing), file=sys.stderr)
        return 2
    if not os.environ.get("DISPLAY"):
        print("soak: no DISPLAY; start one first (source tools/wine/session.sh; start_display_if_needed)",
              file=sys.stderr)
        return 2
    # The harness reads the tool paths when it is imported.
    sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
    import harness

    print("soak: %s build, %s" % ("32-bit (i686)" if tree == "win" else "64-bit (x86-64)",
                                   os.environ["PARVOLET_EXE"]), flush=True)
    loops = start_busy_loops(arguments.busy)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    try:
        counts = soak(arguments, harness)
    finally:
        stop_busy_loops(loops)
    print("runs=%d stuck=%d focus=%d frames=%d exits=%d states=%d" % (
        arguments.runs, counts["stuck"], counts["focus"], counts["frames"], counts["exits"], counts["states"]),
        flush=True)
    return 1 if any(counts.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
