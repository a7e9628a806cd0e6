#!/usr/bin/env python3
"""Whole runs of the real gyrsetup.exe under Wine, one scenario per CTest test.

    python3 scenarios.py --list
    python3 scenarios.py --native-build build/native --win32-build build/win32 NAME [--keep]
"""

import argparse
import contextlib
import dataclasses
import os
import re
import sys
import time

import commands
import native
import traces
from wine import joystick_keys as want
from wine import machine, signals
from wine import waits as waiting
from wine.machine import Controller
from wine.phases import read_phases
from wine.user import PORT_TITLE, RESULT_TITLE

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "pe"))
from pe_file import PeFile  # noqa: E402

# The machines the scenarios start from, as .reg files the prefix imports.
FIXTURES = os.path.join(os.path.dirname(HERE), "fixtures")

# Every wait of a scenario's run; the deadline holds its whole path, and CTest's time-out
# (tests/e2e/CMakeLists.txt, checked by tests/check_timeouts.py) the deadline and the
# clean-up after it.
WAITS = waiting.scenario()
DEADLINE = int(WAITS.path(controllers=2, windows=3)) + 30
ANSWERS = {1, 2}  # the purge after the banner may swallow the second query
# What the program says instead of claiming success when the joystick driver is not set up.
FOUND_NOT_INSTALLED_COM4 = (
    "The Gyrelle answered on COM4, but it could not be installed: the joystick driver is not "
    "set up. Install the Windows joystick driver (Control Panel, Add New Hardware), then run "
    "GYRSETUP again.")
PICKED_NOT_CONFIGURED_COM3 = (
    "COM3 could not be configured: the joystick driver is not set up. Install the Windows "
    "joystick driver (Control Panel, Add New Hardware), then run GYRSETUP again.")


# -- the user ---------------------------------------------------------------------------
def escape_is_ignored(user, window, problems, what):
    """Esc must leave the dialog up; the Enter that follows proves the keys arrive."""
    user.key(window, "Escape")
    time.sleep(1.5)
    if not user.program_running() or window not in user.find(what):
        problems.append(f'Esc closed the "{what}" dialog')


def close_with_enter(user, window, what, problems):
    user.key(window, "Return")
    if not user.wait_exit(user.waits.window):
        problems.append(f'Enter did not close the "{what}" window and end the program')


def line_closed(user, port):
    """Whether the simulator on this port has seen its line opened and then closed."""
    try:
        with open(os.path.join(user.work_dir, f"simulator-com{port}.log")) as f:
            events = [e for e in f.read().split() if e in ("opened", "closed")]
    except FileNotFoundError:
        return False
    return bool(events) and events[-1] == "closed"


def dialog_on_screen(user, title, shot, closed_port=0):
    """The dialog's window, photographed; None (with the problem noted) when none came or
    a message box of the same caption came in its place. closed_port: the port whose line
    must already be closed when the dialog shows, or it stays held for as long as the user
    leaves the dialog up. (A port that answered wrongly is left open by design.)"""
    window = user.wait_for(title)
    if window is None:
        user.problem(f'no "{title}" dialog appeared')
        return None
    if closed_port and not line_closed(user, closed_port):
        user.problem(f'COM{closed_port} was not closed when the "{title}" dialog appeared')
    user.screenshot(window, shot)
    boxes = user.message_boxes()
    if boxes:
        user.problem(f'a "{title}" message box {boxes} came where the dialog was due')
        return None
    return window


def message_box_answered(user, title, text, after=()):
    """The message box that follows: photographed, its text checked, OK pressed, and the
    program must then end by itself. after: windows already seen under the same caption."""
    problems = user.problems
    window = user.wait_for(title, exclude=after)
    if window is None:
        problems.append(f'no "{title}" message box appeared')
        return
    user.screenshot(window, "message-box")
    boxes = user.message_boxes()
    if boxes != [text]:
        problems.append(f'the "{title}" window shows message boxes {boxes}, want one with {text!r}')
    close_with_enter(user, window, title, problems)


def result_dialog(found, escape_first=False):
    """The controller found on port found: its line closed, the result dialog answered."""
    def script(user):
        problems = user.problems
        window = dialog_on_screen(user, RESULT_TITLE, "result-dialog", closed_port=found)
        if window is None:
            return
        if escape_first:
            escape_is_ignored(user, window, problems, RESULT_TITLE)
        close_with_enter(user, window, RESULT_TITLE, problems)
    return script


def result_message_box(text):
    """The controller is found but not installed: a message box, no result dialog."""
    def script(user):
        message_box_answered(user, RESULT_TITLE, text)
    return script


