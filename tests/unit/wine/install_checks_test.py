#!/usr/bin/env python3
"""scripts/wine-install's own logic, without Wine: what it refuses before touching
anything, the registry text it writes and announces, its copies, the fonts it adds, its
prefix lock and log folders, the exit status of each outcome with the port chosen in the
port list, and how it finds a prefix's wineserver.

The checks that file permissions decide run as a user to whom they apply: this one, or
nobody when this is root. With --as-user only those cases run, and the file exits 77 (a
CTest skip) when no such user can be had; with --not-as-user all the others run."""

import contextlib
import datetime
import fcntl
import functools
import json
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import wine
from wine import checks, install, prefix, processes, registry, report, wineserver
from wine import waits as waiting
from wine.install import OWN_MARKER as MARKER
from wine.installer_run import Result
from wine.user import Shown


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(wine.__file__)))
# Root passes every access test, so these checks are asked as nobody.
SWITCHES_TO_NOBODY = (["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"],
                      ["runuser", "-u", "nobody", "--"])
# Run by that user: the check named, and the effective uid it ran with.
CHECK_AS_USER = """
import json, os, sys
from wine import checks
from wine.install import OWN_MARKER
what, path = sys.argv[1:]
refusal = (checks.check_device(path, terminals=set()) if what == "device"
           else checks.check_prefix(path, OWN_MARKER))
print(json.dumps([os.geteuid(), refusal]))
"""


# Run in a session of its own with no terminal, as under setsid, holding the line as the test
# says: what the checks take there for the command's own terminals, and whether checking the
# line made it the process's controlling terminal (/dev/tty opens only when there is one).
IN_A_NEW_SESSION = """
import json, os, sys, traceback
from wine import checks
line, take, check, out = sys.argv[1:]
try:
    if take == "take":
        # A session leader with no terminal takes the first one it opens as its own.
        os.close(os.open(line, os.O_RDWR))
    seen = {"refusal": checks.check_device(line, terminals=set())} if check == "check" else {}
    try:
        os.close(os.open("/dev/tty", os.O_RDWR))
        seen["/dev/tty opens"] = True
    except OSError:
        seen["/dev/tty opens"] = False
    seen["controlling terminal"] = checks.controlling_terminal()
    seen["own terminals"] = sorted(checks.own_terminals())
except BaseException:
    seen = traceback.format_exc()
with open(out, "w") as f:
    json.dump(seen, f)
"""


def as_user_command(argv):
    return [sys.executable, "-P", *argv]


@functools.cache
def ordinary_user():
    """(the words that run a command as a user to whom file permissions apply, that user's
    uid): none needed when this is no root, else nobody's through setpriv or runuser; None
    when root cannot switch (or nobody cannot run Python on this tree)."""
    if os.geteuid() != 0:
        return [], os.geteuid()
    for switch in SWITCHES_TO_NOBODY:
        if not shutil.which(switch[0]):
            continue
        try:
            probe = subprocess.run(
                switch + as_user_command(["-c", "import os, wine.checks; print(os.geteuid())"]),
                env=dict(os.environ, PYTHONPATH=ROOT), cwd="/", stdin=subprocess.DEVNULL,
                capture_output=True, text=True, timeout=60, check=False)
        except (OSError, subprocess.SubprocessError):
            continue
        if probe.returncode == 0 and probe.stdout.strip().isdigit() and int(probe.stdout):
            return switch, int(probe.stdout)
    return None


NO_ORDINARY_USER = ("this runs as root, and neither setpriv nor runuser could run "
                    f"{sys.executable} on {ROOT} as nobody")


def as_ordinary_user(test):
    """Marks a case that needs a user to whom file permissions apply; it is skipped, never
    passed, where none can be had."""
    @functools.wraps(test)
    def case(self):
        if ordinary_user() is None:
            self.skipTest(NO_ORDINARY_USER)
        test(self)
    case.as_ordinary_user = True
    return case


