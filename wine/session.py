"""Wine sessions and the processes a run owns.

A Wine session is the wineserver of one prefix and the programs connected to it. This module
starts programs in process groups of their own (so that ending them reaches nobody else's),
keeps an X server of its own when there is no display, finds a prefix's wineserver the way
Wine finds it, and turns SIGINT, SIGTERM and SIGHUP into an exception that unwinds through
every clean-up.
"""

import contextlib
import fcntl
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

# No Mono or Gecko installer, and no menu builder: every session start would otherwise run
# winemenubuilder, which writes the host's desktop menus and, under qemu-i386, costs a
# second of CPU for nothing the installer needs.
WINE_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"
# How long a program's process group gets after SIGTERM before SIGKILL.
TERM_GRACE = 2


class WineError(Exception):
    pass


class Interrupted(BaseException):
    """A signal asked the run to stop; every finally block runs on the way out."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum

    @property
    def exit_status(self):
        return 128 + self.signum

    @property
    def name(self):
        return signal.Signals(self.signum).name


def log(message):
    print(message, file=sys.stderr, flush=True)


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


# -- finding a prefix's wineserver ------------------------------------------------------
def server_folders(prefix, uid=None, environ=None, run_user_root="/run/user"):
    """Where a wineserver of this prefix keeps its socket and lock, the way Wine computes it:
    a folder server-DEV-INODE (the prefix folder's device and inode, in hex) below a base
    folder. Debian's Wine 8 takes /run/user/UID/wine when /run/user/UID exists, and
    otherwise $TMPDIR (or /tmp) joined with the random name the server wrote into the
    prefix's "wineserver" file; upstream Wine takes /tmp/.wine-UID."""
    uid = os.getuid() if uid is None else uid
    environ = os.environ if environ is None else environ
    try:
        st = os.stat(prefix)
    except OSError:
        return []
    name = f"server-{st.st_dev:x}-{st.st_ino:x}"
    bases = []
    run_user = os.path.join(run_user_root, str(uid))
    if os.path.isdir(run_user):
        bases.append(os.path.join(run_user, "wine"))
    with contextlib.suppress(OSError, UnicodeDecodeError), \
            open(os.path.join(prefix, "wineserver")) as f:
        random_name = f.read().strip()
        if random_name and "/" not in random_name:
            bases.append(os.path.join(environ.get("TMPDIR") or "/tmp", random_name))
            bases.append(os.path.join("/tmp", random_name))
    bases.append(f"/tmp/.wine-{uid}")
    return [os.path.join(base, name) for base in dict.fromkeys(bases)]


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
    """Whether the prefix's wineserver runs, without starting one or connecting to it: a
    running server holds the lock file in its folder."""
    return any(_lock_held(os.path.join(folder, "lock")) for folder in server_folders(prefix))


# -- processes --------------------------------------------------------------------------
def _processes():
    for name in os.listdir("/proc"):
        if name.isdigit():
            yield int(name)


def group_members(pgid):
    """The process ids of a process group, read from /proc."""
    members = []
    for pid in _processes():
        with contextlib.suppress(OSError, IndexError, ValueError):
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[2]) == pgid:
                members.append(pid)
    return sorted(members)


def prefix_processes(prefix):
    """The process ids of the Wine programs (and wineserver) of a prefix: those whose
    environment names it, as far as /proc lets us read."""
    wanted = b"\0WINEPREFIX=" + os.fsencode(os.path.abspath(prefix)) + b"\0"
    found = []
    for pid in _processes():
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/environ", "rb") as f:
                if wanted in b"\0" + f.read():
                    found.append(pid)
    return sorted(found)


def _read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read().replace("\0", " ").strip()
    except OSError as error:
        return f"({error.strerror})"


def save_state(path, what, pgid=None, prefix=None):
    """Writes the state of stuck processes before they are ended or given up on: a
    process group of ours, and the Wine programs of a prefix. For each thread: its state,
    wait channel, system call and kernel stack (where /proc lets us read them), and its own
    stack from gdb when gdb is there. Returns the path, or None when none of them runs."""
    members = sorted(set(group_members(pgid) if pgid else []) |
                     set(prefix_processes(prefix) if prefix else []))
    if not members:
        return None
    lines = [f"{what}: stuck at {time.strftime('%H:%M:%S')}; the processes"
             + (f" of group {pgid}" if pgid else "") + (f" of the prefix {prefix}" if prefix else "")]
    for pid in members:
        lines.append(f"\nprocess {pid}: {_read(f'/proc/{pid}/cmdline')}")
        with contextlib.suppress(OSError):
            for tid in sorted(os.listdir(f"/proc/{pid}/task"), key=int):
                task = f"/proc/{pid}/task/{tid}"
                stat_fields = _read(f"{task}/stat").rsplit(")", 1)
                state = stat_fields[1].split()[0] if len(stat_fields) == 2 else "?"
                lines.append(f"  thread {tid} {_read(f'{task}/comm')}: state {state}, wait "
                             f"channel {_read(f'{task}/wchan') or '-'}, system call "
                             f"{_read(f'{task}/syscall')}")
                stack = _read(f"{task}/stack")
                if stack and not stack.startswith("("):
                    lines += [f"    {frame}" for frame in stack.splitlines()]
        if shutil.which("gdb"):
            with contextlib.suppress(OSError, subprocess.SubprocessError):
                traced = subprocess.run(
                    ["gdb", "-batch", "-nx", "-p", str(pid), "-ex", "thread apply all bt 30"],
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                    stderr=subprocess.STDOUT, timeout=60, check=False)
                lines += [f"    {line}" for line in
                          traced.stdout.decode(errors="replace").splitlines()
                          if line.startswith(("Thread ", "#"))]
    with open(path, "a") as f:
        f.write("\n".join(lines) + "\n")
    return path