def pick_com3_then(message_box=None, preselected=1):
    """Picks COM3 in the port list and presses OK; then the program ends, or first shows
    this message box text. preselected: the port the list starts on, 0 for none (slot 0's
    stored port, which a machine without the driver keys does not have)."""
    def script(user):
        problems = user.problems
        window = dialog_on_screen(user, PORT_TITLE, "port-selection")
        if window is None:
            return
        escape_is_ignored(user, window, problems, PORT_TITLE)
        # The focus starts on OK; Tab reaches the list, where each Down moves one port on.
        user.key(window, "Tab", *["Down"] * (3 - preselected))
        user.screenshot(window, "port-selection-com3")
        if message_box is None:
            close_with_enter(user, window, PORT_TITLE, problems)
            return
        user.key(window, "Return")
        message_box_answered(user, PORT_TITLE, message_box, after=(window,))
    return script


# -- what the registry must hold --------------------------------------------------------
def compare_key(hive, key, expected, problems):
    got = hive.values(key)
    if got is None:
        problems.append(f"missing key {key}")
        return
    for name, value in expected.items():
        if name not in got:
            problems.append(f'{key}: missing value "{name}"')
        elif got[name] != value:
            kind, data = got[name]
            problems.append(f'{key}: "{name}" is type {kind}, {len(data)} bytes {data[:32].hex(" ")}'
                            f"..., want type {value[0]}, {len(value[1])} bytes {value[1][:32].hex(' ')}...")
    for name in sorted(set(got) - set(expected)):
        problems.append(f'{key}: unexpected value "{name}"')


def configured(record, port_digit, windows_95=True):
    """Texts as the Windows version the prefix answers as stores them: windows_95 for the
    whole 9x family, which keeps a text at its length plus one."""
    def check(hive, problems):
        compare_key(hive, want.CURRENT_SETTINGS,
                    want.current_settings_values(record, windows_95), problems)
        compare_key(hive, want.TYPE_SETTINGS, want.type_settings_values(port_digit), problems)
        compare_key(hive, want.OEM_TYPE, want.oem_type_values(windows_95), problems)
    return check


def nothing_written(hive, problems):
    below = [k for k in hive.subtree(want.JOYSTICK_ROOT) if k]
    if below:
        problems.append(f"keys written below the joystick root: {below}")
    if hive.has_key(want.OEM_TYPES) or hive.subtree(want.OEM_TYPES):
        problems.append("the OEM types key exists")


def differential_problems(paths, scenario, outcome):
    summary, native_hive = native.run_native(paths, os.path.join(FIXTURES, scenario.fixture),
                                             scenario.controllers, outcome.work_dir, WAITS)
    print(f"  native run: {summary}")
    if native_hive is None:
        return [f"native run: {summary}"]
    problems = []
    if summary != f"exit 0 notifications {scenario.notifications} " \
                  f"broadcasts {scenario.notifications} dialogs 1 problems 0":
        problems.append(f"native run: {summary}")
    for key in (want.JOYSTICK_ROOT, want.OEM_TYPES):
        wine_tree = outcome.hive.comparable_subtree(key)
        native_tree = native_hive.comparable_subtree(key)
        if not wine_tree:
            problems.append(f"nothing under {key} to compare")
        for rel in sorted(set(wine_tree) | set(native_tree)):
            w, n = wine_tree.get(rel), native_tree.get(rel)
            if w is None or n is None:
                problems.append(f"{key}\\{rel}: only {'natively' if w is None else 'under Wine'}")
                continue
            for name in sorted(set(w) | set(n)):
                if w.get(name) != n.get(name):
                    problems.append(f"{key}\\{rel}: \"{name}\" differs: Wine {w.get(name)!r:.80} "
                                    f"native {n.get(name)!r:.80}")
    return problems


# -- the serial channel's debugging lines on standard output -----------------------------
def port_absent(port):
    """The lines of a probe whose port does not open (the error number is Wine's choice)."""
    return [f"UdComOpen:  opening COM{port}", r"UdComOpen:  CreateFile failed  \d+"]


def port_opens(port):
    return [f"UdComOpen:  opening COM{port}"]


def debugging_line_problems(output, expected):
    """Wine's own messages share the file; the channel's lines start with "UdComOpen:".
    Standard output is a text stream on Windows, so every line ends in CR LF."""
    lines = [line for line in output.split("\n") if line.startswith("UdComOpen:")]
    if len(lines) == len(expected) and all(re.fullmatch(p + "\r", l) for p, l in zip(expected, lines)):
        return []
    return [f"debugging lines on standard output {lines}, want lines matching {expected}, "
            "each ending in CR LF"]


