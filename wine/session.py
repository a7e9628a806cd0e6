#!/usr/bin/env python3
"""Runs Windows programs under Wine in throw-away 32-bit prefixes.

One template prefix is made per build tree and copied for every run; each copy gets
its own Wine session and, unless the caller brings a display, its own Xvfb. Wine's
output always goes to files: Wine's service processes inherit a pipe and keep it open.
Whatever happens, the session's Wine processes and the runner's X server are ended.

    python3 wine_runner.py --e2e-dir DIR template          make the template prefix
    python3 wine_runner.py --e2e-dir DIR run PROGRAM [ARG]  run one program, print its exit code
"""

import argparse
import contextlib
import fcntl
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

WINE_OVERRIDES = "mscoree,mshtml="
TEMPLATE_NAME = "template-prefix"
# Bump when the template's contents change, so that an old one is made anew.
TEMPLATE_STAMP = "gyr-template 4"
# Wine answers as Windows 95 (REG_SZ values stored at their text length plus one,
# installable drivers found through SYSTEM.INI), not as its default Windows 7.
WINDOWS_VERSION = "win95"
# Windows 95's standard colours, so that the screenshots show its look, not Wine's.
WINDOWS_95_COLOURS = (
    ("ActiveBorder", "192 192 192"), ("ActiveTitle", "0 0 128"),
    ("AppWorkspace", "128 128 128"), ("Background", "0 128 128"),
    ("ButtonDkShadow", "0 0 0"), ("ButtonFace", "192 192 192"),
    ("ButtonHilight", "255 255 255"), ("ButtonLight", "192 192 192"),
    ("ButtonShadow", "128 128 128"),
    ("ButtonText", "0 0 0"), ("GradientActiveTitle", "0 0 128"),
    ("GradientInactiveTitle", "128 128 128"), ("GrayText", "128 128 128"),
    ("Hilight", "0 0 128"), ("HilightText", "255 255 255"),
    ("InactiveBorder", "192 192 192"), ("InactiveTitle", "128 128 128"),
    ("InactiveTitleText", "192 192 192"), ("Menu", "192 192 192"),
    ("MenuText", "0 0 0"), ("TitleText", "255 255 255"),
    ("Window", "255 255 255"), ("WindowFrame", "0 0 0"),
    ("WindowText", "0 0 0"),
)
# Without a window manager, Wine's managed windows make every dialog close take seconds.
TEMPLATE_SETTINGS = (
    "REGEDIT4\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine]\r\n"
    f"\"Version\"=\"{WINDOWS_VERSION}\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\r\n"
    "\"Graphics\"=\"x11,null\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"
    "\"Managed\"=\"N\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Colors]\r\n"
    + "".join(f"\"{name}\"=\"{rgb}\"\r\n" for name, rgb in WINDOWS_95_COLOURS)
)
# Wine's own fonts (Marlett draws the caption buttons, Tahoma and MS Sans Serif the dialogs).
# Debian's Wine 8 looks for them in "Z:\usr\share\wine\../fonts", a path its file
# lookup never resolves, so the template gets copies in C:\windows\Fonts, which it reads.
WINE_FONTS_DIR = "/usr/share/wine/fonts"
PROBE_FONT = "Marlett"
# What joyGetDevCapsA(-1) reports as szRegKey under Wine, and the section the installer
# hands to OpenDriver with it.
JOYSTICK_DRIVER_NAME = "DINPUT.DLL"
JOYSTICK_SECTION = "Joystick"
PORT_COUNT = 9
# A socket path holds at most 107 bytes, and the Windows side reads paths into MAX_PATH
# buffers: whatever either sees lives in a short folder of the run's own, wherever the
# build tree sits.
SHORT_ROOT_LIMIT = 32
SHORT_PREFIX = "gyr-"


class WineError(Exception):
    pass


def log(message):
    print(message, file=sys.stderr, flush=True)


def wine_version():
    with tempfile.TemporaryFile() as out:
        subprocess.run(["wine", "--version"], stdin=subprocess.DEVNULL, stdout=out,
                       stderr=subprocess.DEVNULL, check=False, timeout=60)
        out.seek(0)
        return out.read().decode(errors="replace").strip()


def short_folder():
    """A new folder with a short path, under the temporary folder when that is short."""
    root = tempfile.gettempdir()
    if len(root) > SHORT_ROOT_LIMIT:
        root = "/tmp"
    return tempfile.mkdtemp(prefix=SHORT_PREFIX, dir=root)


