"""The person at the screen of a run of gyrsetup.exe.

The user finds the program's windows with xdotool, takes their screenshots and presses
keys, noting what it sees in the run's outcome (wine.installer_run); answer_windows() is the
user who presses OK in every window. The message boxes' texts come from Wine's msgbox
channel in the program's log.
"""

import contextlib
import dataclasses
import os
import re
import subprocess
import time

RESULT_TITLE = "Gyrelle Detection"
PORT_TITLE = "Com Port Configuration"
DIALOGS = {RESULT_TITLE: "the result dialog", PORT_TITLE: "the port-selection dialog"}
DIALOG_TEXTS = {RESULT_TITLE: "Gyrelle detected and installed",
                PORT_TITLE: "Gyrelle not detected. Please select a COM port."}

# A message box carries the caption of the dialog it replaces, so the window title cannot
# tell the two apart. Wine's msgbox channel traces every message box's text as the box is
# set up, before its window is mapped: a box on screen is already in the program's log.
# Wine's error lines stay on beside it: they are what Wine prints when it ends a process.
MESSAGE_BOX_DEBUG = "-all,err+all,+msgbox"
_MESSAGE_BOX_TRACE = re.compile(r':trace:msgbox:\w+ L"((?:[^"\\]|\\.)*)"(\.\.\.)?\r?$')
_TRACE_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}


def message_box_texts(output):
    """The texts of the message boxes a program traced with MESSAGE_BOX_DEBUG, in order.
    Wine writes them as wide-string literals, and cuts ones past its buffer with "..."."""
    texts = []
    for line in output.split("\n"):
        found = _MESSAGE_BOX_TRACE.search(line)
        if found:
            text = re.sub(r"\\(x[0-9a-fA-F]{2,4}|u[0-9a-fA-F]{4}|.)",
                          lambda m: (chr(int(m[1][1:], 16)) if len(m[1]) > 1
                                     else _TRACE_ESCAPES.get(m[1], m[1])), found[1])
            texts.append(text + (found[2] or ""))
    return texts


class User:
    """The person in front of the screen, through xdotool and ImageMagick."""

    def __init__(self, env, program, artifacts, outcome, program_log=None,
                 gives_focus=False):
        """env: the program's Wine environment, whose DISPLAY the user looks at.
        gives_focus: the windows are managed and no window manager runs, so nobody
        focuses them; the user does, as a click on the title would."""
        self.env = env
        self.program = program
        self.artifacts = artifacts
        self.outcome = outcome
        self.program_log = program_log
        self.gives_focus = gives_focus

    def _x(self, argv, timeout=20):
        return subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              timeout=timeout, check=False)

    def find(self, title):
        """Window ids whose whole title is this text, visible ones only."""
        pattern = "^" + re.escape(title) + "$"
        result = self._x(["xdotool", "search", "--onlyvisible", "--name", pattern])
        return [w for w in result.stdout.split() if w.strip()]

    def wait_for(self, title, timeout=30, exclude=()):
        """The newest visible window of this title that is none of exclude; None when none
        came in time or the program ended."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            windows = [w for w in self.find(title) if w not in exclude]
            if windows:
                return windows[-1]
            if self.program.poll() is not None:
                return None
            time.sleep(0.1)
        return None

    def screenshot(self, window, name):
        os.makedirs(self.artifacts, exist_ok=True)
        path = os.path.join(self.artifacts, f"{name}.png")
        # The dialog paints just after it maps; give it a moment. A message box is still
        # being laid out then, and import may fail on it once: try again.
        for _ in range(3):
            time.sleep(0.5)
            try:
                result = self._x(["import", "-window", window, path], timeout=30)
            except subprocess.TimeoutExpired:
                # import waits for ever on a window that has gone.
                break
            if result.returncode == 0 and os.path.exists(path):
                self.outcome.screenshots.append(path)
                return path
        self.outcome.user_problems.append(f"screenshot of window {window} failed")
        return None

    def message_boxes(self):
        """The texts of the message boxes the program has set up so far."""
        if not self.program_log:
            return []
        with contextlib.suppress(FileNotFoundError), \
                open(self.program_log, errors="replace", newline="") as f:
            return message_box_texts(f.read())
        return []

    def focused(self, window, timeout=10):
        """Whether this window has the keyboard focus, or gets it within the timeout."""
        deadline = time.monotonic() + timeout
        while True:
            if self._x(["xdotool", "getwindowfocus"]).stdout.strip() == window:
                return True
            if time.monotonic() >= deadline or self.program.poll() is not None:
                return False
            time.sleep(0.1)

    def key(self, window, *keys):
        """Types the keys as a keyboard does: into the focused window, which must be this one.
        With --window, xdotool picks real input or a sent event per key event, by where the
        focus is at that moment: a Return that closes the dialog then has its press typed and
        its release sent to the closed dialog, and the server, seeing the key held, repeats
        it into the next window."""
        if self.gives_focus and not self.focused(window, timeout=1):
            self._x(["xdotool", "windowfocus", window])
        if not self.focused(window):
            self.outcome.user_problems.append(f"window {window} never had the keyboard focus "
                                              f"for {' '.join(keys)}")
            return
        self._x(["xdotool", "key", "--delay", "100", *keys])

    def program_running(self):
        return self.program.poll() is None

    def wait_exit(self, timeout):
        try:
            self.program.wait(timeout=timeout)
            return True
        except subprocess.TimeoutExpired:
            return False


@dataclasses.dataclass
class Shown:
    """One window the program put up: a dialog, or a message box with its text."""
    title: str
    message: str = ""  # the message box's text; "" for a dialog
    screenshot: str = ""


def answer_windows(pause, wait_for_user):
    """Answers every dialog and message box until the program ends, noting each in the
    outcome's shown. On the user's display with wait_for_user, the user answers and this
    only watches."""
    def script(user):
        shown = user.outcome.shown
        answered = []
        deadline = time.monotonic() + 60
        while user.program_running() and time.monotonic() < deadline:
            window, title = None, None
            for candidate in DIALOGS:
                found = [w for w in user.find(candidate) if w not in answered]
                if found:
                    window, title = found[-1], candidate
                    break
            if window is None:
                time.sleep(0.1)
                continue
            boxes = user.message_boxes()
            is_box = len(boxes) > sum(1 for s in shown if s.message)
            seen = Shown(title, boxes[-1] if is_box else "")
            shown.append(seen)
            if not user.outcome.dialog_title and not is_box:
                user.outcome.dialog_title = title
            shot_name = ("message-box" if is_box else "dialog") + (f"-{len(shown)}" if len(shown) > 1 else "")
            seen.screenshot = user.screenshot(window, shot_name) or ""
            what = "message box" if is_box else "dialog"
            if wait_for_user:
                print(f'The "{title}" {what} is on your display: press OK (or Enter) in it.', flush=True)
                while user.program_running() and window in user.find(title):
                    time.sleep(0.2)
            else:
                time.sleep(pause)
                user.key(window, "Return")
            answered.append(window)
            deadline = time.monotonic() + (600 if wait_for_user else 60)
        if not shown:
            user.outcome.user_problems.append("no dialog and no message box appeared")
    return script
