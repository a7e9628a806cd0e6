"""The one way wine/ and the end-to-end tests start a process, run it to a time-out, signal
it and end it, the state of what is stuck saved first.

Every process starts in a session (and so a process group) of its own, so that ending it
reaches its children and nobody else's. A run's processes belong to its Owned, which ends
what is still running when the run stops; a stand-in for a user's own program is started
unowned. The processes Wine starts itself are Wine's: they end with their session.
"""

import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from wine import signals, waits

# For the callers' standard streams, so that no module but this one imports subprocess.
DEVNULL = subprocess.DEVNULL
PIPE = subprocess.PIPE
STDOUT = subprocess.STDOUT


class WineError(Exception):
    """A step that must succeed did not; the message names it and how it failed."""


class NoAnswer(Exception):
    """A short-lived tool (an X client) did not answer in time; it was stopped."""


def log(message):
    print(message, file=sys.stderr, flush=True)


# -- what runs ------------------------------------------------------------------------
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


def alive(pid):
    """Whether a process of this id runs (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def _read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read().replace("\0", " ").strip()
    except OSError as error:
        return f"({error.strerror})"


def save_state(path, what, pgid=None, prefix=None, gdb_timeout=60):
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
        # gdb_timeout 0: no stacks from gdb, which would only be started to be stopped.
        if gdb_timeout and shutil.which("gdb"):
            with Owned(grace=2, gdb_timeout=0) as owned, contextlib.suppress(OSError, NoAnswer):
                _, traced = owned.capture(
                    ["gdb", "-batch", "-nx", "-p", str(pid), "-ex", "thread apply all bt 30"],
                    None, gdb_timeout, stderr=subprocess.STDOUT)
                lines += [f"    {line}" for line in traced.splitlines()
                          if line.startswith(("Thread ", "#"))]
    with open(path, "a") as f:
        f.write("\n".join(lines) + "\n")
    return path


# -- ending ---------------------------------------------------------------------------
def _start_time(pid):
    """The kernel's start time of a process: with the pid, it names one process for good."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[19]
    except (OSError, IndexError):
        return None


class _Recorded:
    """A process a killed run of ours left behind, named by its pid and start time; it
    is no child of ours, so its end is seen in /proc."""

    def __init__(self, pid, started):
        self.pid = pid
        self.started = started

    def poll(self):
        return None if _start_time(self.pid) == self.started else 0

    def wait(self, timeout=None):
        if not waits.poll(lambda: self.poll() is not None, timeout or 0, every=0.05):
            raise subprocess.TimeoutExpired(str(self.pid), timeout)
        return 0


def _signal_group(pgid, sig):
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(pgid, sig)


def end_groups(procs, grace):
    """Ends the process groups of procs, each started in a session of its own: SIGTERM, and
    SIGKILL once grace seconds have gone by (at once when grace is 0); the rest of a group
    goes even when its leader has ended. Returns how many of the leaders were running."""
    procs = list(procs)
    running = [p for p in procs if p.poll() is None]
    if grace and running:
        for proc in running:
            _signal_group(proc.pid, signal.SIGTERM)
        deadline = time.monotonic() + grace
        for proc in running:
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(timeout=max(0, deadline - time.monotonic()))
    for proc in procs:
        if isinstance(proc, _Recorded) and proc.poll() is not None:
            continue  # its pid may be someone else's by now
        _signal_group(proc.pid, signal.SIGKILL)
    for proc in procs:
        with contextlib.suppress(subprocess.TimeoutExpired):
            proc.wait(timeout=10)
    return len(running)


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


# -- starting -------------------------------------------------------------------------
def _popen(argv, kwargs):
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.Popen(argv, start_new_session=True, **kwargs)


def start_unowned(argv, **kwargs):
    """Starts a stand-in for a program of the user's: in a group of its own, ended by
    nobody's stop but its caller's own end_groups."""
    with signals.signals_held():
        return _popen(argv, kwargs)


def signal_group(proc, sig):
    """Sends sig to proc's process group, as a terminal sends Ctrl-C to its foreground."""
    _signal_group(proc.pid, sig)


