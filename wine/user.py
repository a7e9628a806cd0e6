"""The person at the screen of a run of gyrsetup.exe.

The user finds the program's windows with xdotool, takes their screenshots and presses
keys, noting what it sees and what went wrong for it, which the run (wine.installer_run)
takes into its result; answer_windows() is the user who presses OK in every window. The
message boxes' texts come from Wine's msgbox channel in the program's log.
"""

import contextlib
import dataclasses
import os
import re
import time

from wine import waits as waiting
from wine.processes import NoAnswer

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
    """The person in front of the screen, through xdotool and ImageMagick. What it sees and
    what goes wrong for it, it notes in its own lists; the run takes them at its end."""

    def __init__(self, env, program, owned, waits, artifacts, work_dir, program_log=None):
        """env: the program's Wine environment, whose DISPLAY the user looks at. owned: the
        run's processes, among which the X tools run."""
        self.env = env
        self.program = program
        self.owned = owned
        self.waits = waits
        self.artifacts = artifacts
        self.work_dir = work_dir
        self.program_log = program_log
        self.shown = []        # Shown, in order
        self.screenshots = []
        self.problems = []

    def problem(self, text):
        self.problems.append(text)

    def _x(self, argv, timeout=None):
        """An X tool's exit code and output; NoAnswer when it hangs (as when the X server
        stops answering), after it was stopped."""
        return self.owned.capture(argv, self.env, timeout or self.waits.x_tool)

    def find(self, title):
        """Window ids whose whole title is this text, visible ones only."""
        pattern = "^" + re.escape(title) + "$"
        _, out = self._x(["xdotool", "search", "--onlyvisible", "--name", pattern])
        return [w for w in out.split() if w.strip()]

    def wait_for(self, title, exclude=(), timeout=None):
        """The newest visible window of this title that is none of exclude; None when none
        came in time (the waits' window) or the program ended."""
        def newest():
            windows = [w for w in self.find(title) if w not in exclude]
            return windows[-1] if windows else None
        return waiting.poll(newest, self.waits.window if timeout is None else timeout,
                            give_up=lambda: not self.program_running())

    def screenshot(self, window, name):
        os.makedirs(self.artifacts, exist_ok=True)
        path = os.path.join(self.artifacts, f"{name}.png")
        # The dialog paints just after it maps; give it a moment. A message box is still
        # being laid out then, and import may fail on it once: try again.
        for _ in range(3):
            time.sleep(0.5)
            try:
                rc, _ = self._x(["import", "-window", window, path], self.waits.screenshot)
            except NoAnswer:
                # import waits for ever on a window that has gone.
                break
            if rc == 0 and os.path.exists(path):
                self.screenshots.append(path)
                return path
        self.problem(f"screenshot of window {window} failed")
        return None

    def message_boxes(self):
        """The texts of the message boxes the program has set up so far."""
        if not self.program_log:
            return []
        with contextlib.suppress(FileNotFoundError), \
                open(self.program_log, errors="replace", newline="") as f:
            return message_box_texts(f.read())
        return []

    def focused(self, window, timeout=None):
        """Whether this window has the keyboard focus, or gets it within the timeout."""
        return bool(waiting.poll(
            lambda: self._x(["xdotool", "getwindowfocus"])[1].strip() == window,
            self.waits.focus if timeout is None else timeout,
            give_up=lambda: not self.program_running()))

    def key(self, window, *keys):
        """Types the keys as a keyboard does: into the focused window, which must be this one.
        With --window, xdotool picks real input or a sent event per key event, by where the
        focus is at that moment: a Return that closes the dialog then has its press typed and
        its release sent to the closed dialog, and the server, seeing the key held, repeats
        it into the next window.

        A window without the focus is given it first, as a window manager gives it to the
        window a person clicks: none runs on the test's display. Wine's managed windows (a
        prefix of the user's) never get it otherwise, and its unmanaged ones can miss it:
        Wine asks for the focus once the window is mapped, stamped with the thread's last
        message time turned into the server's clock. Its clock (CLOCK_MONOTONIC_RAW) and the
        server's (CLOCK_MONOTONIC) stand apart by whole milliseconds and a fraction, which
        Wine's conversion rounds, so a message of the last millisecond can put the stamp
        in the server's future, and the server ignores such a request. (A program's first
        window, before any X event, is stamped "now" and always gets it.) The message box
        after the port list was then active in Windows' eyes while the focus stayed on the
        root window, and nothing asked again."""
        if not self.focused(window, timeout=0):
            self._x(["xdotool", "windowfocus", window])
        if not self.focused(window):
            _, focus = self._x(["xdotool", "getwindowfocus"])
            self.problem(f"window {window} never had the keyboard focus for {' '.join(keys)} "
                         f"(window {focus.strip() or 'none'} had it)")
            return
        self._x(["xdotool", "key", "--delay", "100", *keys])

    def program_running(self):
        return self.program.poll() is None

    def wait_exit(self, timeout):
        """Whether the program ended within the timeout."""
        return self.owned.wait(self.program, timeout) is not None


@dataclasses.dataclass
class Shown:
    """One window the program put up: a dialog, or a message box with its text."""
    title: str
    message: str = ""  # the message box's text; "" for a dialog
    screenshot: str = ""


def answer_windows(pause, wait_for_user):
    """Answers every dialog and message box until the program ends, noting each in what
    the user saw. On the user's display with wait_for_user, the user answers and this only
    watches, for as long as the waits' answer allows (None: no limit)."""
    def script(user):
        answered = []

        def next_window():
            for candidate in DIALOGS:
                found = [w for w in user.find(candidate) if w not in answered]
                if found:
                    return found[-1], candidate
            return None

        timeout = user.waits.first_window
        while user.program_running():
            found = waiting.poll(next_window, timeout,
                                 give_up=lambda: not user.program_running())
            if not found:
                break
            window, title = found
            boxes = user.message_boxes()
            is_box = len(boxes) > sum(1 for s in user.shown if s.message)
            shot_name = ("message-box" if is_box else "dialog") + (
                f"-{len(user.shown) + 1}" if user.shown else "")
            screenshot = user.screenshot(window, shot_name) or ""
            user.shown.append(Shown(title, boxes[-1] if is_box else "", screenshot))
            what = "message box" if is_box else "dialog"
            if wait_for_user:
                print(f'The "{title}" {what} is on your display: press OK (or Enter) in it.',
                      flush=True)
                waiting.poll(lambda: window not in user.find(title), user.waits.answer,
                             every=0.2, give_up=lambda: not user.program_running())
            else:
                time.sleep(pause)
                user.key(window, "Return")
            answered.append(window)
            timeout = user.waits.next_window
        if not user.shown:
            user.problem("no dialog and no message box appeared")
    return script