class Folder(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wine-install-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data=b""):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def check_as_ordinary_user(self, what, path):
        """check_device (what="device") or check_prefix ("prefix") as the ordinary user."""
        switch, _ = ordinary_user()
        done = subprocess.run(switch + as_user_command(["-c", CHECK_AS_USER, what, path]),
                              env=dict(os.environ, PYTHONPATH=ROOT), cwd="/",
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=60, check=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        euid, refusal = json.loads(done.stdout)
        self.assertNotEqual(euid, 0, "the check ran as root, whom every access test lets by")
        return refusal


class DeviceChecks(Folder):
    def test_what_is_no_serial_line_is_refused_with_its_reason(self):
        regular = self.write("not-a-device", b"text\n")
        os.makedirs(self.path("a-folder"))
        missing = self.path("missing")
        cases = [
            (regular, f"{regular} is not a serial device"),
            (self.path("a-folder"), f"{self.path('a-folder')} is not a serial device"),
            # A character device that is no terminal: opened, then refused.
            ("/dev/null", "/dev/null is not a serial device"),
            (missing, f"{missing} does not exist: name the controller's serial device, "
                      "e.g. /dev/ttyUSB0"),
            ("/dev/tty\nUSB0", "'/dev/tty\\nUSB0' holds a line break, which no device path "
                               "has and the registry cannot hold"),
            ("/dev/tty\rUSB0", "'/dev/tty\\rUSB0' holds a line break, which no device path "
                               "has and the registry cannot hold"),
        ]
        for device, reason in cases:
            with self.subTest(device=device):
                self.assertEqual(checks.check_device(device, terminals=set()), reason)

    def test_a_pseudo_terminal_is_a_serial_line_unless_it_is_the_commands_own(self):
        controller, line = pty.openpty()
        self.addCleanup(os.close, controller)
        self.addCleanup(os.close, line)
        name = os.ttyname(line)
        self.assertIsNone(checks.check_device(name, terminals=set()))
        self.assertEqual(checks.check_device(name, terminals={os.stat(name).st_rdev}),
                         f"{name} is the terminal this command runs in, not the controller's "
                         "line: name the controller's serial device, e.g. /dev/ttyUSB0")

    def test_dev_tty_is_always_the_commands_own_terminal(self):
        self.assertEqual(checks.check_device("/dev/tty", terminals=set()),
                         "/dev/tty is the terminal this command runs in, not the controller's "
                         "line: name the controller's serial device, e.g. /dev/ttyUSB0")

    @as_ordinary_user
    def test_a_line_the_user_may_not_open_is_refused(self):
        controller, line = pty.openpty()
        self.addCleanup(os.close, controller)
        self.addCleanup(os.close, line)
        name = os.ttyname(line)
        # Only its group may use it, as with dialout's lines; the user is its owner (to whom
        # 060 gives nothing) or nobody, outside its group.
        os.chmod(name, 0o060)
        self.assertEqual(self.check_as_ordinary_user("device", name),
                         f"{name} cannot be opened for reading and writing: add yourself to its "
                         "group (usually dialout) and log in again")

    def test_the_commands_own_terminals_are_seen_from_a_session_of_its_own(self):
        controller, line = pty.openpty()
        self.addCleanup(os.close, controller)
        self.addCleanup(os.close, line)
        name = os.ttyname(line)
        rdev = os.stat(name).st_rdev
        # From a session with no terminal, the line held as its controlling terminal (taken),
        # on a standard stream, or as the DEVICE checked there: what the process then sees.
        # A pseudo-terminal is no session's once its session leader has ended.
        nothing = {"/dev/tty opens": False, "controlling terminal": 0, "own terminals": []}
        on_a_stream = dict(nothing, **{"own terminals": [rdev]})
        cases = [
            ("nothing", None, False, False, nothing),
            ("as its controlling terminal", None, True, False,
             {"/dev/tty opens": True, "controlling terminal": rdev, "own terminals": [rdev]}),
            ("as its input", 0, False, False, on_a_stream),
            ("as its output", 1, False, False, on_a_stream),
            ("as its errors", 2, False, False, on_a_stream),
            # Checking the line opens it: that must not make it the session's terminal.
            ("as the DEVICE checked", None, False, True, dict(nothing, refusal=None)),
        ]
        for held, stream, take, check, seen in cases:
            with self.subTest(held=held):
                self.assertEqual(self.seen_in_a_new_session(name, line, stream, take, check),
                                 seen)

    def seen_in_a_new_session(self, name, line, stream, take, check):
        out = self.path("seen.json")
        streams = [subprocess.DEVNULL] * 3
        if stream is not None:
            streams[stream] = line
        done = subprocess.run(
            as_user_command(["-c", IN_A_NEW_SESSION, name, "take" if take else "-",
                             "check" if check else "-", out]),
            env=dict(os.environ, PYTHONPATH=ROOT), cwd="/", stdin=streams[0], stdout=streams[1],
            stderr=streams[2], start_new_session=True, timeout=60, check=False)
        self.assertEqual(done.returncode, 0)
        with open(out) as f:
            seen = json.load(f)
        os.unlink(out)
        self.assertIsInstance(seen, dict, seen)
        return seen

    def test_the_line_is_opened_without_waiting_for_its_carrier(self):
        controller, line = pty.openpty()
        self.addCleanup(os.close, controller)
        self.addCleanup(os.close, line)
        name = os.ttyname(line)
        real_open = os.open

        # A pseudo-terminal has no carrier to wait for; a serial line without DCD keeps an
        # open that may wait for it waiting for good, and the check would never end.
        def line_without_carrier(path, flags, *args, **kwargs):
            if path == name and not flags & os.O_NONBLOCK:
                raise AssertionError(f"{name} was opened without O_NONBLOCK: on a line with no "
                                     "carrier the check would wait here for good")
            return real_open(path, flags, *args, **kwargs)

        with mock.patch.object(checks.os, "open", line_without_carrier):
            self.assertIsNone(checks.check_device(name, terminals=set()))

    def test_a_link_to_a_pseudo_terminal_counts(self):
        controller, line = pty.openpty()
        self.addCleanup(os.close, controller)
        self.addCleanup(os.close, line)
        os.symlink(os.ttyname(line), self.path("gyrelle"))
        self.assertIsNone(checks.check_device(self.path("gyrelle"), terminals=set()))


class PrefixChecks(Folder):
    def test_reasons_a_prefix_is_refused(self):
        self.write("home/notes.txt", b"mine\n")
        self.write("file", b"x")
        self.write("wide/system.reg", b"WINE REGISTRY Version 2\n#arch=win64\n")
        os.makedirs(self.path("odd", "system.reg"))
        cases = [
            ("home", f"{self.path('home')} is not a Wine prefix (it holds files but no "
                     "system.reg): set WINEPREFIX to an empty or new folder, or to a Wine prefix"),
            ("file", f"{self.path('file')} is not a folder: set WINEPREFIX to a folder"),
            ("file/below", f"{self.path('file')} is a file, not a folder: set WINEPREFIX to a "
                           "folder"),
            ("wide", f"{self.path('wide')} is a 64-bit prefix; the installer's Wine side is "
                     "32-bit: set WINEPREFIX to a new folder"),
            ("odd", f"{self.path('odd')}/system.reg cannot be read (Is a directory): Wine could "
                    "not use this prefix either; set WINEPREFIX to another folder"),
        ]
        for name, reason in cases:
            with self.subTest(prefix=name):
                self.assertEqual(checks.check_prefix(self.path(name), MARKER), reason)

    def test_new_empty_made_and_half_made_prefixes_are_taken(self):
        os.makedirs(self.path("empty"))
        self.write("made/system.reg", b"WINE REGISTRY Version 2\n#arch=win32\n")
        # Stopped while Wine made it: Wine's folders, this command's mark, no system.reg yet.
        self.write(f"half/{MARKER}", b"")
        os.makedirs(self.path("half", "drive_c", "windows"))
        for name in ("new", "new/below", "empty", "made", "half"):
            with self.subTest(prefix=name):
                self.assertIsNone(checks.check_prefix(self.path(name), MARKER))

    def test_another_users_prefix_is_refused(self):
        if os.getuid() != 0:
            self.skipTest("only root can give a folder to another user")
        self.write("theirs/system.reg", b"WINE REGISTRY Version 2\n#arch=win32\n")
        os.chown(self.path("theirs"), 65534, 65534)
        reason = checks.check_prefix(self.path("theirs"), MARKER)
        self.assertRegex(reason, rf"^{re.escape(self.path('theirs'))} belongs to \S+, and Wine "
                                 "runs only in a prefix of your own: run wine-install as \\S+, "
                                 "or set WINEPREFIX to a folder of yours$")

    @as_ordinary_user
    def test_registry_files_the_user_may_only_read_are_refused(self):
        _, uid = ordinary_user()
        os.chmod(self.dir, 0o755)  # so that nobody reaches the prefixes
        cases = [
            ("a", "user.reg", f"{self.path('a')}/user.reg cannot be read and written: Wine "
                              "could not use this prefix; set WINEPREFIX to another folder"),
            ("b", "system.reg", f"{self.path('b')}/system.reg cannot be read and written: Wine "
                                "could not use this prefix; set WINEPREFIX to another folder"),
            ("d", "userdef.reg", f"{self.path('d')}/userdef.reg cannot be read and written: "
                                 "Wine could not use this prefix; set WINEPREFIX to another "
                                 "folder"),
            # The same prefix with every file writable: the refusals above are the mode's.
            ("c", None, None),
        ]
        for folder, read_only, reason in cases:
            with self.subTest(read_only=read_only):
                self.write(f"{folder}/system.reg", b"WINE REGISTRY Version 2\n#arch=win32\n")
                self.write(f"{folder}/user.reg", b"WINE REGISTRY Version 2\n")
                self.write(f"{folder}/userdef.reg", b"WINE REGISTRY Version 2\n")
                for name in ("", "system.reg", "user.reg", "userdef.reg"):
                    os.chown(self.path(folder, name), uid, -1)
                if read_only:
                    os.chmod(self.path(folder, read_only), 0o444)
                self.assertEqual(self.check_as_ordinary_user("prefix", self.path(folder)),
                                 reason)

    def test_wine_update_is_foreseen_from_the_timestamp(self):
        inf = self.write("wine.inf", b"")
        os.utime(inf, (1676758571, 1676758571))
        for held, updates in (("1676758571", False), ("1500000000", True), ("disable", False)):
            with self.subTest(held=held):
                self.write("p/.update-timestamp", held.encode() + b"\n")
                self.assertEqual(prefix.wine_will_update(self.path("p"), inf), updates)
        os.unlink(self.path("p/.update-timestamp"))
        self.assertFalse(prefix.wine_will_update(self.path("p"), inf))


class RegistryCopies(Folder):
    def test_runs_in_one_second_keep_every_copy(self):
        self.write("user.reg", b"user")
        now = datetime.datetime(2026, 12, 11, 3, 4, 5)
        # A third run in the same second: its name must not be the second's again.
        runs = [(b"system one", ""), (b"system two", "-2"), (b"system three", "-3")]
        for data, suffix in runs:
            self.write("system.reg", data)
            self.assertEqual(prefix.back_up_registry(self.dir, now), [
                (self.path("system.reg"),
                 self.path(f"system.reg.before-wine-install-2026-12-11-030405{suffix}")),
                (self.path("user.reg"),
                 self.path(f"user.reg.before-wine-install-2026-12-11-030405{suffix}"))])
        for data, suffix in runs:
            with open(self.path(f"system.reg.before-wine-install-2026-12-11-030405{suffix}"),
                      "rb") as f:
                self.assertEqual(f.read(), data, suffix)

    def test_the_restore_command_quotes_odd_names(self):
        self.assertEqual(install.restore_command([("/p q/system.reg", "/p q/system.reg.c")]),
                         "cp -p '/p q/system.reg.c' '/p q/system.reg'")


class UsersFonts(Folder):
    def test_wines_fonts_are_added_and_the_users_own_kept_whatever_the_case_of_their_names(self):
        # Wine's font files, named in lower case as Wine names them.
        for name in ("marlett.ttf", "tahoma.ttf"):
            self.write(f"wine-fonts/{name}", b"Wine's " + name.encode())
        for users in ("tahoma.ttf", "TAHOMA.TTF", "Tahoma.ttf"):
            with self.subTest(users_font=users):
                shutil.rmtree(self.path("prefix"), ignore_errors=True)
                self.write(f"prefix/drive_c/windows/Fonts/{users}", b"the user's own")
                self.assertEqual(prefix.install_wine_fonts(self.path("prefix"),
                                                           self.path("wine-fonts"),
                                                           keep_existing=True), ["marlett.ttf"])
                # Windows names files without regard to case: a second Tahoma would be the
                # user's replaced.
                fonts = self.path("prefix", "drive_c", "windows", "Fonts")
                self.assertEqual(sorted(os.listdir(fonts)), sorted([users, "marlett.ttf"]))
                with open(os.path.join(fonts, users), "rb") as f:
                    self.assertEqual(f.read(), b"the user's own")


class RunSteps(Folder):
    """The recipe's own steps in a prefix, without Wine."""

    def new_run(self, prefix):
        run = install.Run("/dev/ttyUSB0", prefix, self.path("gyrsetup.exe"), None,
                          waiting.recipe(on_users_display=False))
        self.addCleanup(self.unlock, run, prefix)
        return run

    @staticmethod
    def unlock(run, prefix):
        # A descriptor closed early may have had its number taken since: only the prefix's.
        if run.lock_fd is None:
            return
        with contextlib.suppress(OSError):
            if os.path.samestat(os.fstat(run.lock_fd), os.stat(prefix)):
                os.close(run.lock_fd)

    def test_a_prefix_locked_by_another_is_refused(self):
        def held(how):
            def hold(prefix):
                fd = os.open(prefix, os.O_RDONLY | os.O_DIRECTORY)
                self.addCleanup(os.close, fd)
                fcntl.flock(fd, how)
            return hold

        cases = [
            ("by nobody", lambda prefix: None, False),
            ("with a shared lock", held(fcntl.LOCK_SH), True),
            ("with an exclusive lock", held(fcntl.LOCK_EX), True),
            # Taken by a run that goes on: the lock lasts as long as that run.
            ("by another run", lambda prefix: self.new_run(prefix).lock(), True),
        ]
        for what, hold, refused in cases:
            with self.subTest(held=what):
                prefix = self.path(what.replace(" ", "-"))
                os.makedirs(prefix)
                hold(prefix)
                try:
                    self.new_run(prefix).lock()
                    refusal = None
                except install.PrefixBusy as busy:
                    refusal = str(busy)
                self.assertEqual(refusal, f"another wine-install is using {prefix}: wait for it "
                                          "to end, then run wine-install again" if refused else None)

    def test_a_runs_new_log_folder_leaves_the_last_five_runs(self):
        old = ["2000-01-01-120000", "2000-01-02-120000", "2000-01-03-120000",
               "2000-01-03-120000-2", "2000-01-04-090000", "2000-01-05-235959"]
        for name in old + ["notes"]:
            self.write(f"prefix/gyrsetup-logs/{name}/prepare.log", b"a run's log\n")
        run = self.new_run(self.path("prefix"))
        run.make_logs()
        new = os.path.basename(run.logs)
        self.assertRegex(new, r"^\d{4}-\d\d-\d\d-\d{6}$")
        self.assertTrue(os.path.isdir(run.logs))
        # Four runs before this one; a folder not named as a run's is no run's, and stays.
        self.assertEqual(sorted(os.listdir(self.path("prefix", "gyrsetup-logs"))),
                         ["2000-01-03-120000", "2000-01-03-120000-2", "2000-01-04-090000",
                          "2000-01-05-235959", new, "notes"])


# Wine's commands for a run that must start: wine fails at once, as a Wine that cannot run,
# and the session, never started, is found ended.
FAILING_WINE = {"wine": "#!/bin/sh\nexit 1\n", "wineserver": "#!/bin/sh\nexit 0\n"}


class RelativeDevice(Folder):
    def test_a_relative_device_reaches_the_registry_as_an_absolute_path(self):
        controller, line = pty.openpty()
        self.addCleanup(os.close, controller)
        self.addCleanup(os.close, line)
        os.symlink(os.ttyname(line), self.path("gyrelle"))
        for name, text in FAILING_WINE.items():
            os.chmod(self.write(f"bin/{name}", text.encode()), 0o755)
        self.write("gyrsetup.exe", b"MZ")
        self.write("prefix/system.reg", b"WINE REGISTRY Version 2\n;; All keys relative to "
                                        b"\\\\Machine\n#arch=win32\n")
        self.write("prefix/user.reg", b"WINE REGISTRY Version 2\n")
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        env.update(PATH=self.path("bin") + os.pathsep + env["PATH"], WINEPREFIX="prefix")
        run = subprocess.run([os.path.join(ROOT, "scripts", "wine-install"), "--exe",
                              "gyrsetup.exe", "gyrelle"], env=env, cwd=self.dir,
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=60, check=False)
        self.assertEqual(run.returncode, 5, run.stdout + run.stderr)
        # The path as the caller's folder gives it, in the announced change and in the file
        # imported; the folder as the process sees it, whatever links lead there.
        device = os.path.join(os.path.realpath(self.dir), "gyrelle")
        self.assertEqual([said for said in run.stdout.splitlines() if '"COM1"=' in said],
                         [f'wine-install:   sets HKLM\\Software\\Wine\\Ports: "COM1"="{device}"'])
        logs = self.path("prefix", "gyrsetup-logs")
        with open(os.path.join(logs, os.listdir(logs)[0], "machine.reg"), newline="") as f:
            self.assertIn(f'\r\n"COM1"="{device}"\r\n', f.read())


class RecipeWaits(Folder):
    def test_the_installer_has_eleven_minutes_on_the_users_display_and_ninety_s_on_its_own(self):
        controller, line = pty.openpty()
        self.addCleanup(os.close, controller)
        self.addCleanup(os.close, line)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            self.addCleanup(signal.signal, sig, signal.getsignal(sig))
        cases = [
            # (DISPLAY, the program's own time, the wait for each window after the first)
            (":99", 660, 600),
            (None, 90, 60),
        ]
        for display, program, next_window in cases:
            with self.subTest(display=display):
                received = []
                environ = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
                if display:
                    environ["DISPLAY"] = display
                environ["WINEPREFIX"] = self.path("prefix")
                # The recipe itself is not run: only what it is given.
                with mock.patch.dict(os.environ, environ, clear=True), \
                        mock.patch.object(install, "go",
                                          lambda run, started: received.append(run.waits) or 0):
                    self.assertEqual(install.main(["--exe", self.path("gyrsetup.exe"),
                                                   os.ttyname(line)]), 0)
                self.assertEqual([(w.program, w.next_window) for w in received],
                                 [(program, next_window)])


def reg_entries(text):
    """{(key, value name): text} of a REGEDIT4 text's string values, keys without values
    as (key, None); the test's own reading of the format."""
    entries, key = {}, None
    for line in text.split("\r\n"):
        if line.startswith("["):
            key = line[1:-1].replace("HKEY_LOCAL_MACHINE", "HKLM").replace(
                "HKEY_CURRENT_USER", "HKCU")
            entries[(key, None)] = None
        elif line.startswith('"'):
            name, value = re.fullmatch(r'"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"', line).groups()
            unescape = lambda s: re.sub(r"\\(.)", r"\1", s)  # noqa: E731
            entries.pop((key, None), None)
            entries[(key, unescape(name))] = unescape(value)
    return entries


def announced_entries(lines):
    entries = {}
    for line in lines:
        added = re.fullmatch(r"adds the key (.*)", line)
        if added:
            entries[(added[1], None)] = None
            continue
        key, name, value = re.fullmatch(r'sets (.*): "(.*)"="(.*?)"(?: \(in place of .*\))?',
                                        line).groups()
        entries[(key, name)] = value
    return entries


class MachineKeys(unittest.TestCase):
    def test_the_reg_file_holds_the_port_and_the_drivers_keys(self):
        self.assertEqual(install.machine_reg("/dev/ttyUSB0"), "\r\n".join([
            "REGEDIT4", "",
            "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]", '"COM1"="/dev/ttyUSB0"', "",
            "[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP0500\\0000]", '"PortName"="COM1"', "",
            "[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\gyrsetup.exe]",
            '"Version"="win95"', "",
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaResources\\Joystick]",
            "",
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaResources\\Joystick"
            "\\DINPUT.DLL]", "",
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaResources\\Joystick"
            "\\DINPUT.DLL\\CurrentJoystickSettings]", "",
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaProperties"
            "\\PrivateProperties\\Joystick\\OEM]", "", ""]))

    def test_the_announced_changes_are_what_is_written(self):
        for device in ("/dev/ttyUSB0", '/tmp/a "quoted" \\ link'):
            with self.subTest(device=device):
                written = reg_entries(install.machine_reg(device))
                announced = announced_entries(install.change_lines(device, "/dev/ttyS0"))
                self.assertEqual(announced, written)
                self.assertEqual(written[("HKLM\\Software\\Wine\\Ports", "COM1")], device)

    def test_the_link_it_replaces_is_named(self):
        for before, said in (("/dev/ttyS0", " (in place of /dev/ttyS0)"),
                             ("/dev/ttyUSB0", " (as it is already)"), (None, "")):
            with self.subTest(before=before):
                self.assertIn(f'sets HKLM\\Software\\Wine\\Ports: "COM1"="/dev/ttyUSB0"{said}',
                              install.change_lines("/dev/ttyUSB0", before))

    def test_odd_device_paths_are_escaped_and_a_line_break_refused(self):
        text = install.machine_reg('/tmp/a"b\\c')
        self.assertIn('\r\n"COM1"="/tmp/a\\"b\\\\c"\r\n', text)
        with self.assertRaises(ValueError):
            install.machine_reg("/tmp/a\nb")


