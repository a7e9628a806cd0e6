"""The Windows 9x-like machine of the demo and the end-to-end scenarios, and the installer
run on it.

The machine: a copy of the template prefix with a .reg fixture imported into a live
session, COM1..COM9 linked to controller simulators or to nothing, the test joystick driver
registered and the broadcast listener waiting. The run itself is wine.installer_run's, as
for scripts/wine-install; the user (wine.user) answers its windows. Each phase's time goes to
phases.tsv in the run's work folder. A failed run's folder is kept, and survives the next
run of the same name as NAME.failed beside it.
"""

import contextlib
import dataclasses
import os
import shutil
import socket

from wine import installer_run, processes, registry, signals, wineserver
from wine import prefix as prefixes
from wine import waits as waiting
from wine.phases import Phases
from wine.processes import WineError
from wine.xvfb import Xvfb

# What joyGetDevCapsA(-1) reports as szRegKey under Wine, and the section the installer
# hands to OpenDriver with it.
JOYSTICK_DRIVER_NAME = "DINPUT.DLL"
JOYSTICK_SECTION = "Joystick"
PORT_COUNT = 9
JDD_CONFIGCHANGED = 0x903
JDD_GETDEVCAPS = 0x802
# Written into a run's work folder when it failed: the next run of the same name keeps it.
FAILED_MARK = "FAILED"


def padded_folder(parent, length):
    """parent, or a folder below it whose path is at least this long: a build tree deep in
    the file system, as a clone in a deep folder has it."""
    path = parent
    while len(path) < length:
        path = os.path.join(path, "deep-folder-" + "d" * min(60, max(1, length - len(path) - 13)))
    return path


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
    def installer(self):
        return os.path.join(self.win32_build, "app", "gyrsetup.exe")

    @property
    def test_driver(self):
        return os.path.join(self.win32_build, "wine", "test_driver.dll")

    @property
    def listener(self):
        return os.path.join(self.win32_build, "wine", "broadcast_listener.exe")

    def missing(self):
        return [p for p in (self.simulator, self.installer, self.test_driver, self.listener)
                if not os.path.exists(p)]


@dataclasses.dataclass
class Controller:
    """A simulator on one COM port, with extra simulator options."""
    port: int
    options: tuple = ()


