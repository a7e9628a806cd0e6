#!/usr/bin/env python3
"""scripts/wine-install stopped by a signal, failing, with an installer that does not end, and
refused before it starts, against stand-ins of wine, wineboot, wineserver, Xvfb and xdotool
that only note their calls and wait: what it ends, what it leaves, what it says and its exit
status."""

import contextlib
import fcntl
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import wine
from wine.install import OWN_MARKER

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(wine.__file__)))
# The stand-ins note their process id and wait, as a Wine program that takes its time;
# wineserver -w returns at once, as it does when the session has ended, unless the test
# holds the session open (hold-session), as Wine programs it did not start would.
STAND_INS = {
    "wine": '#!/bin/sh\n[ "$1" = --version ] && { echo wine-8.0; exit 0; }\n'
            'printf "%s\\n" "wine $*" >> "$FAKE_DIR/calls"\n'
            '[ -n "$FAKE_WINE_FAILS" ] && exit 1\n'
            # FAKE_WINE_IMPORTS: regedit ends at once, so that the run reaches the installer,
            # which notes its own pid, and in "terms" that it was sent SIGTERM.
            'if [ -n "$FAKE_WINE_IMPORTS" ]; then\n'
            '  case "$*" in *regedit*) exit 0;; *gyrsetup*)\n'
            '    trap \'echo gyrsetup >> "$FAKE_DIR/terms"; exit 143\' TERM\n'
            '    echo $$ > "$FAKE_DIR/gyrsetup.pid"; sleep 60 & wait; exit;; esac\n'
            'fi\n'
            'echo $$ > "$FAKE_DIR/running.pid"\n'
            "exec sleep 60\n",
    # Wine writes the prefix's .update-timestamp before it has made the prefix, and takes
    # a prefix with one as made. FAKE_WINEBOOT_ENDS: it makes the prefix's system.reg and
    # ends, as Wine does, so that the run goes on to import its keys.
    "wineboot": '#!/bin/sh\necho "wineboot $*" >> "$FAKE_DIR/calls"\n'
                '[ -e "$WINEPREFIX/.update-timestamp" ] && echo "wineboot: a made prefix" '
                '>> "$FAKE_DIR/calls"\n'
                'mkdir -p "$WINEPREFIX/drive_c/windows"\n'
                'echo 1676758571 > "$WINEPREFIX/.update-timestamp"\n'
                '[ -n "$FAKE_WINEBOOT_ENDS" ] && { printf "WINE REGISTRY Version 2\\n'
                '#arch=win32\\n" > "$WINEPREFIX/system.reg"; exit 0; }\n'
                'echo $$ > "$FAKE_DIR/running.pid"\nexec sleep 60\n',
    "wineserver": '#!/bin/sh\necho "wineserver $*" >> "$FAKE_DIR/calls"\n'
                  'if [ "$1" = -w ] && [ -e "$FAKE_DIR/hold-session" ]; then\n'
                  '  echo $$ >> "$FAKE_DIR/held.pids"; echo $$ > "$FAKE_DIR/session-held"\n'
                  '  while [ -e "$FAKE_DIR/hold-session" ]; do sleep 0.05; done\nfi\nexit 0\n',
    # An X server that tells its display at once, and notes in "terms" that it was sent
    # SIGTERM; an xdotool that never answers, as when the X server stops answering, or
    # with FAKE_NO_WINDOW finds no window. Each notes its pid, for the test to see it ended.
    "Xvfb": '#!/bin/sh\ntrap \'echo Xvfb >> "$FAKE_DIR/terms"; exit 143\' TERM\n'
            'echo $$ >> "$FAKE_DIR/xvfb.pids"\neval "echo 99 >&$2"\nsleep 60 & wait\n',
    "xdotool": '#!/bin/sh\necho $$ >> "$FAKE_DIR/xdotool.pids"\n'
               '[ -n "$FAKE_NO_WINDOW" ] && exit 1\nexec sleep 60\n',
}
# The files in which stand-ins note their process ids.
NOTED = ("gyrsetup.pid", "xvfb.pids", "xdotool.pids", "held.pids")
REGISTRY = {"system.reg": b"WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n"
                          b"#arch=win32\n",
            "user.reg": b"WINE REGISTRY Version 2\n", "userdef.reg": b"WINE REGISTRY Version 2\n"}