def outcome(exit_code, *shown, problems=(), log=""):
    return Result(exit_code=exit_code, problems=tuple(problems), program_output=log,
                  shown=tuple(shown), message_boxes=(), screenshots=(), hive=None, work_dir="")


# The installer's log when the session's desktop could not load Wine's X11 driver.
NO_DISPLAY_DRIVER_LOG = (
    "0050:err:winediag:nodrv_CreateWindow Application tried to create a window, but no driver "
    "could be loaded.\n"
    '0050:err:winediag:nodrv_CreateWindow L"The explorer process failed to start."\n'
    "UdComOpen:  opening COM1\n"
    "WinMain: the main window could not be created; exit code 1\n")


RESULT = Shown("Gyrelle Detection")
PORTS = Shown("Com Port Configuration")


class ExitStatus(unittest.TestCase):
    def test_each_outcome_has_its_status_and_its_words(self):
        device = "/dev/ttyUSB0"
        kept = "Windows did not keep the Brennick Gyrelle joystick type. Run GYRSETUP again."
        failed = "The Gyrelle could not be installed: the joystick driver is not set up."
        cases = [
            (outcome(0, RESULT), None, 0,
             'installed: the installer showed "Gyrelle detected and installed" for the '
             "controller on /dev/ttyUSB0 (COM1)"),
            (outcome(0, PORTS), "COM1", 3,
             "the controller did not answer on /dev/ttyUSB0: the port list came up, and COM1 "
             "was chosen in it, so joystick 1 is set up for COM1 without a controller found "
             "there"),
            (outcome(0, PORTS), None, 3,
             "the controller did not answer on /dev/ttyUSB0: the port list came up, and no "
             "port was chosen in it"),
            (outcome(0, Shown("Gyrelle Detection", kept)), None, 4,
             f'the install did not take; the installer said: "{kept}"'),
            (outcome(0, Shown("Gyrelle Detection", failed)), None, 4,
             f'the install did not take; the installer said: "{failed}"'),
            (outcome(0, PORTS, Shown("Com Port Configuration", "COM1 could not be configured")),
             "COM1", 4, 'the install did not take; the installer said: "COM1 could not be '
                        'configured"'),
            (outcome(3, RESULT), None, 5,
             "the installer ended abnormally (exit code 3) after showing its window; see its "
             "log gyrsetup.log"),
            (outcome(1), None, 5,
             "the installer ended abnormally (exit code 1) before showing any window; see its "
             "log gyrsetup.log"),
            (outcome(None, RESULT, problems=["the installer did not exit; killed"]), None, 5,
             "the installer did not end by itself and was stopped"),
            (outcome(0), None, 5, "the installer showed no window"),
            # Its windows were refused for want of a display driver: said as that, with where to look.
            (outcome(1, log=NO_DISPLAY_DRIVER_LOG), None, 5,
             "Wine could not load its display driver, so the installer's windows could not be "
             "made (the err:winediag lines of its log gyrsetup.log): check that the X display "
             "it ran on takes connections"),
            (outcome(0, RESULT, problems=["Wine programs still run in /p"]), None, 5,
             'the installer showed "Gyrelle detected and installed", but Wine programs still '
             "run in /p"),
        ]
        for result, picked, status, words in cases:
            with self.subTest(words=words):
                self.assertEqual(install.verdict(result, device, picked), (status, words))


