"""Runs gyrsetup.exe under Wine against a serial device of this machine (scripts/wine-install).

    scripts/wine-install [--exe GYRSETUP.EXE] DEVICE
    python3 -m wine.install [--exe GYRSETUP.EXE] DEVICE

DEVICE must be a serial line (a terminal device). The prefix is $WINEPREFIX, or
~/gyrelle-prefix; a missing or empty one is made (32-bit), an existing one is reused after
its registry files are copied. DEVICE becomes COM1, the one serial port the registry
counts, and the prefix gets the registry keys a Windows 95 joystick driver leaves, which
Wine does not make. The program runs on $DISPLAY, where you answer its windows, or on an
Xvfb of its own, where this command presses OK. Then it prints what was shown and written.

Exit status: 0 installed; 1 the prefix cannot be used; 2 DEVICE refused; 3 the controller
did not answer on DEVICE; 4 the installer said that the install did not take; 5 the
installer did not end, Wine or an X tool failed, a problem followed the dialog, or the run
failed unexpectedly (its traceback in the run's log folder); 128 + N stopped by signal N
(130: Ctrl-C).
"""

import argparse
import contextlib
import datetime
import fcntl
import os
import re
import shlex
import shutil
import sys
import time
import traceback

from wine import checks, installer_run, processes
from wine import joystick_keys as keys
from wine import prefix as prefixes
from wine import registry, report, signals, waits as waiting, wineserver
from wine.processes import NoAnswer, WineError
from wine.user import PORT_TITLE, RESULT_TITLE, answer_windows
from wine.xvfb import Xvfb

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_EXE = os.path.join(SOURCE_ROOT, "build", "win32", "app", "gyrsetup.exe")
DEFAULT_PREFIX = os.path.join("~", "gyrelle-prefix")
WINE_NOTE = ("Wine's own joystick support does not read these entries: the run shows the "
             "detection and what Windows 95 would be given.")

INSTALLED = 0
PREFIX_REFUSED = 1
DEVICE_REFUSED = 2
NOT_ANSWERED = 3
NOT_TAKEN = 4
WINE_FAILED = 5

# Left in a prefix this command began, until it is made: the folder is then this command's
# own even before Wine wrote its system.reg.
OWN_MARKER = ".wine-install-unfinished"
LOGS = "gyrsetup-logs"
KEPT_RUNS = 5
# What Wine writes for each window it refuses when no display driver could be loaded.
NO_DISPLAY_DRIVER = "err:winediag:nodrv_CreateWindow"
# Where a run that failed unexpectedly leaves its traceback, in the run's log folder.
TRACEBACK = "traceback.txt"

HKLM = "HKEY_LOCAL_MACHINE"
HKCU = "HKEY_CURRENT_USER"
ROOT_NAMES = {HKLM: "HKLM", HKCU: "HKCU"}


def say(message):
    print(f"wine-install: {message}", flush=True)


# -- what the recipe writes ---------------------------------------------------------------
def machine_keys(device):
    """[(root, key, [(value name, text)])]: what makes the prefix a Windows 95 machine with
    the joystick driver set up and DEVICE on COM1. The .reg file the recipe imports and the
    list of changes it announces are both made from it.

    Wine links COM ports from its Ports key at every session start. It refills the
    serialcomm map with names the installer does not count, so COM1 is counted through a
    root-enumerated port instance. The joystick driver key is named as Wine's
    joyGetDevCapsA(-1) reports it. gyrsetup.exe alone answers as Windows 95, so that other
    programs keep the prefix's Windows version.
    """
    return [(HKLM, "Software\\Wine\\Ports", [("COM1", device)]),
            (HKLM, "Enum\\Root\\*PNP0500\\0000", [("PortName", "COM1")]),
            (HKCU, "Software\\Wine\\AppDefaults\\gyrsetup.exe", [("Version", "win95")])] + [
        (HKLM, key, []) for key in (keys.JOYSTICK_ROOT, keys.DRIVER_KEY, keys.CURRENT_SETTINGS,
                                    keys.OEM_TYPES)]


def machine_reg(device):
    return registry.regedit4_text(machine_keys(device))


