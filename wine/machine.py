"""One whole run of gyrsetup.exe under Wine on a prepared machine.

The machine: a prefix copy with a .reg fixture imported into a live session, COM1..COM9
linked to controller simulators or to nothing, the test joystick driver registered and
the broadcast listener waiting. The user: a callable that finds the dialog with xdotool,
takes its screenshot and presses keys. The outcome: the exit code, the driver's message
log, the broadcast count, the simulators' logs, the screenshots, the texts of the message
boxes and system.reg read back after the session has ended.
"""

import contextlib
import dataclasses
import os
import re
import signal
import subprocess
import time

import wine_registry
import wine_runner

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

JDD_CONFIGCHANGED = 0x903
JDD_GETDEVCAPS = 0x802

# A message box carries the caption of the dialog it replaces, so the window title cannot
# tell the two apart. Wine's msgbox channel traces every message box's text as the box is
# set up, before its window is mapped: a box on screen is already in the program's log.
MESSAGE_BOX_DEBUG = "-all,+msgbox"
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


@dataclasses.dataclass
class Paths:
    native_build: str
    win32_build: str
    simulator_override: str = ""

    @property
    def e2e_dir(self):
        return os.path.join(os.path.abspath(self.native_build), "e2e")

    @property
    def artifacts(self):
        return os.path.join(self.e2e_dir, "artifacts")

    @property
    def simulator(self):
        if self.simulator_override:
            return self.simulator_override
        return os.path.join(self.native_build, "tools", "simulator", "controller_simulator")

    @property
    def native_install(self):
        return os.path.join(self.native_build, "tests", "e2e", "native_install")

    @property
    def installer(self):
        return os.path.join(self.win32_build, "app", "gyrsetup.exe")

    @property
    def test_driver(self):
        return os.path.join(self.win32_build, "wine", "test_driver.dll")

    @property
    def listener(self):
        return os.path.join(self.win32_build, "wine", "broadcast_listener.exe")

    def missing(self):
        return [p for p in (self.simulator, self.installer, self.test_driver, self.listener,
                            self.native_install)
                if not os.path.exists(p)]


@dataclasses.dataclass
class Controller:
    """A simulator on one COM port, with extra simulator options."""
    port: int
    options: tuple = ()