class WineSession:
    """A copy of the template prefix with one Wine session kept alive over it.

    The session stays up (wineserver -p) from the first registry import until close(),
    because HKLM\\hardware lives only as long as the session does.
    """

    def __init__(self, e2e_dir, name, waits, display=None, own_display=True, keep=False,
                 work_length=0, windows_version=prefixes.WINDOWS_VERSION):
        """waits: every wait of the machine and its run; windows_version: what Wine answers
        as ("win95", "win98", "winme"); None for Wine's default."""
        self.waits = waits
        self.e2e_dir = os.path.abspath(e2e_dir)
        self.windows_version = windows_version
        self.name = name
        self.work_length = work_length
        self.keep = keep
        self.failed = False
        self.requested_display = display
        self.own_display = own_display
        self.xvfb = None
        self.display = None
        self.prefix = None
        self.work = None
        self.short = None
        self.staged = set()
        self.env = None
        self.session_started = False
        self.owned = processes.Owned.of(waits)
        self.port_targets = {}
        self.phases = Phases()

    # -- life cycle -------------------------------------------------------------------
    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.failed = True
            self.close()
            raise
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.failed = True
        self.close()
        return False

    def _start(self):
        template = prefixes.ensure_template(self.e2e_dir, self.owned, self.waits)
        self.prepare_folders()
        self.phases = Phases(self.path("phases.tsv"))
        signals.deadline_names_phases_of(self.phases)
        with self.phases("prefix copy"):
            prefixes.copy_template(template, self.prefix, self.owned, self.waits)
            if self.windows_version != prefixes.WINDOWS_VERSION:
                prefixes.set_windows_version(os.path.join(self.prefix, "user.reg"),
                                             self.windows_version)
        if self.own_display:
            with self.phases("X server"):
                self.xvfb = Xvfb(self.path("xvfb.log"), self.owned, self.waits,
                                 self.pid_file()).__enter__()
            self.display = self.xvfb.display
        else:
            self.display = self.requested_display
        self.env = wineserver.base_environment(self.prefix, self.display)

    def prepare_folders(self):
        """The work folder (emptied) and a new short folder, after ending what a killed run
        of the same name left behind. A failed run's folder is moved aside first, in place
        of the failed one kept before it."""
        runs = padded_folder(os.path.join(self.e2e_dir, "runs"),
                             self.work_length - len(self.name) - 1)
        os.makedirs(runs, exist_ok=True)
        self.work = os.path.join(runs, self.name)
        # A run of the same name that was killed may have left its processes behind.
        processes.end_recorded_processes(os.path.join(runs, f"{self.name}.pids"))
        old_prefix = os.path.join(self.work, "prefix")
        if os.path.isdir(old_prefix):
            self.owned.run_to_files(["wineserver", "-k"],
                                    wineserver.base_environment(old_prefix, None), os.devnull,
                                    timeout=self.waits.session_kill)
        with contextlib.suppress(OSError), open(os.path.join(self.work, "short-folder")) as f:
            prefixes.remove_short_folder(f.read().strip())
        if os.path.exists(os.path.join(self.work, FAILED_MARK)):
            failed = self.work + ".failed"
            shutil.rmtree(failed, ignore_errors=True)
            os.rename(self.work, failed)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.short = prefixes.short_folder()
        with open(os.path.join(self.work, "short-folder"), "w") as f:
            f.write(self.short + "\n")
        self.prefix = os.path.join(self.work, "prefix")

    def pid_file(self):
        return os.path.join(os.path.dirname(self.work), f"{self.name}.pids")

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def short_path(self, name):
        """A file in the run's short folder; close() copies it into the work folder.
        Every path the Windows side or a socket sees lives there."""
        return os.path.join(self.short, name)

    def stage(self, unix_path):
        """Copies a file the Windows side opens into the short folder; returns its Windows path."""
        name = os.path.basename(unix_path)
        shutil.copy2(unix_path, self.short_path(name))
        self.staged.add(name)
        return prefixes.windows_path(self.short_path(name))

    def _keep_short_files(self):
        for name in set(os.listdir(self.short)) - self.staged:
            source = os.path.join(self.short, name)
            if os.path.isfile(source) and not os.path.islink(source):
                with contextlib.suppress(OSError):
                    shutil.copy2(source, self.path(name))

    def close(self):
        try:
            # The programs go before their X server, not cut off from it.
            self.owned.end_all()
            if self.prefix and self.env and self.session_started:
                self.end_session()
        finally:
            if self.xvfb is not None:
                self.xvfb.close()
                self.xvfb = None
            if self.work:
                processes.end_recorded_processes(self.pid_file())
            kept = self.failed or self.keep
            if self.short and self.work and os.path.isdir(self.work):
                self._keep_short_files()
            if self.work and os.path.isdir(self.work):
                if self.failed:
                    with open(self.path(FAILED_MARK), "w") as f:
                        f.write("this run failed; the next run of the same name keeps this "
                                "folder as NAME.failed\n")
                if kept:
                    # The kept prefix's ports still point into the short folder; the next
                    # run of the same name removes both.
                    processes.log(f"The run's Wine prefix and logs are kept in {self.work} "
                                  f"and {self.short}")
                else:
                    wineserver.remove_server_folders(self.prefix)
                    shutil.rmtree(self.prefix, ignore_errors=True)
            if self.short and not kept:
                prefixes.remove_short_folder(self.short)
                self.short = None

    # -- before the session -----------------------------------------------------------
    def set_ports(self, targets):
        """Lists COM1..COM9 so Wine hands none of the host's devices out, each linked to
        targets[n] (a device path) or to a socket file, which CreateFile refuses at once.
        Must be called before the session starts: Wine links the ports at start-up."""
        if self.session_started:
            raise WineError("ports must be set before the session starts")
        lines = []
        for n in range(1, PORT_COUNT + 1):
            link = self.short_path(f"com{n}")
            target = targets.get(n)
            if target is None:
                target = self.short_path(f"nodevice{n}.sock")
                sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                sock.bind(target)
                sock.close()
            with contextlib.suppress(FileNotFoundError):
                os.unlink(link)
            os.symlink(target, link)
            self.port_targets[n] = target
            lines.append(f'"COM{n}"="{registry.reg_escape(link)}"')
        self.append_system_reg("Software\\Wine\\Ports", lines)

    def append_system_reg(self, key, value_lines):
        """Adds a key with values to the machine hive of a prefix whose session is down."""
        if self.session_started:
            raise WineError("the machine hive can only be edited between sessions")
        escaped = key.replace("\\", "\\\\")
        with open(os.path.join(self.prefix, "system.reg"), "a", newline="\n") as f:
            f.write(f"\n[{escaped}] 1700000000\n")
            for line in value_lines:
                f.write(line + "\n")

    def install_joystick_driver(self, dll_path):
        """Registers a driver DLL under the name Wine's joystick capabilities report, where
        Windows 95 keeps installable drivers: SYSTEM.INI, in the section OpenDriver is given.
        Wine would read the NT registry key first; it is left out so that this path is taken."""
        target_dir = os.path.join(self.prefix, "drive_c", "gyrtest")
        os.makedirs(target_dir, exist_ok=True)
        shutil.copy2(dll_path, os.path.join(target_dir, "test_driver.dll"))
        with open(os.path.join(self.prefix, "drive_c", "windows", "system.ini"), "a",
                  newline="") as f:
            f.write(f"\r\n[{JOYSTICK_SECTION}]\r\n{JOYSTICK_DRIVER_NAME}=C:\\gyrtest\\test_driver.dll\r\n")

    # -- the session ------------------------------------------------------------------
    def start_session(self):
        """Keeps the prefix's wineserver up (-p) until end_session; the first Wine program
        then brings up the session's services and links the ports."""
        if self.session_started:
            return
        self.owned.step(["wineserver", "-p"], self.env, self.path("wineserver.log"),
                        self.waits.session_start, "wineserver -p")
        self.session_started = True

    def import_reg(self, reg_path):
        """Imports a .reg file; as the session's first program, regedit also starts it."""
        self.start_session()
        self.owned.step(["wine", "regedit", "/S", self.stage(reg_path)], self.env,
                        self.path("regedit.log"), self.waits.import_reg,
                        f"regedit /S {reg_path}", cwd=self.short)

    def spawn(self, argv, log_name, extra_env=None):
        """Starts a program in the background; close() ends it if it is still running."""
        self.start_session()
        env = dict(self.env, **(extra_env or {}))
        with open(self.path(f"{log_name}.log"), "ab") as out:
            return self.owned.popen(["wine"] + list(argv), env=env, stdout=out, stderr=out,
                                    cwd=self.short)

    def end_session(self):
        """Ends the session and what still runs in it, so that system.reg holds what the
        programs wrote; False when it did not end within its wait."""
        self.owned.end_all()
        ended = wineserver.end_session(self.prefix, self.env, self.path("wineserver.log"),
                                       self.owned, self.waits, kill=True)
        self.session_started = False
        return ended

    def system_reg(self):
        return os.path.join(self.prefix, "system.reg")


