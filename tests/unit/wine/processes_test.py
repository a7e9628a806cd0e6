#!/usr/bin/env python3
"""How wine/ starts, times out and ends its processes, holds the stop signals and the
deadline around a start, notes its phases' times and ends a Wine session, with real
processes (sh and sleep) and a stand-in wineserver: no Wine, no X server."""

import contextlib
import os
import shutil
import signal
import tempfile
import threading
import time
import unittest

from wine import phases, processes, signals, wineserver
from wine import waits as waiting
from wine.processes import WineError


def alive(pid):
    """Whether a process of this id runs: a zombie has ended."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def gone(pid):
    """Whether the process has ended within 5 s: a process signalled dies as soon as it
    next runs, not at once."""
    deadline = time.monotonic() + 5
    while alive(pid):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def wait_for_line(path, what):
    """The first line of a file a process writes once it runs, within 10 s."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with contextlib.suppress(FileNotFoundError), open(path) as f:
            text = f.read()
            if text.endswith("\n"):
                return text.strip()
        time.sleep(0.02)
    raise AssertionError(f"{what} never wrote {path}")


class Folder(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wine-processes-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def owned(self):
        """Short stops: TERM, then KILL after 1 s; gdb stopped at once."""
        owned = processes.Owned(grace=1, gdb_timeout=0)
        self.addCleanup(owned.end_all, 0)
        return owned

    def end_later(self, pid):
        """A process a failing case leaves behind goes with the test."""
        def end():
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        self.addCleanup(end)


class Groups(Folder):
    # A leader with a child: ending the leader alone would leave the child running.
    FAMILY = 'sleep 60 & echo $! > "$0"; wait'

    def test_every_way_of_ending_a_process_ends_its_whole_group(self):
        cases = [
            ("end_groups, TERM first", lambda owned, proc: processes.end_groups([proc], 1)),
            ("end_groups, KILL at once", lambda owned, proc: processes.end_groups([proc], 0)),
            ("a stop", lambda owned, proc: owned.stop(proc, "a family", self.path("stop.stuck"))),
            ("the end of all", lambda owned, proc: owned.end_all()),
        ]
        for what, end in cases:
            with self.subTest(what):
                child_file = self.path(what.replace(" ", "-") + ".child")
                owned = self.owned()
                proc = owned.popen(["sh", "-c", self.FAMILY, child_file])
                child = int(wait_for_line(child_file, "the leader"))
                self.end_later(child)
                end(owned, proc)
                self.assertIsNotNone(proc.poll(), "the leader still runs")
                self.assertTrue(gone(child), "the leader's child still runs")

    def test_the_end_of_all_ends_a_server_once_the_programs_that_need_it_have_ended(self):
        # Each notes that it was sent SIGTERM; the program takes its time to go, as a Wine
        # program that still talks to its X server does.
        terms = self.path("terms")
        owned = self.owned()
        noted = []
        for name, pause, last in (("server", 0, True), ("program", 0.3, False)):
            script = (f'trap "sleep {pause}; echo {name} >> {terms}; exit 143" TERM; '
                      f'echo $$ > "$0"; sleep 60 & wait')
            pid_file = self.path(name + ".pid")
            owned.popen(["sh", "-c", script, pid_file], ended_last=last)
            noted.append(int(wait_for_line(pid_file, name)))
        self.assertEqual(owned.end_all(), 2)
        with open(terms) as f:
            self.assertEqual(f.read().splitlines(), ["program", "server"])
        self.assertEqual([pid for pid in noted if alive(pid)], [])

    def test_a_command_past_its_time_out_is_stopped_with_its_group(self):
        child_file = self.path("child")
        owned = self.owned()
        rc = owned.run_to_files(["sh", "-c", self.FAMILY, child_file], None, self.path("out"),
                                timeout=0.3)
        child = int(wait_for_line(child_file, "the leader"))
        self.end_later(child)
        self.assertIsNone(rc)
        self.assertTrue(gone(child), "the leader's child still runs")
        self.assertEqual(owned.procs, [])


class StartedDuringAStop(Folder):
    def test_a_process_started_while_a_stop_is_cleaned_up_still_ends_on_the_stop_signals(self):
        # After the first stop signal the run takes no other while it cleans up. Were they
        # ignored, exec would keep them ignored, and a wineserver -w started by the clean-up
        # would sit out every SIGTERM.
        before = {sig: signal.getsignal(sig) for sig in signals.STOP_SIGNALS}
        self.addCleanup(lambda: [signal.signal(s, h) for s, h in before.items()])
        signals.stop_on_signals()
        with self.assertRaises(signals.Interrupted):
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(5)
        for sig in signals.STOP_SIGNALS:
            with self.subTest(signal=sig.name):
                proc = self.owned().popen(["sleep", "60"])
                self.end_later(proc.pid)
                processes.signal_group(proc, sig)
                self.assertTrue(gone(proc.pid) or proc.poll() is not None,
                                f"{sig.name} did not end a process started during the clean-up")


class Steps(Folder):
    def test_a_step_succeeds_only_when_its_command_exits_with_0(self):
        out = self.path("step.log")
        cases = [
            ("exits with 0", ["true"], None),
            ("exits with 3", ["sh", "-c", "exit 3"], f"the step failed (3); see {out}"),
            ("stopped at its time-out", ["sleep", "60"],
             f"the step did not end within 0.3 s and was stopped (the state of its stuck "
             f"processes: {out}.stuck); see {out}"),
        ]
        for what, argv, failure in cases:
            with self.subTest(what):
                try:
                    self.owned().step(argv, None, out, 0.3, "the step")
                    raised = None
                except WineError as error:
                    raised = str(error)
                self.assertEqual(raised, failure)

    def test_a_stop_saves_the_state_of_the_group_before_ending_it(self):
        owned = self.owned()
        proc = owned.popen(["sleep", "60"])
        stuck = self.path("sleep.stuck")
        self.assertEqual(owned.stop(proc, "a sleeper", stuck), stuck)
        self.assertIsNotNone(proc.poll())
        with open(stuck) as f:
            lines = f.read().splitlines()
        self.assertRegex(lines[0], rf"^a sleeper: stuck at \d\d:\d\d:\d\d; the processes of "
                                   rf"group {proc.pid}$")
        self.assertIn(f"process {proc.pid}: sleep 60", lines)


class Recorded(Folder):
    """The processes a killed run left behind, ended by the next run from the pids noted."""

    def test_a_noted_process_is_ended_only_while_it_is_the_same_process(self):
        cases = [
            # (case, the start time noted: None for the process's own, the process ends)
            ("the process noted", None, True),
            ("another process now on the noted pid", "1", False),
        ]
        for what, started, ends in cases:
            with self.subTest(what):
                pid_file = self.path("run.pids")
                proc = processes.start_unowned(["sleep", "60"])
                self.addCleanup(proc.wait)
                self.addCleanup(processes.end_groups, [proc], 0)
                # Reaped as soon as it ends, as the init of a killed run's leftovers does.
                threading.Thread(target=proc.wait, daemon=True).start()
                if started is None:
                    processes.record_process(pid_file, proc)
                else:
                    with open(pid_file, "w") as f:
                        f.write(f"{proc.pid} {started}\n")
                processes.end_recorded_processes(pid_file)
                if ends:
                    self.assertTrue(gone(proc.pid), "the process noted still runs")
                else:
                    self.assertTrue(alive(proc.pid), "another process was ended")
                self.assertFalse(os.path.exists(pid_file))


class SignalsHeld(unittest.TestCase):
    def setUp(self):
        for sig in (*signals.STOP_SIGNALS, signal.SIGALRM):
            self.addCleanup(signal.signal, sig, signal.getsignal(sig))
        self.addCleanup(signal.alarm, 0)
        signals.deadline_names_phases_of(None)

    def test_a_signal_inside_is_raised_at_the_end_of_the_block(self):
        cases = [
            ("a stop", [signal.SIGTERM], signals.Interrupted, "15"),
            ("the deadline", [signal.SIGALRM], signals.DeadlineExceeded,
             "the run went past its deadline"),
            # A stop asked for keeps its exit status, whatever came before it.
            ("the deadline, then a stop", [signal.SIGALRM, signal.SIGINT], signals.Interrupted,
             "2"),
        ]
        for what, sent, raised, message in cases:
            with self.subTest(what):
                signals.stop_on_signals()
                signals.set_deadline(60)
                done = []
                with self.assertRaises(raised) as caught:
                    with signals.signals_held():
                        for sig in sent:
                            # os.kill runs the handler of a signal to itself before it returns.
                            os.kill(os.getpid(), sig)
                        done.append("the rest of the block")
                self.assertEqual(done, ["the rest of the block"])
                self.assertEqual(str(caught.exception), message)


class PhaseTimes(Folder):
    def test_every_phase_gets_its_row_however_it_ends(self):
        path = self.path("phases.tsv")
        timed = phases.Phases(path)
        cases = [("ends", None), ("fails", ValueError("a failure")),
                 ("is stopped", signals.Interrupted(signal.SIGINT))]
        for name, error in cases:
            with contextlib.suppress(ValueError, signals.Interrupted), timed(name):
                if error:
                    raise error
        with open(path) as f:
            rows = [line.rstrip("\n").split("\t") for line in f]
        self.assertEqual([row[0] for row in rows], ["ends", "fails", "is stopped"])
        for row in rows:
            self.assertEqual(len(row), 3, row)
            self.assertGreaterEqual(min(float(row[1]), float(row[2])), 0, row)


# Notes each call; -w hangs once when the test leaves a "hang" file (it takes it away).
WINESERVER = ('#!/bin/sh\necho "$*" >> "$FAKE_DIR/calls"\n'
              'if [ "$1" = -w ] && [ -e "$FAKE_DIR/hang" ]; then\n'
              '  rm "$FAKE_DIR/hang"; exec sleep 60\nfi\nexit 0\n')


class SessionEnd(Folder):
    def test_the_session_is_killed_first_when_asked_and_a_wait_run_out_is_told(self):
        bin_dir = self.path("bin")
        os.makedirs(bin_dir)
        with open(os.path.join(bin_dir, "wineserver"), "w") as f:
            f.write(WINESERVER)
        os.chmod(os.path.join(bin_dir, "wineserver"), 0o755)
        prefix = self.path("prefix")
        os.makedirs(prefix)
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"],
                   WINEPREFIX=prefix, FAKE_DIR=self.dir)
        waits = waiting.Waits(session_end=0.3, session_kill=5, grace=1, gdb=0)
        cases = [
            # (case, kill, its first wait runs out, ended in time, wineserver's calls)
            ("waited for", False, False, True, ["-w", "-w"]),
            ("killed", True, False, True, ["-k", "-w", "-w"]),
            # Ended all the same, by a second kill: a step that met its time-out, which the
            # caller must hear of.
            ("killed, its wait run out", True, True, False, ["-k", "-w", "-k", "-w"]),
        ]
        for what, kill, hangs, ended, calls in cases:
            with self.subTest(what):
                for name in ("calls", "wineserver.log.stuck"):
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(self.path(name))
                if hangs:
                    open(self.path("hang"), "w").close()
                self.assertEqual(wineserver.end_session(prefix, env, self.path("wineserver.log"),
                                                        self.owned(), waits, kill=kill), ended)
                with open(self.path("calls")) as f:
                    self.assertEqual(f.read().splitlines(), calls)
                self.assertEqual(os.path.exists(self.path("wineserver.log.stuck")), hangs)


if __name__ == "__main__":
    unittest.main()