@dataclasses.dataclass
class Outcome:
    exit_code: object = None
    driver_messages: list = dataclasses.field(default_factory=list)
    broadcasts: object = None
    simulator_logs: dict = dataclasses.field(default_factory=dict)
    screenshots: list = dataclasses.field(default_factory=list)
    program_output: str = ""
    hive: object = None
    user_problems: list = dataclasses.field(default_factory=list)
    work_dir: str = ""
    dialog_title: str = ""
    message_boxes: list = dataclasses.field(default_factory=list)

    def notifications(self):
        """The number of (0x903, 0x802) pairs, or None when the log is not made of them."""
        codes = [c for c in self.driver_messages if c in (JDD_CONFIGCHANGED, JDD_GETDEVCAPS)]
        pairs = [JDD_CONFIGCHANGED, JDD_GETDEVCAPS] * (len(codes) // 2)
        return len(codes) // 2 if codes == pairs else None

    def queries(self, port):
        return sum(1 for line in self.simulator_logs.get(port, []) if line.strip() == "query")


class SimulatorSet:
    """Controller simulators in their own process groups, stopped by process id."""

    def __init__(self, binary, work, pid_file):
        self.binary = binary
        self.pid_file = pid_file
        self.work = work
        self.procs = {}
        self.ptys = {}

    def start(self, controller):
        log_path = os.path.join(self.work, f"simulator-com{controller.port}.log")
        out_path = os.path.join(self.work, f"simulator-com{controller.port}.out")
        err = open(os.path.join(self.work, f"simulator-com{controller.port}.err"), "wb")
        out = open(out_path, "wb")
        try:
            proc = subprocess.Popen([self.binary, "--log", log_path, *controller.options],
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    start_new_session=True)
        finally:
            out.close()
            err.close()
        self.procs[controller.port] = proc
        wine_runner.record_process(self.pid_file, proc)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with open(out_path) as f:
                first = f.readline()
            if first.endswith("\n"):
                self.ptys[controller.port] = first.strip()
                return first.strip()
            if proc.poll() is not None:
                break
            time.sleep(0.02)
        raise wine_runner.WineError(f"simulator on COM{controller.port} did not start")

    def stop(self):
        for proc in self.procs.values():
            if proc.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    wine_runner.kill_group(proc)

    def logs(self):
        out = {}
        for port in self.procs:
            path = os.path.join(self.work, f"simulator-com{port}.log")
            with contextlib.suppress(FileNotFoundError), open(path) as f:
                out[port] = f.read().splitlines()
            out.setdefault(port, [])
        return out


class User:
    """The person in front of the screen, through xdotool and ImageMagick."""

    def __init__(self, session, program, artifacts, outcome, program_log=None,
                 gives_focus=False):
        """gives_focus: the windows are managed and no window manager runs, so nobody
        focuses them; the user does, as a click on the title would."""
        self.session = session
        self.program = program
        self.artifacts = artifacts
        self.outcome = outcome
        self.program_log = program_log
        self.gives_focus = gives_focus

    def _x(self, argv, timeout=20):
        return subprocess.run(argv, env=self.session.env, stdin=subprocess.DEVNULL,
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


def _wait_for_file(path, timeout, proc=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return True
        if proc is not None and proc.poll() is not None:
            return os.path.exists(path)
        time.sleep(0.05)
    return False


def _read_driver_log(path):
    codes = []
    with contextlib.suppress(FileNotFoundError), open(path, errors="replace") as f:
        for line in f:
            parts = line.split()
            if parts:
                codes.append(int(parts[0], 16))
    return codes


def run_installer(paths, name, fixture, controllers, user_script, check, *, display=None,
                  own_display=True, keep=False, program_timeout=90, work_length=0,
                  windows_version=wine_runner.WINDOWS_VERSION, program_env=None):
    """Runs the installer once; returns (Outcome, problems found by check).

    user_script(user) drives the dialogs while the program runs; check(outcome) returns
    a list of problems, and the prefix copy is kept for inspection when there are any.
    work_length sets the least length of the work folder's path; windows_version is what
    Wine answers as (None: its default, NT). program_env adds to the
    installer's environment alone.
    """
    outcome = Outcome()
    artifacts = os.path.join(paths.artifacts, name)
    with contextlib.suppress(FileNotFoundError):
        for old in os.listdir(artifacts):
            os.unlink(os.path.join(artifacts, old))
    with wine_runner.WineSession(paths.e2e_dir, name, display=display, own_display=own_display,
                                 keep=keep, work_length=work_length,
                                 windows_version=windows_version) as session:
        outcome.work_dir = session.work
        sims = SimulatorSet(paths.simulator, session.work, session.pid_file())
        try:
            targets = {c.port: sims.start(c) for c in controllers}
            session.set_ports(targets)
            session.install_joystick_driver(paths.test_driver)
            session.import_reg(fixture)

            ready = session.short_path("listener.ready")
            stop = session.short_path("listener.stop")
            count = session.short_path("listener.count")
            listener = session.spawn([session.stage(paths.listener), wine_runner.windows_path(ready),
                                      wine_runner.windows_path(stop),
                                      wine_runner.windows_path(count)], "listener")
            if not _wait_for_file(ready, 60, listener):
                raise wine_runner.WineError("the broadcast listener never got ready")

            driver_log = session.short_path("driver-messages.log")
            program = session.spawn([session.stage(paths.installer)], "gyrsetup",
                                    extra_env={"GYR_DRIVER_LOG": wine_runner.windows_path(driver_log),
                                               "WINEDEBUG": MESSAGE_BOX_DEBUG,
                                               **(program_env or {})})
            user = User(session, program, artifacts, outcome, session.path("gyrsetup.log"))
            try:
                user_script(user)
            finally:
                if not user.wait_exit(program_timeout):
                    outcome.user_problems.append("the installer did not exit; killed")
                    wine_runner.kill_group(program)
                outcome.exit_code = program.returncode

            # The installer has exited, so every post is already in the listener's queue.
            with open(stop, "w") as f:
                f.write("stop\n")
            try:
                listener.wait(timeout=30)
            except subprocess.TimeoutExpired:
                outcome.user_problems.append("the broadcast listener did not stop")
            with contextlib.suppress(FileNotFoundError, ValueError), open(count) as f:
                outcome.broadcasts = int(f.read().strip())

            outcome.driver_messages = _read_driver_log(driver_log)
            with contextlib.suppress(FileNotFoundError), \
                    open(session.path("gyrsetup.log"), errors="replace", newline="") as f:
                outcome.program_output = f.read()
            outcome.message_boxes = message_box_texts(outcome.program_output)
            session.end_session()
            outcome.hive = wine_registry.Hive(session.system_reg())
        except BaseException:
            session.failed = True
            raise
        finally:
            sims.stop()
            outcome.simulator_logs = sims.logs()
        problems = outcome.user_problems + check(outcome)
        if problems:
            session.failed = True
        return outcome, problems


def run_native(paths, fixture, controllers, work, timeout=60):
    """The same machine and line on the native stand-ins; returns (summary line, Hive of
    the exported registry). The user presses Enter in the one dialog."""
    native_dir = os.path.join(work, "native")
    os.makedirs(native_dir, exist_ok=True)
    sims = SimulatorSet(paths.simulator, native_dir, os.path.join(native_dir, "pids"))
    export = os.path.join(native_dir, "registry.reg")
    try:
        argv = [paths.native_install, "--fixture", fixture, "--out", export]
        for c in controllers:
            argv += ["--port", f"{c.port}={sims.start(c)}"]
        with open(os.path.join(native_dir, "native_install.log"), "wb") as out:
            result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                    timeout=timeout, check=False)
    finally:
        sims.stop()
        wine_runner.end_recorded_processes(os.path.join(native_dir, "pids"))
    with open(os.path.join(native_dir, "native_install.log"), errors="replace") as f:
        summary = [line for line in f.read().splitlines() if line.startswith("exit ")]
    if result.returncode != 0 or not os.path.exists(export):
        return f"native_install failed ({result.returncode})", None
    return (summary[-1] if summary else ""), wine_registry.Hive(export, regedit4=True)
