"""The main job, end to end: the test receiver on loopback, Parvolet.ini pointing at it beside
parvolet.exe, and the program sending a sample file under Wine.

With --interactive the user watches the dialog and presses OK; otherwise the dialog is driven as a
user would: a screenshot of it is saved, OK is pressed, and what the receiver got is printed.
--screenshots DIR also saves the failure state (a refused connection) for the README.
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
from harness import (BAR_FAILURE, BAR_SUCCESS, IDCANCEL, IDOK, IDRETRY, IDYES, STATUS_DONE, STATUS_FAILED,  # noqa: E402
                     STATUS_TEXT_ID, TITLE, Driver, LineReader, Receiver, wait_for, windows_path)

# The two final states as a user sees them once the program has shown all of one: status bar,
# status text, and the state's button visible and focused.
SUCCESS = (BAR_SUCCESS, STATUS_DONE, IDOK)
FAILURE = (BAR_FAILURE, STATUS_FAILED, IDRETRY)

SAMPLE = ("Parvolet sample\r\n"
          "This file travels as text: its CR LF line ends arrive as LF.\r\n"
          "Client and server agree on one frame: id, {1, L}, the bytes, {0, 0}.\r\n") * 20


def translated(data):
    return data.replace(b"\r\n", b"\n").split(b"\x1a", 1)[0]


class Demo:
    def __init__(self, args):
        self.args = args
        self.folder = os.path.abspath(args.folder)
        os.makedirs(self.folder, exist_ok=True)
        shutil.copy(args.exe, os.path.join(self.folder, "parvolet.exe"))
        self.sample = os.path.join(self.folder, "sample.txt")
        with open(self.sample, "wb") as f:
            f.write(SAMPLE.encode("ascii"))
        self.driver = None

    def write_ini(self, port, client_id=1234):
        with open(os.path.join(self.folder, "Parvolet.ini"), "w", newline="\r\n") as f:
            f.write("; settings of the transfer client\n[Network]\nServerAddress = 127.0.0.1\n"
                    "ClientID = %d\nPort = %d\n" % (client_id, port))

    def launch(self):
        env = dict(os.environ, DLGDRIVE_COMMAND_LINE="parvolet.exe sample.txt")
        program = windows_path(os.path.join(self.folder, "parvolet.exe"))
        launcher = subprocess.Popen([self.args.wine_run, self.args.dlgdrive, "launch", program], cwd=self.folder,
                                    env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = LineReader(launcher.stdout).readline(30)
        if not line or not line.startswith("PID "):
            raise SystemExit("parvolet.exe did not start (%r)" % line)
        return launcher, int(line.split()[1])

    def dialog(self, pid, final, timeout=30):
        """The dialog once the whole final state shows. The program sets the texts and the buttons
        one after another, so a reading between two of them mixes two states: wait until all agree."""
        bar, text, button = final

        def ready():
            for w in self.driver.ask("find " + TITLE).get("windows", []):
                if w["pid"] == pid and w["kind"] == "dialog" and w["visible"]:
                    state = self.driver.ask("dump %d" % w["hwnd"])
                    shown = [c["text"] for c in state.get("children", []) if c["id"] == STATUS_TEXT_ID]
                    focused = [b for b in state.get("buttons", []) if b["id"] == button and b["visible"]]
                    if (state.get("status_bar") == bar and shown == [text] and focused
                            and state.get("focus_id") == button):
                        return w, state
            return None
        return wait_for(ready, timeout, message="the dialog showing %r with its button focused" % bar)

    def screenshot(self, rect, name):
        if not shutil.which("import"):
            print("(no ImageMagick 'import': screenshot skipped)")
            return
        left, top, right, bottom = rect
        path = os.path.join(self.args.screenshots or self.folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        time.sleep(0.3)  # let the clip draw a frame
        subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                        path], check=False, timeout=30)
        print("screenshot:", path)

    def run_interactive(self):
        receiver = Receiver(self.args.receiver, connections=1, timeout_seconds=600,
                            output_dir=os.path.join(self.folder, "received"))
        self.write_ini(receiver.port)
        print("receiver listening on 127.0.0.1:%d; the dialog opens now - press OK when it is done" % receiver.port)
        code = subprocess.call([self.args.wine_run, os.path.join(self.folder, "parvolet.exe"), "sample.txt"],
                               cwd=self.folder)
        record = receiver.next_record(timeout=5)
        receiver.stop()
        self.report(record, code)

    def run_driven(self):
        self.driver = Driver(self.args.wine_run, self.args.dlgdrive, self.folder)
        try:
            if self.args.screenshots:
                self.failure_screenshot()
            receiver = Receiver(self.args.receiver, connections=1, timeout_seconds=120,
                                output_dir=os.path.join(self.folder, "received"))
            self.write_ini(receiver.port)
            launcher, pid = self.launch()
            window, state = self.dialog(pid, SUCCESS)
            print("dialog:", json.dumps(state_summary(state)))
            self.screenshot(window["rect"], "dialog-success.png")
            self.driver.ask("click %d %d" % (window["hwnd"], IDOK))
            code = launcher.wait(timeout=30)
            record = receiver.next_record(timeout=10)
            receiver.stop()
            return self.report(record, code)
        finally:
            self.driver.close()

    def failure_screenshot(self):
        receiver = Receiver(self.args.receiver, connections=1, timeout_seconds=60, mode="refuse")
        self.write_ini(receiver.port)
        launcher, pid = self.launch()
        window, _ = self.dialog(pid, FAILURE)
        self.screenshot(window["rect"], "dialog-failure.png")
        self.driver.ask("click %d %d" % (window["hwnd"], IDCANCEL))
        def confirmation():
            for w in self.driver.ask("find " + TITLE).get("windows", []):
                if w["pid"] == pid and w["kind"] == "message_box" and w["visible"]:
                    return w
            return None
        box = wait_for(confirmation, 15, message="the cancel question")
        self.driver.ask("click %d %d" % (box["hwnd"], IDYES))
        launcher.wait(timeout=30)
        receiver.stop()

    def report(self, record, code):
        print("parvolet.exe exit status:", code)
        if record is None:
            print("the receiver got no connection")
            return 1
        print("receiver:", json.dumps(record))
        with open(self.sample, "rb") as f:
            expected = translated(f.read())
        ok = (record.get("well_formed") and record.get("length") == len(expected)
              and record.get("sha256") == hashlib.sha256(expected).hexdigest() and record.get("client_id") == 1234)
        print("frame %s: client id %s, %s payload bytes" % ("intact" if ok else "NOT AS SENT",
                                                             record.get("client_id"), record.get("length")))
        return 0 if ok and code == 1 else 1


def state_summary(state):
    return {
        "status_text": [c["text"] for c in state["children"] if c["id"] == STATUS_TEXT_ID],
        "status_bar": state.get("status_bar"),
        "visible_buttons": [b["text"] for b in state["buttons"] if b["visible"]],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--dlgdrive", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--interactive", action="store_true")
    parser.add_argument("--screenshots")
    args = parser.parse_args()
    demo = Demo(args)
    if args.interactive:
        demo.run_interactive()
        return 0
    return demo.run_driven()


if __name__ == "__main__":
    sys.exit(main())