def remove_short_folder(path):
    """Removes a folder that short_folder made, and nothing else."""
    if os.path.basename(path).startswith(SHORT_PREFIX) and os.path.isdir(path):
        shutil.rmtree(path, ignore_errors=True)


def padded_folder(parent, length):
    """parent, or a folder below it whose path is at least this long: a build tree deep in
    the file system, as a clone in a deep folder has it."""
    path = parent
    while len(path) < length:
        path = os.path.join(path, "deep-folder-" + "d" * min(60, max(1, length - len(path) - 13)))
    return path


def windows_path(unix_path):
    """The Z: drive of every prefix is the Unix root."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def base_environment(prefix, display):
    env = dict(os.environ)
    for name in ("WINELOADER", "WINESERVER", "WINEDLLPATH"):
        env.pop(name, None)
    env.update(WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES=WINE_OVERRIDES)
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def _lock_held(path):
    """Whether a running process holds a write lock on this file (asked, never taken)."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return False
    try:
        request = struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
        answer = fcntl.fcntl(fd, fcntl.F_GETLK, request)
        return struct.unpack("hhqqi4x", answer)[0] != fcntl.F_UNLCK
    finally:
        os.close(fd)


def server_running(prefix):
    """Whether the prefix's wineserver runs, without starting one: the server holds the
    lock file in its socket folder, named after the prefix folder's device and inode.
    Upstream Wine keeps that folder in /tmp/.wine-UID; Debian's in $TMPDIR (or /tmp)
    under the name the prefix's "wineserver" file holds."""
    try:
        st = os.stat(prefix)
    except OSError:
        return False
    name = f"server-{st.st_dev:x}-{st.st_ino:x}"
    bases = [f"/tmp/.wine-{os.getuid()}", f"/run/user/{os.getuid()}/wine"]
    with contextlib.suppress(OSError), open(os.path.join(prefix, "wineserver")) as f:
        folder = f.read().strip()
        if folder and "/" not in folder:
            bases += [os.path.join(os.environ.get("TMPDIR") or "/tmp", folder),
                      os.path.join("/tmp", folder)]
    return any(_lock_held(os.path.join(base, name, "lock")) for base in bases)


def run_to_files(argv, env, out_path, timeout, cwd=None):
    """Runs a command with stdout and stderr in files; returns its exit code or None on time-out."""
    with open(out_path, "ab") as out:
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                cwd=cwd, start_new_session=True)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            kill_group(proc)
            return None


def _start_time(pid):
    """The kernel's start time of a process: with the pid, it names one process for good."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[19]
    except (OSError, IndexError):
        return None


def record_process(pid_file, proc):
    """Notes a helper process so that a later run can end it if this one was killed."""
    started = _start_time(proc.pid)
    if started is not None:
        with open(pid_file, "a") as out:
            out.write(f"{proc.pid} {started}\n")


def end_recorded_processes(pid_file):
    """Ends the processes a killed run left behind, each only if it is still the same one."""
    try:
        with open(pid_file) as f:
            entries = [line.split() for line in f if len(line.split()) == 2]
    except FileNotFoundError:
        return
    for pid_text, started in entries:
        pid = int(pid_text)
        if _start_time(pid) == started:
            with contextlib.suppress(ProcessLookupError, PermissionError):
                os.killpg(pid, signal.SIGKILL)
    os.unlink(pid_file)


def _raise_on_signal(signum, frame):
    raise SystemExit(128 + signum)


def _on_alarm(signum, frame):
    raise TimeoutError("the run went past its deadline")


def set_deadline(seconds):
    """Raises TimeoutError in the main thread after this many seconds (0 cancels), so a
    hung run still unwinds through its cleanup before CTest's own time-out kills it."""
    signal.signal(signal.SIGALRM, _on_alarm)
    signal.alarm(int(seconds))


def cleanup_on_signals():
    """SIGTERM and SIGHUP (from CTest or a closed terminal) unwind like an exception, so
    every finally block runs and the session's processes end."""
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _raise_on_signal)


def kill_group(proc):
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(proc.pid, signal.SIGKILL)
    with contextlib.suppress(Exception):
        proc.wait(timeout=10)