class Owned:
    """The process groups a run started, so that a stopped run ends exactly these."""

    def __init__(self, grace, gdb_timeout):
        """grace: seconds between SIGTERM and SIGKILL; gdb_timeout: gdb's time per stuck
        process when a stop saves their state."""
        self.procs = []
        self.ended_last = []  # servers the others need while they run: an X server
        self.grace = grace
        self.gdb_timeout = gdb_timeout
        self.last_state = None

    @classmethod
    def of(cls, waits):
        return cls(waits.grace, waits.gdb)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.end_all()

    def popen(self, argv, ended_last=False, **kwargs):
        """Starts a process of this run in a group of its own (stdin: /dev/null unless
        given). A signal or the deadline that arrives while Popen waits for the exec would
        otherwise lose the new process. ended_last: a server the run's other processes need
        (an X server), which end_all ends once they have ended."""
        with signals.signals_held():
            proc = _popen(argv, kwargs)
            self.procs.append(proc)
            if ended_last:
                self.ended_last.append(proc)
        return proc

    def wait(self, proc, timeout):
        """proc's exit code, or None when it still runs after timeout seconds (None: no
        limit); it is not stopped."""
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def signal(self, proc, sig):
        signal_group(proc, sig)

    def stop(self, proc, what, state_path=None, grace=None):
        """Ends one group of ours that ran past its time, its state saved first (to
        state_path, returned; None when there is none)."""
        self.last_state = (save_state(state_path, what, pgid=proc.pid,
                                      gdb_timeout=self.gdb_timeout) if state_path else None)
        end_groups([proc], self.grace if grace is None else grace)
        self.forget(proc)
        return self.last_state

    def forget(self, proc):
        if proc in self.procs and proc.poll() is not None:
            self.procs.remove(proc)
            if proc in self.ended_last:
                self.ended_last.remove(proc)

    def run(self, argv, timeout, what, state_path=None, **kwargs):
        """Runs a command to its end; its exit code, or None when it was stopped at the
        time-out (its state saved to state_path first, named in last_state)."""
        self.last_state = None
        proc = self.popen(argv, **kwargs)
        try:
            rc = self.wait(proc, timeout)
            if rc is None:
                self.stop(proc, what, state_path)
            return rc
        finally:
            self.forget(proc)

    def run_to_files(self, argv, env, out_path, timeout, cwd=None):
        """Runs a command with stdout and stderr in a file; its exit code, None on time-out
        (the stuck processes' state then goes to OUT_PATH.stuck, named in last_state)."""
        with open(out_path, "ab") as out:
            return self.run(argv, timeout, " ".join(argv),
                            None if out_path == os.devnull else out_path + ".stuck",
                            env=env, stdout=out, stderr=out, cwd=cwd)

    def step(self, argv, env, out_path, timeout, what, cwd=None):
        """Runs a command that must succeed; WineError names it and how it failed."""
        rc = self.run_to_files(argv, env, out_path, timeout, cwd)
        if rc != 0:
            raise WineError(how_it_ended(what, rc, timeout, out_path, self.last_state))

    def capture(self, argv, env, timeout, stderr=subprocess.DEVNULL):
        """Runs a short-lived tool and returns (exit code, its output as text). One that
        does not answer in time is stopped, with no state saved (gdb alone can take a
        minute), and NoAnswer says so."""
        with tempfile.TemporaryFile() as out:
            rc = self.run(argv, timeout, argv[0], env=env, stdout=out, stderr=stderr)
            if rc is None:
                raise NoAnswer(f"{argv[0]} did not answer within {timeout} s and was stopped "
                               f"({' '.join(argv)})")
            out.seek(0)
            return rc, out.read().decode(errors="replace")

    def end_all(self, grace=None):
        """Ends every group still running, a server only once the others have ended: a
        program cut off from its X server dies of that, not of the stop. Returns how many
        groups there were."""
        grace = self.grace if grace is None else grace
        ended = end_groups([p for p in self.procs if p not in self.ended_last], grace)
        ended += end_groups(self.ended_last, grace)
        self.procs = []
        self.ended_last = []
        return ended