def change_lines(device, com1_before):
    """The registry changes, one line each, from the table the .reg file is made of.
    com1_before: what COM1 is linked to now, or None."""
    lines = []
    for root, key, values in machine_keys(device):
        where = f"{ROOT_NAMES[root]}\\{key}"
        if not values:
            lines.append(f"adds the key {where}")
        for name, text in values:
            line = f'sets {where}: "{name}"="{text}"'
            if (root, key, name) == (HKLM, "Software\\Wine\\Ports", "COM1") and com1_before:
                line += (" (as it is already)" if com1_before == text
                         else f" (in place of {com1_before})")
            lines.append(line)
    return lines


# -- the prefix as it stands --------------------------------------------------------------
def current_com1(prefix):
    hive = registry.Hive(os.path.join(prefix, "system.reg"))
    value = hive.value("Software\\Wine\\Ports", "COM1")
    if value:
        return value[1].split(b"\0", 1)[0].decode(errors="replace")
    link = os.path.join(prefix, "dosdevices", "com1")
    return os.readlink(link) if os.path.islink(link) else None


def restore_command(copies):
    return " && ".join(f"cp -p {shlex.quote(copy)} {shlex.quote(source)}"
                       for source, copy in copies)


# -- the outcome ----------------------------------------------------------------------------
def verdict(outcome, device, picked=None):
    """(exit status, the last line in plain words) of an installer run."""
    shown = outcome.shown
    boxes = [s.message for s in shown if s.message]
    if outcome.exit_code is None:
        return WINE_FAILED, ("the installer did not end by itself and was stopped"
                             + (f' after it showed "{boxes[-1]}"' if boxes else ""))
    if outcome.exit_code != 0 and NO_DISPLAY_DRIVER in outcome.program_output:
        # The session's desktop could not load the X11 driver: every window was refused,
        # the main window among them, which is what ended the installer.
        return WINE_FAILED, ("Wine could not load its display driver, so the installer's "
                             "windows could not be made (the err:winediag lines of its log "
                             "gyrsetup.log): check that the X display it ran on takes "
                             "connections")
    if outcome.exit_code != 0:
        what = (f'after showing "{boxes[-1]}"' if boxes else
                "after showing its window" if shown else "before showing any window")
        return WINE_FAILED, (f"the installer ended abnormally (exit code {outcome.exit_code}) "
                             f"{what}; see its log gyrsetup.log")
    if boxes:
        return NOT_TAKEN, f'the install did not take; the installer said: "{boxes[-1]}"'
    if any(s.title == PORT_TITLE for s in shown):
        did = (f"{picked} was chosen in it, so joystick 1 is set up for {picked} without a "
               "controller found there" if picked else "no port was chosen in it")
        return NOT_ANSWERED, (f"the controller did not answer on {device}: the port list came "
                              f"up, and {did}")
    if any(s.title == RESULT_TITLE for s in shown):
        if outcome.problems:
            return WINE_FAILED, ('the installer showed "Gyrelle detected and installed", but '
                                 f"{outcome.problems[-1]}")
        return INSTALLED, (f'installed: the installer showed "Gyrelle detected and installed" '
                           f"for the controller on {device} (COM1)")
    return WINE_FAILED, "the installer showed no window"


class PrefixBusy(Exception):
    pass