@contextlib.contextmanager
def file_lock(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


def ensure_template(e2e_dir):
    """Makes the 32-bit template prefix once; parallel callers wait on a lock."""
    e2e_dir = os.path.abspath(e2e_dir)
    template = os.path.join(e2e_dir, TEMPLATE_NAME)
    stamp_path = os.path.join(template, ".gyr-template")
    stamp = f"{TEMPLATE_STAMP}\n{wine_version()}\n"
    with file_lock(os.path.join(e2e_dir, "template.lock")):
        with contextlib.suppress(OSError), open(stamp_path) as f:
            if f.read() == stamp:
                return template
        shutil.rmtree(template, ignore_errors=True)
        logs = os.path.join(e2e_dir, "logs")
        os.makedirs(logs, exist_ok=True)
        out_path = os.path.join(logs, "template-prefix.log")
        env = base_environment(template, None)
        started = time.monotonic()
        # A maker that was killed leaves its short folder behind, noted here.
        short_record = os.path.join(e2e_dir, "template-short-folder")
        with contextlib.suppress(OSError), open(short_record) as f:
            remove_short_folder(f.read().strip())
        short = short_folder()
        with open(short_record, "w") as f:
            f.write(short + "\n")
        try:
            rc = run_to_files(["wineboot", "-i"], env, out_path, timeout=300, cwd=short)
            if rc != 0:
                raise WineError(f"wineboot -i failed ({rc}); see {out_path}")
            settings = os.path.join(short, "settings.reg")
            with open(settings, "w", newline="") as f:
                f.write(TEMPLATE_SETTINGS)
            rc = run_to_files(["wine", "regedit", "/S", windows_path(settings)], env, out_path,
                              timeout=120, cwd=short)
            if rc != 0:
                raise WineError(f"regedit of the template settings failed ({rc}); see {out_path}")
            install_wine_fonts(template)
            check_font_loaded(env, os.path.join(logs, "template-fonts.log"), short, PROBE_FONT)
        finally:
            end_wine_session(template, env, out_path)
            remove_short_folder(short)
        with open(stamp_path, "w") as f:
            f.write(stamp)
        log(f"Made a Wine prefix that answers as Windows 95 in {time.monotonic() - started:.0f} s; "
            f"every run starts from a copy of it, so later runs skip this step ({template})")
        return template


def install_wine_fonts(prefix, fonts_dir=WINE_FONTS_DIR, keep_existing=False):
    """Copies Wine's own font files into the prefix's Fonts folder; returns the names
    copied. keep_existing: a file of the same name (in any case) is left as it is."""
    if not os.path.isfile(os.path.join(fonts_dir, PROBE_FONT.lower() + ".ttf")):
        raise WineError(f"Wine's fonts are missing from {fonts_dir}; scripts/setup installs "
                        "them (fonts-wine)")
    target = os.path.join(prefix, "drive_c", "windows", "Fonts")
    os.makedirs(target, exist_ok=True)
    present = {n.lower() for n in os.listdir(target)} if keep_existing else set()
    copied = []
    for name in sorted(os.listdir(fonts_dir)):
        source = os.path.join(fonts_dir, name)
        if os.path.isfile(source) and name.lower() not in present:
            shutil.copyfile(source, os.path.join(target, name))
            copied.append(name)
    return copied


def check_font_loaded(env, log_path, cwd, family):
    """Raises unless a Wine program in this prefix loads a face of the family: what Wine's
    font tracing reports, so that a font present on disk but never read still fails."""
    probe_env = dict(env, WINEDEBUG="-all,trace+font")
    with contextlib.suppress(FileNotFoundError):
        os.remove(log_path)
    rc = run_to_files(["wine", "cmd", "/c", "exit"], probe_env, log_path, timeout=120, cwd=cwd)
    if rc != 0:
        raise WineError(f"the font probe failed ({rc}); see {log_path}")
    needle = f'Adding face L"{family}"'.encode()
    with open(log_path, "rb") as f:
        if any(needle in line for line in f):
            return
    raise WineError(f"Wine loads no {family} font in the template prefix (the dialogs' close "
                    f"box would show as a letter); see {log_path}")


def end_wine_session(prefix, env, out_path, kill=False):
    """Ends the Wine session of a prefix the caller made (saving its registry); True when
    it ended. kill: end its programs first."""
    if kill:
        run_to_files(["wineserver", "-k"], env, out_path, timeout=30)
    if run_to_files(["wineserver", "-w"], env, out_path, timeout=60) is None:
        run_to_files(["wineserver", "-k"], env, out_path, timeout=30)
    return run_to_files(["wineserver", "-w"], env, out_path, timeout=30) == 0


def wait_for_session_end(env, out_path, timeout=60):
    """Waits for a session's programs to end and its registry to be saved; ends nothing."""
    return run_to_files(["wineserver", "-w"], env, out_path, timeout=timeout) == 0


class Xvfb:
    """An X server of our own on a free display, ended by its process id."""

    def __init__(self, log_path, pid_file=None):
        self.log_path = log_path
        self.pid_file = pid_file
        self.proc = None
        self.display = None

    def __enter__(self):
        fd_file = tempfile.TemporaryFile()
        with open(self.log_path, "ab") as out:
            # -displayfd lets the server pick a free display and tell us which. -r: no
            # autorepeat, so that a key typed once reaches the program once however slowly
            # a loaded machine delivers its release.
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(fd_file.fileno()), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp", "-r"],
                stdin=subprocess.DEVNULL, stdout=out, stderr=out, pass_fds=(fd_file.fileno(),),
                start_new_session=True)
        if self.pid_file:
            record_process(self.pid_file, self.proc)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            fd_file.seek(0)
            text = fd_file.read().decode()
            if text.endswith("\n") and text.strip().isdigit():
                self.display = ":" + text.strip()
                break
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        fd_file.close()
        if self.display is None:
            self.close()
            raise WineError(f"Xvfb did not start; see {self.log_path}")
        return self

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                kill_group(self.proc)

    def __exit__(self, *exc):
        self.close()