class _Recorded:
    """A process a killed run of ours left behind, named by its pid and start time; it
    is no child of ours, so its end is seen in /proc."""

    def __init__(self, pid, started):
        self.pid = pid
        self.started = started

    def poll(self):
        return None if _start_time(self.pid) == self.started else 0

    def wait(self, timeout=None):
        deadline = time.monotonic() + (timeout or 0)
        while self.poll() is None:
            if time.monotonic() >= deadline:
                raise subprocess.TimeoutExpired(str(self.pid), timeout)
            time.sleep(0.05)
        return 0


def end_groups(procs, grace=TERM_GRACE):
    """The one way this package ends processes: the process groups of procs, each started
    by us in a session of its own, get SIGTERM, and SIGKILL once grace seconds have gone by
    (at once when grace is 0); the rest of a group goes even when its leader has ended.
    Returns how many of the leaders were still running."""
    procs = list(procs)
    running = [p for p in procs if p.poll() is None]
    if grace and running:
        for proc in running:
            with contextlib.suppress(ProcessLookupError, PermissionError):
                os.killpg(proc.pid, signal.SIGTERM)
        deadline = time.monotonic() + grace
        for proc in running:
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(timeout=max(0, deadline - time.monotonic()))
    for proc in procs:
        if isinstance(proc, _Recorded) and proc.poll() is not None:
            continue  # its pid may be someone else's by now
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(proc.pid, signal.SIGKILL)
    for proc in procs:
        with contextlib.suppress(Exception):
            proc.wait(timeout=10)
    return len(running)


def how_it_ended(what, rc, timeout, out_path, state=None):
    """What became of a command that did not succeed, naming it: its exit code, or the
    time-out it was stopped at (and where the stuck processes' state went)."""
    if rc is None:
        text = f"{what} did not end within {timeout} s and was stopped"
        if state:
            text += f" (the state of its stuck processes: {state})"
    else:
        text = f"{what} failed ({rc})"
    return f"{text}; see {out_path}"


class Owned:
    """The process groups a run started, so that an interrupted run ends exactly these."""

    def __init__(self):
        self.procs = []
        self.last_state = None

    def popen(self, argv, **kwargs):
        # A signal that arrives while Popen waits for the exec would lose the new process.
        with signals_held():
            proc = subprocess.Popen(argv, start_new_session=True, **kwargs)
            self.procs.append(proc)
        return proc

    def stop(self, proc, what, state_path=None, grace=TERM_GRACE):
        """Ends one group of ours that ran past its time, its state saved first."""
        self.last_state = save_state(state_path, what, pgid=proc.pid) if state_path else None
        end_groups([proc], grace)
        self.forget(proc)
        return self.last_state

    def forget(self, proc):
        if proc in self.procs and proc.poll() is not None:
            self.procs.remove(proc)

    def run_to_files(self, argv, env, out_path, timeout, cwd=None):
        """Runs a command with stdout and stderr in a file; its exit code, None on time-out
        (the stuck processes' state then goes to OUT_PATH.stuck, named in last_state)."""
        self.last_state = None
        with open(out_path, "ab") as out:
            proc = self.popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                              cwd=cwd)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            state = None if out_path == os.devnull else out_path + ".stuck"
            self.stop(proc, " ".join(argv), state, grace=0)
            return None
        finally:
            self.forget(proc)

    def step(self, argv, env, out_path, timeout, what, cwd=None):
        """Runs a command that must succeed; WineError names it and how it failed."""
        rc = self.run_to_files(argv, env, out_path, timeout, cwd)
        if rc != 0:
            raise WineError(how_it_ended(what, rc, timeout, out_path, self.last_state))

    def end_all(self, grace=TERM_GRACE):
        """Ends every group still running; returns how many there were."""
        ended = end_groups(self.procs, grace)
        self.procs = []
        return ended


_untracked = Owned()


def run_to_files(argv, env, out_path, timeout, cwd=None):
    """Runs a command with stdout and stderr in a file; its exit code, None on time-out."""
    return _untracked.run_to_files(argv, env, out_path, timeout, cwd)


def run_step(argv, env, out_path, timeout, what, cwd=None):
    """Runs a command that must succeed; WineError names it and how it failed."""
    _untracked.step(argv, env, out_path, timeout, what, cwd)


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
    end_groups([_Recorded(int(pid), started) for pid, started in entries], grace=0)
    os.unlink(pid_file)