# -- the table --------------------------------------------------------------------------
@dataclasses.dataclass
class Scenario:
    name: str
    fixture: str
    controllers: tuple
    user: object
    notifications: int
    queries: dict          # port -> allowed numbers of queries received
    registry: object       # check(hive, problems)
    differential: bool = False  # the native stand-ins must leave the same subtrees
    work_length: int = 0   # the least length of the run's work folder path
    debugging_lines: tuple = ()  # patterns of the serial channel's lines, in order; () skips
    message_box: str = ""  # the text of the one message box due; "" when none may show
    windows_version: str = "win95"  # what Wine answers as; None for its default (NT)


SCENARIOS = [
    Scenario("controller_on_port3_of_4", "machine_four_ports.reg",
             (Controller(3), Controller(4)), result_dialog(3, escape_first=True), 6,
             {3: ANSWERS, 4: {0}}, configured(want.FULL_RANGE_RECORD, 3),
             debugging_lines=(*port_absent(1), *port_absent(2), *port_opens(3))),
    Scenario("not_found_user_picks_com3", "machine_four_ports.reg",
             (), pick_com3_then(), 9, {}, configured(want.TEN_BIT_RECORD, 3),
             debugging_lines=(*port_absent(1), *port_absent(2), *port_absent(3), *port_absent(4))),
    Scenario("late_paced_controller_found", "machine_two_ports.reg",
             (Controller(1, ("--delay-ms", "500", "--pace")),), result_dialog(1), 4,
             {1: ANSWERS}, configured(want.FULL_RANGE_RECORD, 1)),
    Scenario("wrong_banner_then_right_one", "machine_two_ports.reg",
             (Controller(1, ("--banner", "1 Marlock Pad V1.00")), Controller(2)),
             result_dialog(2), 5,
             {1: set(range(1, 10)), 2: ANSWERS}, configured(want.FULL_RANGE_RECORD, 2)),
    # The driver's registry keys are missing but the driver itself is there: the
    # notifications still go out while nothing is written, and the user is told so in a
    # message box instead of the result dialog.
    Scenario("no_joystick_driver_keys", "machine_no_driver.reg",
             (Controller(4),), result_message_box(FOUND_NOT_INSTALLED_COM4), 7,
             {4: ANSWERS}, nothing_written, message_box=FOUND_NOT_INSTALLED_COM4),
    # The same machine with nothing answering: the port picked cannot be configured either,
    # and a message box says so after the port list has closed.
    Scenario("no_joystick_driver_keys_user_picks_com3", "machine_no_driver.reg",
             (), pick_com3_then(PICKED_NOT_CONFIGURED_COM3, preselected=0), 9, {}, nothing_written,
             debugging_lines=(*port_absent(1), *port_absent(2), *port_absent(3), *port_absent(4)),
             message_box=PICKED_NOT_CONFIGURED_COM3),
    # The stand-ins are what the unit tests trust: the same machine and line must leave
    # the same joystick root and OEM types subtrees natively as under Wine. The stand-ins
    # keep texts as NT does, so Wine answers as its default here.
    Scenario("same_registry_natively_and_under_wine", "machine_four_ports.reg",
             (Controller(3),), result_dialog(3), 6,
             {3: ANSWERS}, configured(want.FULL_RANGE_RECORD, 3, windows_95=False),
             differential=True, windows_version=None),
    # A build tree deep in the file system: the prefix and the logs sit past the length of
    # a socket path and of MAX_PATH, and the run must not care.
    Scenario("controller_found_from_a_deep_folder", "machine_two_ports.reg",
             (Controller(2),), result_dialog(2), 5,
             {2: ANSWERS}, configured(want.FULL_RANGE_RECORD, 2), work_length=280),
]

# Windows 98 and Me must see the same dialogs, bytes and notifications as Windows 95.
NINE_X_TWINS = ("controller_on_port3_of_4", "not_found_user_picks_com3")
LATER_9X_VERSIONS = (("win98", "windows_98"), ("winme", "windows_me"))
SCENARIOS += [dataclasses.replace(twin, name=f"{twin.name}_as_{label}", windows_version=version)
              for version, label in LATER_9X_VERSIONS
              for twin in SCENARIOS if twin.name in NINE_X_TWINS]