class WineSession:
    """A copy of the template prefix with one Wine session kept alive over it.

    The session stays up (wineserver -p) from the first registry import until close(),
    because HKLM\\hardware lives only as long as the session does.
    """

    def __init__(self, e2e_dir, name, display=None, own_display=True, keep=False,
                 work_length=0, windows_version=WINDOWS_VERSION):
        """windows_version: what Wine answers as ("win95", "win98", "winme"); None for
        Wine's default."""
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
        self.background = []
        self.port_targets = {}

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
        template = ensure_template(self.e2e_dir)
        self.prepare_folders()
        subprocess.run(["cp", "-a", template, self.prefix], check=True, timeout=300)
        if self.windows_version != WINDOWS_VERSION:
            set_windows_version(os.path.join(self.prefix, "user.reg"), self.windows_version)
        if self.own_display:
            self.xvfb = Xvfb(self.path("xvfb.log"), self.pid_file()).__enter__()
            self.display = self.xvfb.display
        else:
            self.display = self.requested_display
        self.env = base_environment(self.prefix, self.display)

    def prepare_folders(self):
        """The work folder (emptied) and a new short folder, after ending what a killed run
        of the same name left behind."""
        runs = padded_folder(os.path.join(self.e2e_dir, "runs"),
                             self.work_length - len(self.name) - 1)
        os.makedirs(runs, exist_ok=True)
        self.work = os.path.join(runs, self.name)
        # A run of the same name that was killed may have left its processes behind.
        end_recorded_processes(os.path.join(runs, f"{self.name}.pids"))
        old_prefix = os.path.join(self.work, "prefix")
        if os.path.isdir(old_prefix):
            run_to_files(["wineserver", "-k"], base_environment(old_prefix, None),
                         os.devnull, timeout=30)
        with contextlib.suppress(OSError), open(os.path.join(self.work, "short-folder")) as f:
            remove_short_folder(f.read().strip())
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.short = short_folder()
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
        return windows_path(self.short_path(name))

    def _keep_short_files(self):
        for name in set(os.listdir(self.short)) - self.staged:
            source = os.path.join(self.short, name)
            if os.path.isfile(source) and not os.path.islink(source):
                with contextlib.suppress(OSError):
                    shutil.copy2(source, self.path(name))

    def close(self):
        try:
            for proc in self.background:
                if proc.poll() is None:
                    kill_group(proc)
            if self.prefix and self.env:
                end_wine_session(self.prefix, self.env, self.path("wineserver.log"),
                            kill=self.session_started)
        finally:
            if self.xvfb is not None:
                self.xvfb.close()
                self.xvfb = None
            if self.work:
                end_recorded_processes(self.pid_file())
            kept = self.failed or self.keep
            if self.short and self.work and os.path.isdir(self.work):
                self._keep_short_files()
            if self.work and os.path.isdir(self.work):
                if kept:
                    # The kept prefix's ports still point into the short folder; the next
                    # run of the same name removes both.
                    log(f"The run's Wine prefix and logs are kept in {self.work} and {self.short}")
                else:
                    shutil.rmtree(self.prefix, ignore_errors=True)
            if self.short and not kept:
                remove_short_folder(self.short)
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
            lines.append(f'"COM{n}"="{reg_escape(link)}"')
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
        if self.session_started:
            return
        rc = run_to_files(["wineserver", "-p"], self.env, self.path("wineserver.log"), timeout=60)
        if rc != 0:
            raise WineError(f"wineserver -p failed ({rc})")
        self.session_started = True
        # The first program brings up the session's services and links the ports.
        rc = run_to_files(["wine", "cmd", "/c", "exit"], self.env, self.path("wine-start.log"),
                          timeout=120, cwd=self.short)
        if rc != 0:
            raise WineError(f"the Wine session did not start ({rc})")

    def import_reg(self, reg_path, timeout=120):
        self.start_session()
        rc = run_to_files(["wine", "regedit", "/S", self.stage(reg_path)], self.env,
                          self.path("regedit.log"), timeout=timeout, cwd=self.short)
        if rc != 0:
            raise WineError(f"regedit /S {reg_path} failed ({rc})")

    def run(self, argv, timeout, log_name="program", extra_env=None):
        """Runs a program to its end; returns its exit code (None when it was killed)."""
        self.start_session()
        env = dict(self.env, **(extra_env or {}))
        return run_to_files(["wine"] + list(argv), env, self.path(f"{log_name}.log"),
                            timeout=timeout, cwd=self.short)

    def spawn(self, argv, log_name, extra_env=None):
        """Starts a program in the background; close() ends it if it is still running."""
        self.start_session()
        env = dict(self.env, **(extra_env or {}))
        out = open(self.path(f"{log_name}.log"), "ab")
        try:
            proc = subprocess.Popen(["wine"] + list(argv), env=env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=out, cwd=self.short, start_new_session=True)
        finally:
            out.close()
        self.background.append(proc)
        return proc

    def end_session(self):
        """Ends the session so that system.reg holds what the programs wrote."""
        for proc in self.background:
            if proc.poll() is None:
                kill_group(proc)
        end_wine_session(self.prefix, self.env, self.path("wineserver.log"), kill=self.session_started)
        self.session_started = False

    def system_reg(self):
        return os.path.join(self.prefix, "system.reg")