class StandInRun(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wine-install-stop-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.bin = os.path.join(self.dir, "bin")
        os.makedirs(self.bin)
        for name, text in STAND_INS.items():
            path = os.path.join(self.bin, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        self.exe = os.path.join(self.dir, "gyrsetup.exe")
        with open(self.exe, "wb") as f:
            f.write(b"MZ")
        self.controller, self.line = pty.openpty()
        self.addCleanup(os.close, self.controller)
        self.addCleanup(os.close, self.line)
        self.device = os.ttyname(self.line)
        self.prefix = os.path.join(self.dir, "prefix")
        self.addCleanup(self.end_leftovers)

    def clear(self):
        """Back to no prefix and no stand-in called, for the next case of a table."""
        self.end_leftovers()
        shutil.rmtree(self.prefix, ignore_errors=True)
        for name in ("calls", "running.pid", "session-held", *NOTED, "terms"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(os.path.join(self.dir, name))

    def end_leftovers(self):
        """Ends the stand-ins a failing case left running, so that they outlive no test."""
        for pid in sum(self.noted_pids(*NOTED).values(), []):
            if alive(pid):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)

    def user_prefix(self):
        os.makedirs(self.prefix)
        for name, data in REGISTRY.items():
            with open(os.path.join(self.prefix, name), "wb") as f:
                f.write(data)

    def start(self, prefix=None, stdout=subprocess.PIPE, new_session=False, options=(),
              program=("-m", "wine.install"), **extra):
        """options: more of the command's options; program: what Python runs in place of
        the command's module; extra: the environment's additions (DISPLAY among them)."""
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        env.update(PATH=self.bin + os.pathsep + env["PATH"], PYTHONPATH=ROOT,
                   WINEPREFIX=prefix or self.prefix, FAKE_DIR=self.dir, **extra)
        return subprocess.Popen([sys.executable, "-P", *program, *options, "--exe", self.exe,
                                 self.device], env=env, stdin=subprocess.DEVNULL,
                                stdout=stdout, stderr=subprocess.PIPE, text=True,
                                cwd=self.dir, start_new_session=new_session)

    def wait_for(self, run, name):
        """The process id a stand-in notes in the file of this name once it runs."""
        path = os.path.join(self.dir, name)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and run.poll() is None:
            with contextlib.suppress(FileNotFoundError), open(path) as f:
                text = f.read()
                if text.endswith("\n"):
                    return int(text)
            time.sleep(0.02)
        if run.poll() is None:
            # Still running with no stand-in noted: stopped (it ends what it started), so
            # that its output can be shown without waiting for it.
            run.terminate()
        self.fail(f"no stand-in noted {name}: {run.communicate(timeout=30)}")

    def stop(self, run, sig, again=None):
        """Sends sig once a stand-in runs. again: a second signal, sent while the run's
        clean-up waits for the session's end, which the stand-in wineserver holds until then."""
        stand_in = self.wait_for(run, "running.pid")
        hold = os.path.join(self.dir, "hold-session")
        if again:
            open(hold, "w").close()
        try:
            run.send_signal(sig)
            if again:
                self.wait_for(run, "session-held")
                run.send_signal(again)
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(hold)
        out, err = run.communicate(timeout=20)
        return stand_in, out, err

    def calls(self):
        with open(os.path.join(self.dir, "calls")) as f:
            return f.read().splitlines()

    def terms(self):
        """The stand-ins that were sent SIGTERM, in order."""
        with contextlib.suppress(FileNotFoundError), open(os.path.join(self.dir, "terms")) as f:
            return f.read().splitlines()
        return []

    def noted_pids(self, *names):
        """The pids the stand-ins noted in these files, each file one or more lines."""
        pids = {}
        for name in names:
            with contextlib.suppress(FileNotFoundError), open(os.path.join(self.dir, name)) as f:
                pids[name] = [int(line) for line in f if line.strip()]
        return pids


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    with open(f"/proc/{pid}/stat") as f:
        return f.read().split(")")[1].split()[0] != "Z"


class Stopped(StandInRun):
    def test_a_reused_prefix_stopped_while_its_registry_is_changed(self):
        cases = [(signal.SIGINT, None, 130), (signal.SIGTERM, None, 143),
                 (signal.SIGHUP, None, 129),
                 # Ctrl-C again while it cleans up: the clean-up goes on to its end.
                 (signal.SIGINT, signal.SIGINT, 130)]
        for sig, again, status in cases:
            with self.subTest(signal=sig.name, again=again and again.name):
                self.clear()
                self.user_prefix()
                bystander = subprocess.Popen(["sleep", "60"], start_new_session=True)
                self.addCleanup(bystander.wait)
                self.addCleanup(bystander.kill)
                run = self.start()
                regedit, out, err = self.stop(run, sig, again)
                self.assertEqual(run.returncode, status, out + err)
                self.assertNotIn("Traceback", err)
                self.assertFalse(alive(regedit), "the regedit this run started still runs")
                self.assertIsNone(bystander.poll(), "a process the run did not start was ended")
                self.assertIn("wineserver -w", self.calls())
                copies = sorted(n for n in os.listdir(self.prefix) if ".before-wine-install-" in n)
                self.assertEqual([c.split(".before")[0] for c in copies],
                                 ["system.reg", "user.reg", "userdef.reg"])
                lines = out.splitlines()
                self.assertIn(f"wine-install: stopped by {sig.name}; ended what this run had "
                              "started and was still running (1 process group(s))", lines)
                self.assertIn(f"wine-install: {self.prefix} may hold part of this run's "
                              "changes; its registry as it was before is in:", lines)
                for copy in copies:
                    self.assertIn(f"wine-install:   {os.path.join(self.prefix, copy)}", lines)
                restore = [line for line in lines if line.startswith("wine-install:   cp -p ")]
                self.assertEqual(len(restore), 1, out)
                for copy in copies:
                    original = os.path.join(self.prefix, copy.split(".before")[0])
                    self.assertIn(f"cp -p {os.path.join(self.prefix, copy)} {original}",
                                  restore[0])

    def test_a_prefix_stopped_while_being_made_stays_this_commands_own(self):
        cases = [
            # Stopped in wineboot: no system.reg yet.
            ("while Wine makes it", {}, False, ["wineboot -i", "wineserver -w"]),
            # Stopped in regedit: Wine has written system.reg, as in any prefix of the user's.
            ("while its keys are imported", {"FAKE_WINEBOOT_ENDS": "1"}, True,
             ["wineboot -i", "wine regedit /S machine.reg", "wineserver -w"]),
        ]
        for when, extra, registry_made, calls in cases:
            with self.subTest(when):
                self.clear()
                run = self.start(**extra)
                stand_in, out, err = self.stop(run, signal.SIGINT)
                self.assertEqual(run.returncode, 130, out + err)
                self.assertNotIn("Traceback", err)
                self.assertFalse(alive(stand_in))
                self.assertEqual(out.splitlines()[-1],
                                 f"wine-install: {self.prefix} was being made by this run and is "
                                 "not finished: run wine-install again to finish it, or remove "
                                 f"it: rm -rf {self.prefix}")
                self.assertEqual(os.path.exists(os.path.join(self.prefix, "system.reg")),
                                 registry_made)
                self.assertTrue(os.path.exists(os.path.join(self.prefix, OWN_MARKER)))
                # The next run finishes it: Wine makes the prefix again, and nothing is copied.
                os.unlink(os.path.join(self.dir, "running.pid"))
                again = self.start(**extra)
                _, out, err = self.stop(again, signal.SIGINT)
                self.assertIn(f"wine-install: making a 32-bit Wine prefix in {self.prefix} (a "
                              "minute or two)", out.splitlines())
                self.assertNotIn("copied", out)
                self.assertEqual([n for n in os.listdir(self.prefix)
                                  if ".before-wine-install-" in n], [])
                self.assertEqual([re.sub(r"Z:\\\S*\\(machine\.reg)$", r"\1", call)
                                  for call in self.calls()], calls + calls)


    def test_a_ctrl_c_while_the_installer_runs_ends_it_before_its_x_server(self):
        cases = [
            # (the run's environment, the stand-ins sent SIGTERM, in order)
            ({}, ["gyrsetup", "Xvfb"]),
            # The user's own X server is no run's to end: the installer must be ended by
            # the run itself.
            ({"DISPLAY": ":99"}, ["gyrsetup"]),
        ]
        for display, terms in cases:
            with self.subTest(display=display.get("DISPLAY")):
                self.clear()
                self.user_prefix()
                run = self.start(FAKE_WINE_IMPORTS="1", **display)
                installer = self.wait_for(run, "gyrsetup.pid")
                run.send_signal(signal.SIGINT)
                out, err = run.communicate(timeout=20)
                self.assertEqual(run.returncode, 130, out + err)
                self.assertNotIn("Traceback", err)
                self.assertFalse(alive(installer), "the installer still runs")
                self.assertEqual(self.terms(), terms)
                pids = self.noted_pids("xvfb.pids", "xdotool.pids")
                self.assertEqual({name: [pid for pid in noted if alive(pid)]
                                  for name, noted in pids.items()},
                                 {name: [] for name in pids}, "processes left running")

    def test_a_ctrl_c_while_the_run_waits_for_the_session_ends_its_wait(self):
        # Wine programs the run did not start hold the session, through the clean-up's own
        # wait too, which is stopped at its time-out.
        self.user_prefix()
        hold = os.path.join(self.dir, "hold-session")
        open(hold, "w").close()
        self.addCleanup(os.unlink, hold)
        run = self.start(options=("--waits", "stop_session=0.5,gdb=0"), FAKE_WINE_IMPORTS="1")
        self.wait_for(run, "session-held")
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=20)
        self.assertEqual(run.returncode, 130, out + err)
        self.assertIn(f"wine-install: Wine programs this run did not start still run in "
                      f"{self.prefix}; its registry files are written once they end",
                      out.splitlines())
        held = self.noted_pids("held.pids")["held.pids"]
        self.assertEqual(len(held), 2, "the preparation's wait and the clean-up's")
        self.assertEqual([pid for pid in held if alive(pid)], [],
                         "a wineserver -w the run started still runs")


class TimedOut(StandInRun):
    def test_an_installer_that_does_not_end_is_stopped_at_its_time_out(self):
        for display in ({}, {"DISPLAY": ":99"}):
            with self.subTest(display=display.get("DISPLAY")):
                self.clear()
                self.user_prefix()
                run = self.start(options=("--waits", "first_window=0.5,program=0.5,gdb=0"),
                                 FAKE_WINE_IMPORTS="1", FAKE_NO_WINDOW="1", **display)
                out, err = run.communicate(timeout=45)
                lines = out.splitlines()
                logs_root = os.path.join(self.prefix, "gyrsetup-logs")
                logs = os.path.join(logs_root, os.listdir(logs_root)[0])
                self.assertEqual(run.returncode, 5, out + err)
                self.assertNotIn("Traceback", err)
                self.assertIn("wine-install: problem: the installer did not exit; killed after "
                              f"0.5 s (the state of its processes: {logs}/gyrsetup.stuck)", lines)
                self.assertRegex(lines[-1], r"^wine-install: the installer did not end by itself "
                                            r"and was stopped \(exit status 5, \d+ s\)$")
                installer = self.noted_pids("gyrsetup.pid")["gyrsetup.pid"][0]
                self.assertFalse(alive(installer), "the installer still runs")


class Failed(StandInRun):
    def test_wine_failing_midway_names_the_copies_and_ends_with_status_5(self):
        self.user_prefix()
        run = self.start(FAKE_WINE_FAILS="1")
        out, err = run.communicate(timeout=20)
        self.assertEqual(run.returncode, 5, out + err)
        lines = out.splitlines()
        logs = os.path.join(self.prefix, "gyrsetup-logs")
        prepare_log = os.path.join(logs, os.listdir(logs)[0], "prepare.log")
        self.assertEqual(lines[-1], f"wine-install: Wine failed: regedit of "
                                    f"{os.path.dirname(prepare_log)}/machine.reg failed (1); see "
                                    f"{prepare_log} (exit status 5)")
        self.assertIn(f"wine-install: {self.prefix} may hold part of this run's changes; its "
                      "registry as it was before is in:", lines)
        self.assertEqual(len([line for line in lines if line.startswith("wine-install:   cp -p ")]),
                         1, out)


# A failure inside the run that nothing names: the user's search for a window fails, once
# the installer's stand-in has noted its pid.
INJECTED_FAULT = ("import os, sys, time, wine.user, wine.install\n"
                  "def fault(self, title):\n"
                  "    while not os.path.exists(os.environ['FAKE_DIR'] + '/gyrsetup.pid'):\n"
                  "        time.sleep(0.05)\n"
                  "    raise RuntimeError('an injected fault')\n"
                  "wine.user.User.find = fault\n"
                  "sys.exit(wine.install.main(sys.argv[1:]))\n")


class Hung(StandInRun):
    """A run in a reused prefix whose installer is up when the user side fails: an X tool
    that never answers, or a fault of the run's own. It ends by itself, with status 5, says
    how the prefix stands and how to restore it, and leaves none of its processes."""

    def test_a_failure_while_the_installer_runs_ends_the_run_in_its_own_words(self):
        hung_xdotool = ("xdotool did not answer within 1 s and was stopped (xdotool search "
                        "--onlyvisible --name ^Gyrelle\\ Detection$)")
        cases = [
            # (case, the run's environment, Python's program, what the last line says)
            ("a hung xdotool, no DISPLAY", {}, ("-m", "wine.install"), hung_xdotool),
            ("a hung xdotool on the user's display", {"DISPLAY": ":99"},
             ("-m", "wine.install"), hung_xdotool),
            ("a fault of the run's own", {}, ("-c", INJECTED_FAULT),
             "failed unexpectedly: RuntimeError: an injected fault; the traceback is in "
             "{logs}/traceback.txt"),
        ]
        for case, display, program, last in cases:
            with self.subTest(case):
                self.clear()
                self.user_prefix()
                run = self.start(options=("--waits", "x_tool=1"), program=program,
                                 FAKE_WINE_IMPORTS="1", **display)
                try:
                    out, err = run.communicate(timeout=45)
                except subprocess.TimeoutExpired:
                    run.kill()
                    self.fail(f"the run did not end by itself: {run.communicate()}")
                lines = out.splitlines()
                logs_root = os.path.join(self.prefix, "gyrsetup-logs")
                logs = os.path.join(logs_root, os.listdir(logs_root)[0])
                self.assertEqual(run.returncode, 5, out + err)
                self.assertNotIn("Traceback", out + err)
                self.assertEqual(lines[-1], f"wine-install: {last.format(logs=logs)} (exit "
                                            "status 5)")
                self.assertIn(f"wine-install: {self.prefix} may hold part of this run's "
                              "changes; its registry as it was before is in:", lines)
                self.assertEqual(len([line for line in lines
                                      if line.startswith("wine-install:   cp -p ")]), 1, out)
                pids = self.noted_pids("xvfb.pids", "xdotool.pids", "gyrsetup.pid")
                self.assertIn("gyrsetup.pid", pids, out)
                self.assertEqual("xvfb.pids" in pids, not display, pids)
                left = {name: [pid for pid in noted if alive(pid)]
                        for name, noted in pids.items()}
                self.assertEqual(left, {name: [] for name in pids}, "processes left running")
                if "fault" in case:
                    with open(os.path.join(logs, "traceback.txt")) as f:
                        self.assertIn("RuntimeError: an injected fault", f.read())


class Refused(StandInRun):
    def test_a_second_run_on_a_prefix_in_use_changes_nothing(self):
        self.user_prefix()
        before = sorted(os.listdir(self.prefix))
        fd = os.open(self.prefix, os.O_RDONLY | os.O_DIRECTORY)
        self.addCleanup(os.close, fd)
        fcntl.flock(fd, fcntl.LOCK_EX)
        run = self.start()
        out, err = run.communicate(timeout=20)
        self.assertEqual((run.returncode, out, err), (
            1, f"wine-install: another wine-install is using {self.prefix}: wait for it to "
               "end, then run wine-install again\n", ""))
        self.assertEqual(sorted(os.listdir(self.prefix)), before)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "calls")))

    def test_a_device_the_command_writes_its_output_to_is_refused(self):
        # With no controlling terminal (a new session, as from a service or setsid), the
        # command's own terminal shows only as the device its output goes to.
        run = self.start(stdout=self.line, new_session=True)
        self.addCleanup(self.end, run)
        try:
            run.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.fail(f"DEVICE was taken and the run went on: {self.terminal_output()!r}")
        self.assertEqual((run.returncode, self.terminal_output(), run.stderr.read()), (
            2, f"wine-install: {self.device} is the terminal this command runs in, not the "
               "controller's line: name the controller's serial device, e.g. /dev/ttyUSB0\n",
            ""))
        self.assertFalse(os.path.exists(self.prefix))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "calls")))

    def terminal_output(self):
        """What was written to the pseudo-terminal so far: a mark written after it comes
        out behind it."""
        os.write(self.line, b"END\n")
        data = b""
        while not data.endswith(b"END\r\n"):
            data += os.read(self.controller, 4096)
        return data[:-len(b"END\r\n")].decode().replace("\r\n", "\n")

    @staticmethod
    def end(run):
        if run.poll() is None:
            run.send_signal(signal.SIGTERM)
        run.communicate(timeout=20)

    def test_a_prefix_that_is_no_folder_gets_one_line_of_advice(self):
        with open(os.path.join(self.dir, "a-file"), "w") as f:
            f.write("x")
        for prefix, advice in (("a-file", "is not a folder"), ("a-file/below", "is a file, not a folder")):
            with self.subTest(prefix=prefix):
                run = self.start(prefix=os.path.join(self.dir, prefix))
                out, err = run.communicate(timeout=20)
                self.assertEqual((run.returncode, out, err), (
                    1, f"wine-install: {os.path.join(self.dir, 'a-file')} {advice}: set "
                       "WINEPREFIX to a folder\n", ""))

    def test_a_relative_device_and_prefix_mean_what_they_mean_from_the_callers_folder(self):
        os.symlink(self.device, os.path.join(self.dir, "gyrelle"))
        os.makedirs(os.path.join(self.dir, "home"))
        with open(os.path.join(self.dir, "home", "notes.txt"), "w") as f:
            f.write("mine")
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        env.update(PATH=self.bin + os.pathsep + env["PATH"], WINEPREFIX="home")
        run = subprocess.run([os.path.join(ROOT, "scripts", "wine-install"), "--exe", self.exe,
                              "gyrelle"], env=env, cwd=self.dir, capture_output=True, text=True,
                             timeout=20)
        self.assertEqual((run.returncode, run.stdout), (
            1, f"wine-install: {os.path.join(self.dir, 'home')} is not a Wine prefix (it holds "
               "files but no system.reg): set WINEPREFIX to an empty or new folder, or to a Wine "
               "prefix\n"))


if __name__ == "__main__":
    unittest.main()