def check_outcome(scenario, paths):
    def check(outcome):
        problems = []
        if outcome.exit_code != 0:
            problems.append(f"exit code {outcome.exit_code}, want 0")
        pairs = outcome.notifications()
        if pairs != scenario.notifications:
            problems.append(f"driver messages {[hex(c) for c in outcome.driver_messages]}: "
                            f"want {scenario.notifications} times 0x903 then 0x802")
        if outcome.broadcasts != scenario.notifications:
            problems.append(f"broadcasts {outcome.broadcasts}, want {scenario.notifications}")
        for port, allowed in scenario.queries.items():
            got = outcome.queries(port)
            if got not in allowed:
                problems.append(f"COM{port} received {got} queries, want one of {sorted(allowed)}")
            if allowed == {0}:
                events = [e for e in outcome.simulator_logs.get(port, []) if e.split()[0] in ("query", "packet", "opened")]
                if events:
                    problems.append(f"COM{port} must see nothing, saw {events}")
        if scenario.debugging_lines:
            problems += debugging_line_problems(outcome.program_output, scenario.debugging_lines)
        due = (scenario.message_box,) if scenario.message_box else ()
        if outcome.message_boxes != due:
            problems.append(f"message boxes {outcome.message_boxes}, want {due}")
        hive = outcome.hive
        if hive is None:
            problems.append("system.reg was not read back")
        elif not hive.has_key(want.JOYSTICK_ROOT):
            # The fixture's own key: without it nothing below proves anything.
            problems.append("the fixture's joystick root key is not in system.reg")
        else:
            scenario.registry(hive, problems)
            if scenario.differential:
                problems += differential_problems(paths, scenario, outcome)
        return problems
    return check


def text_section(exe):
    """Where gyrsetup.exe's .text is loaded, and how long it is."""
    pe = PeFile(exe)
    text = next(s for s in pe.sections if s.name == ".text")
    return pe.image_base + text.virtual_address, text.virtual_size


def run(scenario, paths, keep, deadline):
    # Where qemu-i386 runs Wine's 32-bit side, some scenarios trace the code they ran for
    # e2e.executed_code_386, rather than that test running them all again.
    program_env = None
    if scenario.name in traces.TRACED:
        program_env = traces.program_env(paths.e2e_dir, scenario.name,
                                         *text_section(paths.installer))
    signals.set_deadline(deadline)
    try:
        outcome, problems = machine.run_installer(
            paths, scenario.name, os.path.join(FIXTURES, scenario.fixture), scenario.controllers, scenario.user,
            check_outcome(scenario, paths), waits=WAITS, keep=keep,
            work_length=scenario.work_length, windows_version=scenario.windows_version,
            program_env=program_env)
    except (Exception, signals.DeadlineExceeded) as error:
        # The machine has ended its processes and kept its folder for the next run to keep.
        print(f"{scenario.name}: FAIL {type(error).__name__}: {error}")
        return 1
    finally:
        signals.set_deadline(0)
    print(f"{scenario.name}: exit {outcome.exit_code}, {outcome.notifications()} notifications, "
          f"{outcome.broadcasts} broadcasts, queries "
          f"{ {p: outcome.queries(p) for p in outcome.simulator_logs} }")
    for shot in outcome.screenshots:
        print(f"  screenshot {shot}")
    with contextlib.suppress(OSError):
        print("  phases: " + ", ".join(f"{name} {seconds:.1f} s" for name, _, seconds in
                                        read_phases(os.path.join(outcome.work_dir,
                                                                 "phases.tsv"))))
    if problems:
        print(f"  work directory kept: {outcome.work_dir}")
        for p in problems:
            print(f"  FAIL {p}")
        return 1
    if program_env:
        traces.mark_passed(paths.e2e_dir, scenario.name)
        print(f"  the code it ran is traced in {traces.folder(paths.e2e_dir, scenario.name)}")
    print("  ok")
    return 0


def main():
    parser = argparse.ArgumentParser(description="gyrsetup.exe end-to-end scenarios under Wine")
    parser.add_argument("--list", action="store_true", help="print the scenario names")
    parser.add_argument("--native-build", default="build/native")
    parser.add_argument("--win32-build", default="build/win32")
    parser.add_argument("--simulator", default="", help="controller simulator (default: the native build's)")
    parser.add_argument("--keep", action="store_true", help="keep the prefix copy")
    parser.add_argument("--deadline", type=int, default=DEADLINE,
                        help="seconds one scenario may take before it is stopped and cleaned up")
    parser.add_argument("names", nargs="*", help="scenarios to run (default: all)")
    args = parser.parse_args()
    if args.list:
        for s in SCENARIOS:
            print(s.name)
        return 0
    paths = native.Paths(os.path.abspath(args.native_build), os.path.abspath(args.win32_build),
                                 os.path.abspath(args.simulator) if args.simulator else "")
    missing = paths.missing()
    if missing:
        print("not built: " + ", ".join(missing))
        return 1
    chosen = [s for s in SCENARIOS if not args.names or s.name in args.names]
    unknown = set(args.names) - {s.name for s in SCENARIOS}
    if unknown:
        print(f"unknown scenarios: {sorted(unknown)}")
        return 2
    failed = sum(run(s, paths, args.keep, args.deadline) for s in chosen)
    return 1 if failed else 0


if __name__ == "__main__":
    commands.main(main, lambda name: f"stopped by {name}; the run's processes are ended and "
                                     "its prefix kept")