def set_windows_version(user_reg, version):
    """Sets the Version value of HKCU\\Software\\Wine in a prefix's user hive whose session
    is down; None takes it out, so that the prefix answers as Wine's default again."""
    with open(user_reg, newline="") as f:
        lines = f.read().split("\n")
    section = None
    found = False
    kept = []
    for line in lines:
        if line.startswith("["):
            section = line.split("]", 1)[0] + "]"
        elif section == "[Software\\\\Wine]" and line.startswith('"Version"='):
            found = True
            if version is None:
                continue
            line = f'"Version"="{version}"'
        kept.append(line)
    if not found:
        raise WineError(f"no Windows version to set in {user_reg}")
    with open(user_reg, "w", newline="") as f:
        f.write("\n".join(kept))


def reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def main():
    cleanup_on_signals()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--e2e-dir", required=True, help="where the template and the runs live")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("template", help="make the template prefix (once)")
    run = sub.add_parser("run", help="run one program in a fresh prefix copy")
    run.add_argument("--timeout", type=float, default=60)
    run.add_argument("--keep", action="store_true", help="keep the prefix copy")
    run.add_argument("program")
    run.add_argument("args", nargs="*")
    args = parser.parse_args()
    if args.command == "template":
        print(ensure_template(args.e2e_dir))
        return 0
    own = not os.environ.get("DISPLAY")
    with WineSession(args.e2e_dir, "cli", display=os.environ.get("DISPLAY"), own_display=own,
                     keep=args.keep) as session:
        session.set_ports({})
        rc = session.run([session.stage(os.path.abspath(args.program))] + args.args,
                         timeout=args.timeout)
        print("timeout" if rc is None else rc)
        if rc != 0:
            session.failed = True
        return 0 if rc == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