class SimulatorSet:
    """Controller simulators among a run's processes, each in a group of its own."""

    def __init__(self, binary, work, pid_file, owned, waits):
        self.binary = binary
        self.pid_file = pid_file
        self.work = work
        self.owned = owned
        self.waits = waits
        self.procs = {}
        self.ptys = {}

    def start(self, controller):
        """Starts the simulator of one port; returns the pseudo-terminal it plays on."""
        log_path = os.path.join(self.work, f"simulator-com{controller.port}.log")
        out_path = os.path.join(self.work, f"simulator-com{controller.port}.out")
        err_path = os.path.join(self.work, f"simulator-com{controller.port}.err")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = self.owned.popen([self.binary, "--log", log_path, *controller.options],
                                    stdout=out, stderr=err)
        self.procs[controller.port] = proc
        processes.record_process(self.pid_file, proc)

        def first_line():
            with open(out_path) as f:
                line = f.readline()
            return line.strip() if line.endswith("\n") else None

        pty = waiting.poll(first_line, self.waits.simulator_start, every=0.02,
                           give_up=lambda: proc.poll() is not None)
        if not pty:
            raise WineError(f"the simulator on COM{controller.port} did not start within "
                            f"{self.waits.simulator_start} s (see {err_path})")
        self.ptys[controller.port] = pty
        return pty

    def stop(self):
        processes.end_groups(self.procs.values(), grace=self.waits.simulator_grace)

    def logs(self):
        out = {}
        for port in self.procs:
            path = os.path.join(self.work, f"simulator-com{port}.log")
            with contextlib.suppress(FileNotFoundError), open(path) as f:
                out[port] = f.read().splitlines()
            out.setdefault(port, [])
        return out


def _read_driver_log(path):
    codes = []
    with contextlib.suppress(FileNotFoundError), open(path, errors="replace") as f:
        for line in f:
            parts = line.split()
            if parts:
                codes.append(int(parts[0], 16))
    return codes