class Run:
    """One run of the recipe: what it started, what it changed, and how far it got."""

    def __init__(self, device, prefix, exe, display, waits):
        """waits: every wait of the run (waits.recipe)."""
        self.device = device
        self.prefix = prefix
        self.exe = exe
        self.display = display
        self.waits = waits
        self.owned = processes.Owned.of(waits)
        self.lock_fd = None
        self.created = False
        self.copies = []
        self.logs = None
        self.wine_started = False
        self.changing = False
        self.made = False
        self.ended = 0
        self.env = wineserver.base_environment(prefix, None)

    # -- the steps --------------------------------------------------------------------
    def lock(self):
        """Takes the prefix folder's lock, made if missing; refused while another run holds it.
        The lock writes nothing and goes with the process."""
        os.makedirs(self.prefix, exist_ok=True)
        fd = os.open(self.prefix, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise PrefixBusy(f"another wine-install is using {self.prefix}: wait for it to end, "
                             "then run wine-install again")
        self.lock_fd = fd

    def announce(self):
        """Before the first change to a prefix this run did not begin: copies and the plan."""
        say(f"reusing the Wine prefix {self.prefix}; its registry files are copied first:")
        self.copies = prefixes.back_up_registry(self.prefix)
        for _, copy in self.copies:
            say(f"  {copy}")
        try:
            before = current_com1(self.prefix)
        except (OSError, registry.HiveFormatError) as error:
            say(f"(what COM1 is linked to now cannot be read: system.reg: {error})")
            before = None
        say("it changes:")
        if prefixes.wine_will_update(self.prefix):
            say(f"  Wine updates the prefix first to {prefixes.wine_version()}: another Wine "
                "version last used it, and Wine rewrites parts of its registry and Windows "
                "folder when it starts there")
        for line in change_lines(self.device, before):
            say(f"  {line}")
        say(f"  adds Wine's font files the Fonts folder lacks (no font file is replaced), "
            f"C:\\gyrsetup\\gyrsetup.exe and the folder {LOGS} (a folder per run, the last "
            f"{KEPT_RUNS} kept)")

    def make_logs(self):
        """A new folder for this run's logs; the oldest beyond the last few go."""
        root = os.path.join(self.prefix, LOGS)
        os.makedirs(root, exist_ok=True)
        stamp = datetime.datetime.now().strftime("%Y-%m-%d-%H%M%S")
        name, n = stamp, 1
        while os.path.lexists(os.path.join(root, name)):
            n += 1
            name = f"{stamp}-{n}"
        self.logs = os.path.join(root, name)
        os.makedirs(self.logs)
        runs = sorted(r for r in os.listdir(root)
                      if re.fullmatch(r"\d{4}-\d\d-\d\d-\d{6}(-\d+)?", r))
        for old in runs[:-KEPT_RUNS]:
            shutil.rmtree(os.path.join(root, old), ignore_errors=True)

    def prepare(self):
        """Gives the prefix (made by wineboot when created) the keys, the port and the fonts
        it lacks. Ends with the session this run started down, so that the next one links
        COM1."""
        log_path = os.path.join(self.logs, "prepare.log")
        self.changing = True
        self.wine_started = True
        if self.created:
            say(f"making a 32-bit Wine prefix in {self.prefix} (a minute or two)")
            # Wine writes this before it has made the prefix, and then takes a prefix it was
            # stopped in as made: without it, Wine makes the whole prefix again.
            with contextlib.suppress(FileNotFoundError):
                os.unlink(os.path.join(self.prefix, prefixes.UPDATE_TIMESTAMP))
            self.owned.step(["wineboot", "-i"], self.env, log_path, self.waits.wineboot,
                            "wineboot -i", cwd=self.logs)
        settings = os.path.join(self.logs, "machine.reg")
        with open(settings, "w", newline="") as f:
            f.write(machine_reg(self.device))
        self.owned.step(["wine", "regedit", "/S", prefixes.windows_path(settings)], self.env,
                        log_path, self.waits.import_keys, f"regedit of {settings}",
                        cwd=self.logs)
        prefixes.install_wine_fonts(self.prefix, keep_existing=True)
        if not self.session_ended(log_path, self.waits.session_end):
            raise PrefixBusy(f"Wine programs are running in {self.prefix}: close them, then "
                             "run wine-install again")
        if self.created:
            os.unlink(os.path.join(self.prefix, OWN_MARKER))
        self.made = True

    def session_ended(self, log_path, timeout):
        """Waits for the prefix's session to end by itself: this run ends nothing of it
        that it did not start."""
        return wineserver.wait_for_session_end(self.env, log_path, timeout, self.owned)

    def run_installer(self, display, wait_for_user):
        """Runs gyrsetup.exe from C:\\gyrsetup; returns its Result."""
        target = os.path.join(self.prefix, "drive_c", "gyrsetup")
        os.makedirs(target, exist_ok=True)
        shutil.copy2(self.exe, os.path.join(target, "gyrsetup.exe"))

        def end_session():
            # The registry reaches system.reg when the session ends.
            if not self.session_ended(os.path.join(self.logs, "wineserver.log"),
                                      self.waits.session_end):
                return f"Wine programs still run in {self.prefix}, so its registry may not " \
                       "be saved yet"
            return None

        # On an Xvfb of our own no window manager focuses the windows, which are managed in
        # a prefix of the user's; the user focuses each before typing (wine.user).
        return installer_run.run(installer_run.Order(
            env=wineserver.base_environment(self.prefix, display),
            argv=("C:\\gyrsetup\\gyrsetup.exe",), cwd=target, work_dir=self.logs,
            artifacts=self.logs, registry_file=os.path.join(self.prefix, "system.reg"),
            end_session=end_session, play=answer_windows(pause=0, wait_for_user=wait_for_user),
            waits=self.waits, owned=self.owned))

    # -- an interrupted run ------------------------------------------------------------
    def stop(self, signal_name):
        """Ends what this run started, lets the prefix's session save and end, and says how
        things stand."""
        ended = self.ended + self.owned.end_all()
        print("", flush=True)
        say(f"stopped by {signal_name}" + (f"; ended what this run had started and was still "
                                           f"running ({ended} process group(s))" if ended else ""))
        self.tell_state()

    def tell_state(self):
        """After a run that did not get to its end: lets the prefix's session save and end,
        then says how the prefix stands."""
        if self.wine_started:
            say(f"waiting for the Wine session of {self.prefix} to save its registry and end")
            log_path = os.path.join(self.logs, "wineserver.log") if self.logs else os.devnull
            if not self.session_ended(log_path, self.waits.stop_session):
                say(f"Wine programs this run did not start still run in {self.prefix}; its "
                    "registry files are written once they end")
        for line in self.state_lines():
            say(line)

    def state_lines(self):
        remove = f"rm -rf {shlex.quote(self.prefix)}"
        if self.created and self.made:
            return [f"{self.prefix} was made by this run: run wine-install again to install, "
                    f"or remove it: {remove}"]
        if self.created:
            return [f"{self.prefix} was being made by this run and is not finished: run "
                    f"wine-install again to finish it, or remove it: {remove}"]
        if not self.changing:
            lines = [f"nothing in {self.prefix} was changed"]
            if self.copies:
                lines.append("the registry copies made are not needed: " +
                             " ".join(copy for _, copy in self.copies))
            return lines
        return ([f"{self.prefix} may hold part of this run's changes; its registry as it was "
                 "before is in:"] + [f"  {copy}" for _, copy in self.copies]
                + ["to go back to it, with no Wine program running in the prefix:",
                   f"  {restore_command(self.copies)}"])


def ensure_built(run):
    """Builds gyrsetup.exe when it is the default one and missing; OSError when it cannot
    be had."""
    if os.path.isfile(run.exe):
        return
    if os.path.abspath(run.exe) != DEFAULT_EXE:
        raise FileNotFoundError(f"{run.exe} does not exist")
    say("gyrsetup.exe is not built yet: building it (scripts/build dist)")
    build = [os.path.join(SOURCE_ROOT, "scripts", "build"), "dist"]
    rc = run.owned.run(build, run.waits.build, "scripts/build dist", stdin=None)
    if rc != 0:
        raise OSError(f"scripts/build dist " + (f"failed ({rc})" if rc is not None else
                      f"did not end within {run.waits.build} s and was stopped"))


def go(run, started):
    """The recipe, after DEVICE passed its checks; returns the exit status."""
    refusal = checks.check_prefix(run.prefix, OWN_MARKER)
    if refusal:
        say(refusal)
        return PREFIX_REFUSED
    try:
        ensure_built(run)
    except OSError as error:
        say(f"gyrsetup.exe is missing: {error}")
        return PREFIX_REFUSED
    try:
        run.lock()
        if wineserver.server_running(run.prefix):
            raise PrefixBusy(f"Wine programs are running in {run.prefix}: close them, then run "
                             "wine-install again")
        run.created = (os.path.exists(os.path.join(run.prefix, OWN_MARKER))
                       or prefixes.prefix_arch(run.prefix) is None)
        if run.created:
            with open(os.path.join(run.prefix, OWN_MARKER), "w") as f:
                f.write("wine-install began this prefix and has not finished it\n")
        else:
            run.announce()
        run.make_logs()
        run.prepare()
        if run.display:
            say(f"running gyrsetup.exe on your display {run.display}; answer its window there")
            outcome = run.run_installer(run.display, wait_for_user=True)
        else:
            say("no DISPLAY: running gyrsetup.exe on an Xvfb of its own and pressing OK in "
                "its windows")
            with Xvfb(os.path.join(run.logs, "xvfb.log"), run.owned, run.waits) as xvfb:
                try:
                    outcome = run.run_installer(xvfb.display, wait_for_user=False)
                except BaseException:
                    # The programs go before their X server, not cut off from it.
                    run.ended += run.owned.end_all()
                    raise
    except PrefixBusy as error:
        code, last = PREFIX_REFUSED, str(error)
    except WineError as error:
        code, last = WINE_FAILED, f"Wine failed: {error}"
    except NoAnswer as error:
        code, last = WINE_FAILED, str(error)
    except OSError as error:
        code, last = PREFIX_REFUSED, f"failed: {error}"
    except Exception:
        code, last = WINE_FAILED, f"failed unexpectedly: {unexpected(run)}"
    else:
        return finish(run, outcome, started)
    run.ended += run.owned.end_all()
    if run.changing:
        run.tell_state()
        last += f" (exit status {code})"
    say(last)
    return code


def unexpected(run):
    """The failure being handled, in one line, with where its traceback went: the run's log
    folder, or standard error before there is one."""
    text = traceback.format_exc()
    last = text.rstrip().rsplit("\n", 1)[-1]
    if run.logs:
        path = os.path.join(run.logs, TRACEBACK)
        with contextlib.suppress(OSError), open(path, "w") as f:
            f.write(text)
            return f"{last}; the traceback is in {path}"
    print(text, file=sys.stderr, flush=True)
    return f"{last}; the traceback is above"


def finish(run, outcome, started):
    """Reports a run that got to the installer's end; returns the exit status."""
    picked = report.port_picked(outcome.shown, outcome.hive)
    report.report(outcome, [
        ("machine", f"the Wine prefix {run.prefix}, with the joystick driver's registry keys"),
        ("controller", f"{run.device}, as COM1"),
        ("display", f"your display {run.display}; you answered" if run.display
                    else "an Xvfb of its own; OK was pressed in each window")],
        driver_note="Joystick driver notices are not recorded here: only the end-to-end "
                    "tests' own driver counts them.", machine_ports=("COM1",), counted=1)
    print("")
    print(WINE_NOTE)
    if run.copies:
        say("the registry as it was before this run is in the copies named above; to go back "
            "to it, with no Wine program running in the prefix:")
        say(f"  {restore_command(run.copies)}")
    for problem in outcome.problems:
        say(f"problem: {problem}")
    code, last = verdict(outcome, run.device, picked)
    say(f"{last} (exit status {code}, {time.monotonic() - started:.0f} s)")
    return code


# What --help shows after the arguments: where things are, and the exit statuses in brief
# (docs/wine.md has them in full).
HELP_EPILOG = f"""\
The prefix is $WINEPREFIX, or {DEFAULT_PREFIX} when WINEPREFIX is not set. Each run's logs
(the installer's output, Wine's, the screenshot of its window, the state of anything that
had to be stopped) go to a folder of their own, PREFIX/{LOGS}/DATE-TIME; the last
{KEPT_RUNS} are kept.

exit status:
  0      installed: the installer showed "Gyrelle detected and installed"
  1      the prefix cannot be used, another run or Wine programs use it, or
         gyrsetup.exe is missing
  2      DEVICE is refused
  3      the controller did not answer on DEVICE: the port list came up
  4      the installer said the install did not take (a message box)
  5      the installer did not end or showed no window; Wine, Xvfb or an X tool
         failed or did not answer; the dialog showed but a problem followed; or
         the run failed unexpectedly (its traceback is in the run's log folder)
  128+N  stopped by signal N: 130 Ctrl-C, 129 SIGHUP, 143 SIGTERM

More: docs/wine.md in the source tree."""


def main(argv=None):
    signals.stop_on_signals()
    started = time.monotonic()
    parser = argparse.ArgumentParser(prog="scripts/wine-install",
                                     description=__doc__.split("\n\n")[0],
                                     epilog=HELP_EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=DEFAULT_EXE, help="the gyrsetup.exe to run")
    parser.add_argument("device", help="the Linux serial device of the controller, e.g. /dev/ttyUSB0")
    # For the tests: shorter waits, so that a hung step fails within their own time-out.
    parser.add_argument("--waits", default="", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    display = os.environ.get("DISPLAY")
    try:
        waits = waiting.parse(args.waits, waiting.recipe(on_users_display=bool(display)))
    except ValueError as error:
        parser.error(f"--waits: {error}")
    run = None
    try:
        refusal = checks.check_device(args.device)
        if refusal:
            say(refusal)
            return DEVICE_REFUSED
        prefix = os.path.abspath(os.path.expanduser(os.environ.get("WINEPREFIX") or DEFAULT_PREFIX))
        run = Run(os.path.abspath(args.device), prefix, os.path.abspath(args.exe), display,
                  waits)
        return go(run, started)
    except signals.Interrupted as stop:
        if run is None:
            print("", flush=True)
            say(f"stopped by {stop.name} before anything was changed")
        else:
            run.stop(stop.name)
        return stop.exit_status


if __name__ == "__main__":
    sys.exit(main())