class PortPicked(Folder):
    def test_the_port_chosen_in_the_port_list_is_named(self):
        # Joystick 1's OEM configuration record as OK in the port list leaves it for COM3:
        # 2000, 60000, eight 0xFF bytes, "COM3" and its NUL, then the axis letters.
        record = ("d0,07,00,00,60,ea,00,00,ff,ff,ff,ff,ff,ff,ff,ff,"
                  "43,4f,4d,33,00,58,59,5a,52,55,56,00")
        hive = registry.Hive(self.write("after.reg", (
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaResources\\Joystick"
            "\\DINPUT.DLL\\JoystickSettings\\Tessaline]\r\n"
            f'"Joystick1OEMConfiguration"=hex:{record}\r\n\r\n').encode()), regedit4=True)
        refused = Shown("Com Port Configuration", "COM2 could not be configured")
        cases = [
            ("the port list, OK", (PORTS,), hive, "COM3"),
            ("the port list, then a message box", (PORTS, refused), hive, "COM2"),
            ("the controller found", (RESULT,), hive, None),
            ("the port list, no registry read back", (PORTS,), None, None),
        ]
        for what, shown, read_back, picked in cases:
            with self.subTest(what):
                self.assertEqual(report.port_picked(list(shown), read_back), picked)


class PreparationFailures(unittest.TestCase):
    def test_a_program_stopped_at_its_time_out_is_not_said_to_have_failed_with_none(self):
        self.assertEqual(processes.how_it_ended("wineboot -i", None, 300, "prepare.log"),
                         "wineboot -i did not end within 300 s and was stopped; see prepare.log")
        self.assertEqual(processes.how_it_ended("wineboot -i", 3, 300, "prepare.log"),
                         "wineboot -i failed (3); see prepare.log")


