"""End-to-end harness: runs the real parvolet.exe under Wine in a scratch folder, reads and presses
its windows through one dlgdrive.exe session, and runs the loopback test receiver.

Paths come from the environment CTest sets: PARVOLET_EXE, PARVOLET_WINE_RUN, PARVOLET_DLGDRIVE and
PARVOLET_RECEIVER. Every wait is bounded; every process started here is stopped on every path.
"""

import json
import os
import select
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

TITLE = "Internet Connection"

# Control ids of the progress dialog and the standard message box buttons.
STATUS_TEXT_ID = 1001
IDOK, IDCANCEL, IDRETRY, IDYES, IDNO = 1, 2, 4, 6, 7

# Texts of the string table, as a user reads them.
# The progress dialog's status texts and status bar lines.
STATUS_WAIT = "Please wait while the information is\ntransferred over your TCP/IP connection."
STATUS_DONE = "Information transfer complete!\nClick 'OK' to exit."
STATUS_FAILED = ("Your information was not sent successfully. Please correct the problem and retry. "
                 "Click 'Cancel' to quit now.")
BAR_TRANSFERRING = "Transferring Information"
BAR_SUCCESS = "Transmission Successful"
BAR_FAILURE = "Transmission Failure"
TEXT_NO_FILE = "You must specify a file to send on the command line.\nusage: parvolet.exe filename"
TEXT_CONFIG_MISSING = "The following file is missing,\nbut required to continue:\n\nPARVOLET.INI"
TEXT_NOT_FOUND = "The specified file to send was not found:\n"
TEXT_TOO_LARGE = "The specified file to send is too large:\n"
TEXT_READ_FAILED = "The specified file to send could not be read:\n"
TEXT_SOCKETS_FAILED = "Windows sockets initialization failed."
TEXT_CONTROLS_FAILED = "Windows common controls initialization failed."
TEXT_SECURITY_FAILED = "Windows security functions initialization failed."
TEXT_DIALOG_FAILED = "The progress window could not be opened."
TEXT_CONFIRM_CANCEL = ("Registration is not complete.\n\n"
                       "Are you sure you want to exit without registering your software?")

GOOD_INI = "[Network]\nServerAddress=127.0.0.1\nClientID=7\nPort={port}\n"

# Bounds of the waits for a state, a window, an answer or an exit. They only stop a hang: on a
# loaded machine Wine can take many seconds to start a program or to handle a message, and a
# test must not fail for that.
WAIT_SECONDS = 60.0
# A whole machine that is slower than a host, such as the emulated PC that runs the 32-bit tree's
# suite where the host cannot (Wine there starts a program several times slower), stretches every
# bound by this factor.
WAIT_SCALE = max(1.0, float(os.environ.get("PARVOLET_WAIT_SCALE") or 1))


def stretched(seconds):
    return seconds * WAIT_SCALE


def _env_path(name):
    value = os.environ.get(name, "")
    return value if value and os.path.exists(value) else None


def _receiver_path():
    """The receiver binary; a folder of that name (the tool's own build folder) holds it."""
    path = _env_path("PARVOLET_RECEIVER")
    if path and os.path.isdir(path):
        path = os.path.join(path, "receiver")
    return path if path and os.path.isfile(path) and os.access(path, os.X_OK) else None