# -- signals ----------------------------------------------------------------------------
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class _Held:
    depth = 0
    pending = None


def _raise_interrupted(signum, frame):
    # A second signal while the first one's clean-up runs must not cut that clean-up short.
    for sig in STOP_SIGNALS:
        signal.signal(sig, signal.SIG_IGN)
    if _Held.depth:
        _Held.pending = signum
        return
    raise Interrupted(signum)


@contextlib.contextmanager
def signals_held():
    """A stop signal that arrives inside takes effect at its end."""
    _Held.depth += 1
    try:
        yield
    finally:
        _Held.depth -= 1
        if not _Held.depth and _Held.pending is not None:
            signum, _Held.pending = _Held.pending, None
            raise Interrupted(signum)


def stop_on_signals():
    """SIGINT (Ctrl-C), SIGTERM (CTest, kill) and SIGHUP (a closed terminal) raise
    Interrupted, so that every finally block runs and the run's processes end."""
    for sig in STOP_SIGNALS:
        signal.signal(sig, _raise_interrupted)


class Phases:
    """The time each phase of a run takes, written down as it goes: one line per phase,
    "NAME<TAB>START<TAB>SECONDS" (START counts from the run's beginning), so that a run cut
    short still shows how far it got and where its time went."""

    under_way = None  # the latest phase begun, for a deadline's message

    def __init__(self, path=None):
        self.path = path
        self.began = time.monotonic()
        self.rows = []
        if path:
            with open(path, "w"):
                pass

    @contextlib.contextmanager
    def __call__(self, name):
        start = time.monotonic()
        Phases.under_way = name
        try:
            yield
        finally:
            row = (name, start - self.began, time.monotonic() - start)
            self.rows.append(row)
            if self.path:
                with open(self.path, "a") as f:
                    f.write(f"{row[0]}\t{row[1]:.3f}\t{row[2]:.3f}\n")


def read_phases(path):
    """[(name, start, seconds)] from a file Phases wrote."""
    rows = []
    with open(path) as f:
        for line in f:
            name, start, seconds = line.rstrip("\n").split("\t")
            rows.append((name, float(start), float(seconds)))
    return rows


def _on_alarm(signum, frame):
    during = f" during {Phases.under_way}" if Phases.under_way else ""
    raise TimeoutError(f"the run went past its deadline{during}")


def set_deadline(seconds):
    """Raises TimeoutError in the main thread after this many seconds (0 cancels), so a
    hung run still unwinds through its cleanup before CTest's own time-out kills it."""
    signal.signal(signal.SIGALRM, _on_alarm)
    signal.alarm(int(seconds))


@contextlib.contextmanager
def file_lock(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


# -- the session's end ------------------------------------------------------------------
def end_wine_session(prefix, env, out_path, kill=False):
    """Ends the Wine session of a prefix the caller made (saving its registry); True when
    it ended. kill: end its programs first."""
    if kill:
        run_to_files(["wineserver", "-k"], env, out_path, timeout=30)
    if run_to_files(["wineserver", "-w"], env, out_path, timeout=60) is None:
        if out_path != os.devnull:
            save_state(out_path + ".stuck", "the Wine session did not end within 60 s",
                       prefix=prefix)
        run_to_files(["wineserver", "-k"], env, out_path, timeout=30)
    return run_to_files(["wineserver", "-w"], env, out_path, timeout=30) == 0


def wait_for_session_end(env, out_path, timeout=60, owned=None):
    """Waits for a session's programs to end and its registry to be saved; ends nothing.
    When they do not end in time, their state goes to OUT_PATH.stuck."""
    runner = owned or _untracked
    if runner.run_to_files(["wineserver", "-w"], env, out_path, timeout=timeout) == 0:
        return True
    if out_path != os.devnull:
        save_state(out_path + ".stuck", f"the Wine session did not end within {timeout} s",
                   prefix=env["WINEPREFIX"])
    return False


class Xvfb:
    """An X server of our own on a free display, ended by its process id."""

    def __init__(self, log_path, pid_file=None, owned=None):
        self.log_path = log_path
        self.pid_file = pid_file
        self.owned = owned or _untracked
        self.proc = None
        self.display = None

    def __enter__(self):
        fd_file = tempfile.TemporaryFile()
        with open(self.log_path, "ab") as out:
            # -displayfd lets the server pick a free display and tell us which. -r: no
            # autorepeat, so that a key typed once reaches the program once however slowly
            # a loaded machine delivers its release. -noreset: by default the server resets
            # whenever its last client leaves, and refuses connections while it does; each
            # xdotool poll before Wine's first window is such a client, and Wine's explorer
            # connecting during a reset loads no display driver, so no window ever opens.
            self.proc = self.owned.popen(
                ["Xvfb", "-displayfd", str(fd_file.fileno()), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp", "-r", "-noreset"],
                stdin=subprocess.DEVNULL, stdout=out, stderr=out, pass_fds=(fd_file.fileno(),))
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
            raise WineError(f"Xvfb did not tell its display within 30 s; see {self.log_path}")
        return self

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            end_groups([self.proc], grace=10)

    def __exit__(self, *exc):
        self.close()