class WineserverFolders(Folder):
    def test_the_folders_wine_looks_in(self):
        os.makedirs(self.path("prefix"))
        self.write("prefix/wineserver", b"wine-aB3dE9")
        st = os.stat(self.path("prefix"))
        name = f"server-{st.st_dev:x}-{st.st_ino:x}"
        os.makedirs(self.path("run", "4321"))
        self.assertEqual(
            wineserver.server_folders(self.path("prefix"), uid=4321, environ={"TMPDIR": "/var/tmp"},
                                   run_user_root=self.path("run")),
            [self.path("run", "4321", "wine", name), f"/var/tmp/wine-aB3dE9/{name}",
             f"/tmp/wine-aB3dE9/{name}", f"/tmp/.wine-4321/{name}"])
        self.assertEqual(
            wineserver.server_folders(self.path("prefix"), uid=99, environ={},
                                   run_user_root=self.path("run")),
            [f"/tmp/wine-aB3dE9/{name}", f"/tmp/.wine-99/{name}"])

    def test_a_server_holding_its_lock_is_seen(self):
        os.makedirs(self.path("prefix"))
        random_name = os.path.basename(tempfile.mkdtemp(prefix="wine-", dir="/tmp"))
        self.addCleanup(shutil.rmtree, os.path.join("/tmp", random_name), True)
        self.write("prefix/wineserver", random_name.encode())
        st = os.stat(self.path("prefix"))
        folder = os.path.join("/tmp", random_name, f"server-{st.st_dev:x}-{st.st_ino:x}")
        os.makedirs(folder)
        lock = os.path.join(folder, "lock")
        open(lock, "w").close()
        self.assertFalse(wineserver.server_running(self.path("prefix")))
        holder = subprocess.Popen(
            [sys.executable, "-c", "import fcntl,sys,time; f=open(sys.argv[1],'w'); "
             "fcntl.lockf(f, fcntl.LOCK_EX); print('held', flush=True); time.sleep(60)", lock],
            stdout=subprocess.PIPE, text=True)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertEqual(holder.stdout.readline(), "held\n")
        self.assertTrue(wineserver.server_running(self.path("prefix")))


    def test_what_ended_sessions_left_goes_with_the_prefix_and_a_running_one_stays(self):
        os.makedirs(self.path("prefix"))
        random_name = os.path.basename(tempfile.mkdtemp(prefix="wine-", dir="/tmp"))
        base = os.path.join("/tmp", random_name)
        self.addCleanup(shutil.rmtree, base, True)
        self.write("prefix/wineserver", random_name.encode())
        st = os.stat(self.path("prefix"))
        folder = os.path.join(base, f"server-{st.st_dev:x}-{st.st_ino:x}")
        os.makedirs(folder)
        for name in ("lock", "socket"):
            open(os.path.join(folder, name), "w").close()
        # A server still running holds its lock: nothing of it may go.
        holder = subprocess.Popen(
            [sys.executable, "-c", "import fcntl,sys,time; f=open(sys.argv[1],'r+'); "
             "fcntl.lockf(f, fcntl.LOCK_EX); print('held', flush=True); time.sleep(60)",
             os.path.join(folder, "lock")], stdout=subprocess.PIPE, text=True)
        self.assertEqual(holder.stdout.readline(), "held\n")
        self.assertEqual(wineserver.remove_server_folders(self.path("prefix")), [])
        self.assertTrue(os.path.isdir(folder))
        holder.kill()
        holder.wait()
        holder.stdout.close()
        # Ended: its folder goes, and the prefix's own base folder once it is empty.
        self.assertEqual(wineserver.remove_server_folders(self.path("prefix")), [folder])
        self.assertFalse(os.path.exists(base))


def cases_as_ordinary_user(wanted):
    """The names of the cases that do (wanted) or do not need an ordinary user."""
    loader = unittest.TestLoader()
    return [f"{cls.__name__}.{name}" for cls in globals().values()
            if isinstance(cls, type) and issubclass(cls, unittest.TestCase)
            for name in loader.getTestCaseNames(cls)
            if getattr(getattr(cls, name), "as_ordinary_user", False) == wanted]


if __name__ == "__main__":
    if sys.argv[1:2] in (["--as-user"], ["--not-as-user"]):
        wanted = sys.argv.pop(1) == "--as-user"
        if wanted and ordinary_user() is None:
            print(f"skipped: {NO_ORDINARY_USER}", file=sys.stderr)
            sys.exit(77)
        unittest.main(defaultTest=cases_as_ordinary_user(wanted))
    unittest.main()