def windows_path(unix_path):
    """Wine's Z: drive maps the Unix root."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def free_port():
    """A loopback port nothing listens on, below the system's range of outgoing ports: a connection
    to a closed port inside that range can, once in many thousand tries, get that very port as its
    source and connect to itself."""
    first = 32768
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            first = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    low = 10000
    span = max(first - low, 1)
    start = os.getpid() * 7919 % span
    for i in range(min(span, 2000)):
        port = low + (start + i) % span
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise AssertionError("no free loopback port below %d" % first)


def stop_process(process, grace_seconds=10):
    """Ends a child politely, then for good if it lingers past grace_seconds, and reaps it."""
    if process.poll() is None:
        process.terminate()
    try:
        process.wait(timeout=grace_seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=grace_seconds)


def wait_for(predicate, timeout=WAIT_SECONDS, interval=0.05, message="condition"):
    """Polls predicate until it returns a true value and returns that value."""
    timeout = stretched(timeout)
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, message))
        time.sleep(interval)


class LineReader:
    """Reads whole lines from a pipe with a time limit (select, never a blocking readline)."""

    def __init__(self, stream):
        self.stream = stream
        self.buffer = b""

    def readline(self, timeout):
        deadline = time.monotonic() + stretched(timeout)
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.stream], [], [], left)
            if not ready:
                return None
            chunk = os.read(self.stream.fileno(), 65536)
            if not chunk:
                if self.buffer:
                    line, self.buffer = self.buffer, b""
                    return line.decode("latin-1")
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")


class Driver:
    """One persistent dlgdrive.exe session."""

    def __init__(self, wine_run, dlgdrive, cwd):
        self.process = subprocess.Popen([wine_run, dlgdrive], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, cwd=cwd)
        self.reader = LineReader(self.process.stdout)

    def ask(self, command, timeout=WAIT_SECONDS):
        self.process.stdin.write((command + "\n").encode("latin-1"))
        self.process.stdin.flush()
        line = self.reader.readline(timeout)
        if line is None:
            raise AssertionError("dlgdrive gave no answer to %r" % command)
        return json.loads(line)

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write(b"quit\n")
                self.process.stdin.flush()
                self.process.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait(timeout=5)
        for stream in (self.process.stdin, self.process.stdout):
            try:
                stream.close()
            except OSError:
                pass


class Receiver:
    """The loopback test receiver: its port, then one JSON record per connection."""

    def __init__(self, binary, connections=1, timeout_seconds=120, output_dir=None, **options):
        command = [binary, "--port", "0", "--connections", str(connections), "--timeout-seconds",
                   str(int(stretched(timeout_seconds)))]
        for key, value in options.items():
            command += ["--" + key.replace("_", "-"), str(value)]
        if output_dir:
            command += ["--output-dir", output_dir]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.reader = LineReader(self.process.stdout)
        first = self.reader.readline(WAIT_SECONDS)
        if not first or not first.startswith("PORT "):
            self.stop()
            raise AssertionError("receiver did not report its port (got %r)" % first)
        self.port = int(first.split()[1])
        self.records = []

    def next_record(self, timeout=WAIT_SECONDS):
        line = self.reader.readline(timeout)
        if line is None:
            return None
        record = json.loads(line)
        self.records.append(record)
        return record

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=5)
        self.process.stdout.close()


class ParvoletTestCase(unittest.TestCase):
    """Fixture: a scratch folder holding parvolet.exe, its Parvolet.ini and the file to send."""

    exe = _env_path("PARVOLET_EXE")
    # The test build, which stages what Wine cannot show (PARVOLET_STAGE, see StartupStaging.cpp).
    staged_exe = _env_path("PARVOLET_STAGED_EXE")
    wine_run = _env_path("PARVOLET_WINE_RUN")
    dlgdrive = _env_path("PARVOLET_DLGDRIVE")
    receiver_binary = _receiver_path()

    def setUp(self):
        if not (self.exe and self.wine_run and self.dlgdrive):
            self.skipTest("PARVOLET_EXE, PARVOLET_WINE_RUN and PARVOLET_DLGDRIVE must name built files")
        self.folder = tempfile.mkdtemp(prefix="parvolet-e2e-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.program_folder = self.folder
        shutil.copy(self.exe, os.path.join(self.folder, "parvolet.exe"))
        self.launcher = None
        self.pid = None
        self.receiver = None
        self.driver = Driver(self.wine_run, self.dlgdrive, self.folder)
        self.addCleanup(self._stop_all)

    # ---- files -------------------------------------------------------------------------------

    def write_ini(self, text):
        """Writes Parvolet.ini beside the program; a port placeholder {port} is filled later."""
        self.write_file(os.path.join(self.program_folder, "Parvolet.ini"), text.encode("latin-1"))

    def move_program(self, name):
        """Moves parvolet.exe into a new folder of that name inside the scratch folder; its
        Parvolet.ini is written there from now on."""
        folder = os.path.join(self.folder, name)
        os.mkdir(folder)
        os.rename(os.path.join(self.program_folder, "parvolet.exe"), os.path.join(folder, "parvolet.exe"))
        self.program_folder = folder

    def write_file(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def folder_listing(self):
        return sorted(os.listdir(self.folder))

    # ---- the program -------------------------------------------------------------------------

    def start(self, arguments, dll_overrides=None, environment=None):
        """Starts parvolet.exe as if a user typed 'parvolet.exe' + arguments (raw: blanks and quotes
        are passed exactly), with a Unicode command line. dll_overrides are Wine DLL overrides for
        this run; the Wine runner keeps the project's own before them. environment adds variables
        (LANG picks the ANSI code page Wine gives the program)."""
        env = dict(os.environ)
        env["DLGDRIVE_COMMAND_LINE"] = "parvolet.exe" + arguments
        if dll_overrides:
            env["WINEDLLOVERRIDES"] = dll_overrides
        env.update(environment or {})
        program = windows_path(os.path.join(self.program_folder, "parvolet.exe"))
        # The launcher's own errors are kept (outside the test's folder, whose listing some tests
        # read), so that a launch that fails before the program starts says what Wine said.
        with tempfile.TemporaryFile() as errors:
            self.launcher = subprocess.Popen([self.wine_run, self.dlgdrive, "launch", program], cwd=self.folder,
                                             env=env, stdout=subprocess.PIPE, stderr=errors)
            line = LineReader(self.launcher.stdout).readline(WAIT_SECONDS)
            if not line or not line.startswith("PID "):
                status = self.launcher.poll()
                errors.seek(0)
                said = errors.read().decode("utf-8", "replace")[-2000:]
                raise AssertionError("parvolet.exe did not start (launcher said %r, exit status %r, errors %r)"
                                     % (line, status, said))
        self.pid = int(line.split()[1])

    def exit_code(self, timeout=WAIT_SECONDS):
        timeout = stretched(timeout)
        try:
            return self.launcher.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("parvolet.exe still runs after %.0f s" % timeout)

    def running(self):
        return self.launcher is not None and self.launcher.poll() is None

    # ---- windows -----------------------------------------------------------------------------

    def windows(self, kind=None):
        answer = self.driver.ask("find " + TITLE)
        found = [w for w in answer.get("windows", []) if w["pid"] == self.pid]
        return [w for w in found if kind is None or w["kind"] == kind]

    def dump(self, hwnd):
        return self.driver.ask("dump %d" % hwnd)

    def message_box(self, timeout=WAIT_SECONDS):
        """Waits for the program's visible message box and reads it as a user sees it."""
        def visible_box():
            boxes = [w for w in self.windows("message_box") if w["visible"]]
            return boxes[0] if boxes else None
        box = wait_for(visible_box, timeout, message="a message box")
        # On a slow machine the box can show before the system has filled in its title and text.
        def filled_in():
            state = self.dump(box["hwnd"])
            return state if state.get("title") and state.get("message_text") else None
        state = wait_for(filled_in, timeout, message="the message box's title and text")
        buttons = [b for b in state["buttons"] if b["visible"]]
        focused = [b["text"] for b in buttons if b["focused"]]
        return {
            "hwnd": box["hwnd"],
            "title": state["title"],
            "text": state["message_text"],
            "buttons": [b["text"] for b in buttons],
            "button_ids": [b["id"] for b in buttons],
            "focused": focused[0] if focused else None,
            "owner": box["owner"],
            "icon_rect": state["icon_rect"],
        }

    def dialog_state(self, timeout=WAIT_SECONDS):
        """Waits for the progress dialog and reads its texts and buttons."""
        def visible_dialog():
            dialogs = [w for w in self.windows("dialog") if w["visible"]]
            return dialogs[0] if dialogs else None
        dialog = wait_for(visible_dialog, timeout, message="the progress dialog")
        state = self.dump(dialog["hwnd"])
        status = [c["text"] for c in state["children"] if c["id"] == STATUS_TEXT_ID]
        buttons = {b["id"]: b for b in state["buttons"]}
        return {
            "hwnd": dialog["hwnd"],
            "title": state["title"],
            "enabled": state["enabled"],
            "status_text": status[0] if status else None,
            "status_bar": state["status_bar"],
            "buttons": buttons,
            "visible_buttons": sorted(b["text"] for b in buttons.values() if b["visible"]),
            "focus_id": state["focus_id"],
            "raw": state,
        }

    # The bound of wait_state when its caller names none.
    state_wait_seconds = WAIT_SECONDS

    def wait_state(self, predicate, message, timeout=None):
        """The progress dialog's state once predicate holds for it."""
        return wait_for(lambda: (lambda s: s if predicate(s) else None)(self.dialog_state()),
                        timeout=self.state_wait_seconds if timeout is None else timeout, message=message)

    # One dump reads the controls one after another while the program sets the bar, the text and
    # then the buttons and the focus: wait until all of them show the final state. A focus that
    # never reaches the state's button times the wait out.
    def wait_final(self, bar, text, button, message):
        return self.wait_state(lambda s: s["status_bar"] == bar and s["status_text"] == text
                               and s["buttons"][button]["visible"] and s["focus_id"] == button, message)

    def wait_success(self):
        return self.wait_final(BAR_SUCCESS, STATUS_DONE, IDOK, "the success texts with OK focused")

    def wait_failure(self):
        return self.wait_final(BAR_FAILURE, STATUS_FAILED, IDRETRY, "the failure texts with Retry focused")

    def click(self, hwnd, control_id):
        answer = self.driver.ask("click %d %d" % (hwnd, control_id))
        self.assertTrue(answer["ok"], answer)

    def click_and_wait(self, hwnd, control_id):
        """Presses a button and returns once the dialog has handled it, so the next reading shows
        what the click did. Not for a button that opens a message box."""
        answer = self.driver.ask("click-wait %d %d" % (hwnd, control_id), timeout=WAIT_SECONDS + 30)
        self.assertTrue(answer["ok"], answer)

    def press(self, hwnd, key):
        answer = self.driver.ask("key %d %s" % (hwnd, key))
        self.assertTrue(answer["ok"], answer)

    def window_gone(self, hwnd):
        return not self.driver.ask("alive %d" % hwnd)["alive"]

    # ---- screenshots (optional: needs ImageMagick's import and an X display) -----------------

    def screenshot_crop(self, rect):
        """(width, height, RGB bytes) of a screen rectangle [left, top, right, bottom], or None."""
        if not shutil.which("import") or not os.environ.get("DISPLAY"):
            return None
        left, top, right, bottom = rect
        width, height = right - left, bottom - top
        result = subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (width, height, left, top),
                                 "-depth", "8", "rgb:-"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                timeout=WAIT_SECONDS)
        if result.returncode != 0 or len(result.stdout) < width * height * 3:
            return None
        return width, height, result.stdout[:width * height * 3]

    def icon_kind(self, rect):
        """Tells a message box icon by its colours: 'stop' (red), 'exclamation' (yellow), 'question'
        or 'information' (blue), 'none' when the box shows no icon or nothing stands out; None when
        no screenshot can be taken here."""
        if not shutil.which("import") or not os.environ.get("DISPLAY"):
            return None
        if not rect:
            return "none"
        shot = self.screenshot_crop(rect)
        if shot is None:
            return None
        _, _, pixels = shot
        red = yellow = blue = 0
        for i in range(0, len(pixels), 3):
            r, g, b = pixels[i], pixels[i + 1], pixels[i + 2]
            if r > 160 and g < 90 and b < 90:
                red += 1
            elif r > 170 and g > 150 and b < 100:
                yellow += 1
            elif b > 150 and r < 110:
                blue += 1
        best = max((red, "stop"), (yellow, "exclamation"), (blue, "blue"))
        return best[1] if best[0] >= 20 else "none"

    # ---- the receiver ------------------------------------------------------------------------

    def start_receiver(self, **options):
        if not self.receiver_binary:
            self.skipTest("the test receiver is not built (PARVOLET_RECEIVER: %r)"
                          % os.environ.get("PARVOLET_RECEIVER", ""))
        self.receiver = Receiver(self.receiver_binary, **options)
        return self.receiver

    # ---- cleanup -----------------------------------------------------------------------------

    def stop_program(self):
        """Ends the program if it still runs; the fixture may then start it again."""
        if self.running() and self.pid is not None:
            try:
                self.driver.ask("kill %d" % self.pid)
            except (AssertionError, OSError, ValueError):
                pass
        if self.launcher is not None:
            try:
                self.launcher.wait(timeout=WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                self.launcher.kill()
                self.launcher.wait(timeout=5)
            self.launcher.stdout.close()
        self.launcher = None
        self.pid = None

    def _stop_all(self):
        try:
            self.stop_program()
        finally:
            self.driver.close()
            if self.receiver is not None:
                self.receiver.stop()