class Listener:
    """The broadcast listener, counting the joystick-change broadcasts around the run."""

    def __init__(self, session, program):
        self.session = session
        self.program = program
        self.ready = session.short_path("listener.ready")
        self.stop_file = session.short_path("listener.stop")
        self.count = session.short_path("listener.count")
        self.proc = None

    def started(self):
        return self.proc is not None

    def start(self):
        session = self.session
        self.proc = session.spawn([session.stage(self.program),
                                   prefixes.windows_path(self.ready),
                                   prefixes.windows_path(self.stop_file),
                                   prefixes.windows_path(self.count)], "listener")
        timeout = session.waits.listener_ready
        ready = waiting.poll(lambda: os.path.exists(self.ready)
                             and os.path.getsize(self.ready) > 0, timeout, every=0.05,
                             give_up=lambda: self.proc.poll() is not None)
        if not ready:
            raise WineError(f"the broadcast listener did not get ready within {timeout} s "
                            f"(see {session.path('listener.log')})")

    def finish(self):
        """(the broadcasts counted or None, a problem in words or None)."""
        # The installer has exited, so every post is already in the listener's queue.
        with open(self.stop_file, "w") as f:
            f.write("stop\n")
        timeout = self.session.waits.listener_stop
        problem = None
        if self.session.owned.wait(self.proc, timeout) is None:
            problem = f"the broadcast listener did not stop within {timeout} s"
        count = None
        with contextlib.suppress(FileNotFoundError, ValueError), open(self.count) as f:
            count = int(f.read().strip())
        return count, problem


@dataclasses.dataclass(frozen=True)
class MachineResult:
    """The run's own Result, with what only this machine counts: its test driver's
    notifications and its simulators' logs (the broadcasts are the run's listener's)."""
    run: installer_run.Result
    driver_messages: tuple
    simulator_logs: dict

    def __getattr__(self, name):
        return getattr(self.run, name)

    def notifications(self):
        """The number of (0x903, 0x802) pairs, or None when the log is not made of them."""
        codes = [c for c in self.driver_messages if c in (JDD_CONFIGCHANGED, JDD_GETDEVCAPS)]
        pairs = [JDD_CONFIGCHANGED, JDD_GETDEVCAPS] * (len(codes) // 2)
        return len(codes) // 2 if codes == pairs else None

    def queries(self, port):
        return sum(1 for line in self.simulator_logs.get(port, []) if line.strip() == "query")


def run_installer(paths, name, fixture, controllers, user_script, check, *, waits,
                  display=None, own_display=True, keep=False, work_length=0,
                  windows_version=prefixes.WINDOWS_VERSION, program_env=None):
    """Makes the machine and runs the installer on it once; returns (MachineResult,
    problems found by check).

    user_script(user) drives the dialogs while the program runs; check(result) returns
    a list of problems, and the prefix copy is kept for inspection when there are any.
    waits: every wait of the machine and the run. work_length sets the least length of the
    work folder's path; windows_version is what Wine answers as (None: its default, NT).
    program_env adds to the installer's environment alone.
    """
    artifacts = os.path.join(paths.artifacts, name)
    with contextlib.suppress(FileNotFoundError):
        for old in os.listdir(artifacts):
            os.unlink(os.path.join(artifacts, old))
    with WineSession(paths.e2e_dir, name, waits, display=display, own_display=own_display,
                     keep=keep, work_length=work_length,
                     windows_version=windows_version) as session:
        phases = session.phases
        sims = SimulatorSet(paths.simulator, session.work, session.pid_file(), session.owned,
                            waits)
        try:
            with phases("simulators"):
                targets = {c.port: sims.start(c) for c in controllers}
            session.set_ports(targets)
            session.install_joystick_driver(paths.test_driver)
            with phases("session start and registry import"):
                session.import_reg(fixture)
            driver_log = session.short_path("driver-messages.log")
            run = installer_run.run(installer_run.Order(
                env=session.env, argv=(session.stage(paths.installer),), cwd=session.short,
                work_dir=session.work, artifacts=artifacts,
                registry_file=session.system_reg(),
                end_session=lambda: None if session.end_session() else (
                    f"the Wine session did not end within {waits.session_end} s (see "
                    f"{session.path('wineserver.log.stuck')}); system.reg may not hold what "
                    "was written"),
                play=user_script, waits=waits, owned=session.owned,
                listener=Listener(session, paths.listener),
                program_env={"GYR_DRIVER_LOG": prefixes.windows_path(driver_log),
                             **(program_env or {})},
                phases=phases))
        except BaseException:
            session.failed = True
            raise
        finally:
            sims.stop()
        result = MachineResult(run, tuple(_read_driver_log(driver_log)), sims.logs())
        with phases("checks"):
            problems = list(result.problems) + check(result)
        if problems:
            session.failed = True
        return result, problems
