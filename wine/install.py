#!/usr/bin/env python3
"""Runs gyrsetup.exe under Wine against a serial device of this machine (scripts/wine-install).

    scripts/wine-install [--exe GYRSETUP.EXE] DEVICE

DEVICE must be a serial line (a terminal device). The prefix is $WINEPREFIX, or ~/gyrelle-prefix; a missing one is made (32-bit), an existing
one is reused. DEVICE becomes COM1, the one serial port the registry counts, and the prefix
gets the registry keys a Windows 95 joystick driver leaves, which Wine does not make. The
program runs on $DISPLAY, where you answer its windows, or on an Xvfb of its own, where
this script presses OK. Then it prints what was shown and written.
"""

import argparse
import datetime
import stat
import os
import shutil
import subprocess
import sys
import time
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import demo  # noqa: E402
import machine  # noqa: E402
import joystick_keys as keys  # noqa: E402
import wine_registry  # noqa: E402
import wine_runner  # noqa: E402

SOURCE_ROOT = machine.SOURCE_ROOT
DEFAULT_EXE = os.path.join(SOURCE_ROOT, "build", "win32", "app", "gyrsetup.exe")
DEFAULT_PREFIX = os.path.join("~", "gyrelle-prefix")
WINE_NOTE = ("Wine's own joystick support does not read these entries: the run shows the "
             "detection and what Windows 95 would be given.")


def say(message):
    print(f"wine-install: {message}", flush=True)


def machine_keys(device):
    """The .reg text that makes the prefix a Windows 95 machine with the joystick driver
    set up and DEVICE on COM1.

    Wine links COM ports from its Ports key at every session start. It refills the
    serialcomm map with names the installer does not count, so COM1 is counted through a
    root-enumerated port instance. The joystick driver key is named as Wine's
    joyGetDevCapsA(-1) reports it.
    """
    lines = ["REGEDIT4", "",
             "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]",
             f'"COM1"="{wine_runner.reg_escape(device)}"', "",
             "[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP0500\\0000]",
             '"PortName"="COM1"', "",
             # gyrsetup.exe alone answers as Windows 95; other programs keep the prefix's version.
             "[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\gyrsetup.exe]",
             '"Version"="win95"', ""]
    for key in (keys.JOYSTICK_ROOT, keys.DRIVER_KEY, keys.CURRENT_SETTINGS, keys.OEM_TYPES):
        lines += [f"[HKEY_LOCAL_MACHINE\\{key}]", ""]
    return "\r\n".join(lines)


def prefix_arch(prefix):
    """"win32", "win64", or None when the folder holds no Wine prefix yet."""
    try:
        with open(os.path.join(prefix, "system.reg"), errors="replace") as f:
            head = f.read(4096)
    except FileNotFoundError:
        return None
    return "win64" if "#arch=win64" in head else "win32"


REGISTRY_FILES = ("system.reg", "user.reg", "userdef.reg")
ADDED_KEYS = ("HKLM\\Software\\Wine\\Ports: \"COM1\"",
              "HKLM\\Enum\\Root\\*PNP0500\\0000: \"PortName\"=\"COM1\"",
              "HKLM\\" + keys.JOYSTICK_ROOT, "HKLM\\" + keys.DRIVER_KEY,
              "HKLM\\" + keys.CURRENT_SETTINGS, "HKLM\\" + keys.OEM_TYPES,
              "HKCU\\Software\\Wine\\AppDefaults\\gyrsetup.exe: \"Version\"=\"win95\"")


def is_serial_device(path):
    """A character device that is a terminal, opened without waiting and closed at once."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError:
        return False
    try:
        return stat.S_ISCHR(os.fstat(fd).st_mode) and os.isatty(fd)
    finally:
        os.close(fd)


def back_up_registry(prefix):
    """Copies the registry files beside them, the date and time in their names."""
    stamp = datetime.datetime.now().strftime("%Y-%m-%d-%H%M%S")
    copies = []
    for name in REGISTRY_FILES:
        source = os.path.join(prefix, name)
        if not os.path.isfile(source):
            continue
        copy = f"{source}.before-wine-install-{stamp}"
        n = 1
        while os.path.exists(copy):
            n += 1
            copy = f"{source}.before-wine-install-{stamp}-{n}"
        shutil.copy2(source, copy)
        copies.append(copy)
    return copies


def current_com1(prefix):
    hive = wine_registry.Hive(os.path.join(prefix, "system.reg"))
    value = hive.value("Software\\Wine\\Ports", "COM1")
    if value:
        return value[1].split(b"\0", 1)[0].decode(errors="replace")
    link = os.path.join(prefix, "dosdevices", "com1")
    return os.readlink(link) if os.path.islink(link) else None


def announce_changes(prefix, device):
    """Before the first change to a prefix this run did not make: copies and the plan."""
    say(f"reusing the Wine prefix {prefix}; its registry files are copied first:")
    for copy in back_up_registry(prefix):
        say(f"  {copy}")
    try:
        before = current_com1(prefix)
    except (OSError, wine_registry.HiveFormatError):
        before = None
    say("it changes:")
    say(f"  COM1: linked to {device}" + (f" (in place of {before})" if before else ""))
    for key in ADDED_KEYS:
        say(f"  adds or sets {key}")
    say("  adds Wine's font files the Fonts folder lacks (no font file is replaced), "
        "C:\\gyrsetup\\gyrsetup.exe and the folder gyrsetup-logs")


def prepare_prefix(prefix, device, logs, created):
    """Gives the prefix (made by wineboot when created) the keys, the port and the fonts it
    lacks. Ends with the session this run started down, so that the next one links COM1."""
    env = wine_runner.base_environment(prefix, None)
    log_path = os.path.join(logs, "prepare.log")
    if created:
        say(f"making a 32-bit Wine prefix in {prefix} (a minute or two)")
        if wine_runner.run_to_files(["wineboot", "-i"], env, log_path, timeout=600, cwd=logs) != 0:
            raise wine_runner.WineError(f"wineboot -i failed; see {log_path}")
    settings = os.path.join(logs, "machine.reg")
    with open(settings, "w", newline="") as f:
        f.write(machine_keys(device))
    rc = wine_runner.run_to_files(["wine", "regedit", "/S", wine_runner.windows_path(settings)],
                                  env, log_path, timeout=300, cwd=logs)
    if rc != 0:
        raise wine_runner.WineError(f"regedit of {settings} failed ({rc}); see {log_path}")
    wine_runner.install_wine_fonts(prefix, keep_existing=True)
    if not wine_runner.wait_for_session_end(env, log_path):
        raise wine_runner.WineError(f"Wine programs are running in {prefix}: close them, then "
                                    "run wine-install again")


def run_installer(prefix, exe, display, logs, wait_for_user):
    """Runs gyrsetup.exe from C:\\gyrsetup; returns (Outcome, list of what it showed)."""
    target = os.path.join(prefix, "drive_c", "gyrsetup")
    os.makedirs(target, exist_ok=True)
    shutil.copy2(exe, os.path.join(target, "gyrsetup.exe"))
    env = wine_runner.base_environment(prefix, display)
    program_log = os.path.join(logs, "gyrsetup.log")
    outcome = machine.Outcome(work_dir=logs)
    shown = []
    with open(program_log, "wb") as out:
        program = subprocess.Popen(["wine", "C:\\gyrsetup\\gyrsetup.exe"],
                                   env=dict(env, WINEDEBUG=machine.MESSAGE_BOX_DEBUG),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=out, cwd=target,
                                   start_new_session=True)
    # A prefix of the user's own: its windows are managed, and an Xvfb of our own has no
    # window manager to focus them.
    user = machine.User(types.SimpleNamespace(env=env), program, logs, outcome, program_log,
                            gives_focus=not wait_for_user)
    try:
        demo.answer_windows(pause=0, wait_for_user=wait_for_user, shown=shown)(user)
    finally:
        if not user.wait_exit(660 if wait_for_user else 90):
            outcome.user_problems.append("the installer did not exit; killed")
            wine_runner.kill_group(program)
        outcome.exit_code = program.returncode
        # The registry reaches system.reg when the session ends; its programs are ours,
        # ended through their process group if they linger.
        server_log = os.path.join(logs, "wineserver.log")
        if not wine_runner.wait_for_session_end(env, server_log):
            wine_runner.kill_group(program)
            if not wine_runner.wait_for_session_end(env, server_log, timeout=30):
                outcome.user_problems.append(f"Wine programs still run in {prefix}")
    with open(program_log, errors="replace", newline="") as f:
        outcome.program_output = f.read()
    outcome.message_boxes = machine.message_box_texts(outcome.program_output)
    outcome.hive = wine_registry.Hive(os.path.join(prefix, "system.reg"))
    return outcome, shown


def ensure_built(exe):
    if os.path.isfile(exe):
        return
    if os.path.abspath(exe) != DEFAULT_EXE:
        raise wine_runner.WineError(f"{exe} does not exist")
    say("gyrsetup.exe is not built yet: building it (scripts/build dist)")
    subprocess.run([os.path.join(SOURCE_ROOT, "scripts", "build"), "dist"], check=True)


def check_prefix(prefix):
    """Why the prefix cannot be used, in one line, or None; changes nothing."""
    if os.path.exists(prefix) and not os.path.isdir(prefix):
        return f"{prefix} is not a folder: set WINEPREFIX to a folder"
    if prefix_arch(prefix) == "win64":
        return (f"{prefix} is a 64-bit prefix; the installer's Wine side is 32-bit: set "
                "WINEPREFIX to a new folder")
    existing = prefix
    while not os.path.exists(existing):
        existing = os.path.dirname(existing)
    if not os.access(existing, os.W_OK | os.X_OK):
        return f"{existing} is not writable: set WINEPREFIX to a folder you can write"
    if wine_runner.server_running(prefix):
        return f"Wine programs are running in {prefix}: close them, then run wine-install again"
    return None


def main():
    parser = argparse.ArgumentParser(prog="scripts/wine-install",
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", default=DEFAULT_EXE, help="the gyrsetup.exe to run")
    parser.add_argument("device", help="the Linux serial device of the controller, e.g. /dev/ttyUSB0")
    args = parser.parse_args()
    wine_runner.cleanup_on_signals()

    device = os.path.abspath(args.device)
    if os.path.exists(device) and stat.S_ISCHR(os.stat(device).st_mode) and \
            not os.access(device, os.R_OK | os.W_OK):
        say(f"{device} cannot be opened for reading and writing: add yourself to its group "
            "(usually dialout) and log in again")
        return 2
    if not is_serial_device(device):
        say(f"{args.device} is not a serial device")
        return 2
    prefix = os.path.abspath(os.path.expanduser(os.environ.get("WINEPREFIX") or DEFAULT_PREFIX))
    display = os.environ.get("DISPLAY")
    logs = os.path.join(prefix, "gyrsetup-logs")
    try:
        refusal = check_prefix(prefix)
        if refusal:
            say(refusal)
            return 1
        ensure_built(args.exe)
        created = prefix_arch(prefix) is None
        if not created:
            announce_changes(prefix, device)
        shutil.rmtree(logs, ignore_errors=True)
        os.makedirs(logs)
        prepare_prefix(prefix, device, logs, created)
        if display:
            say(f"running gyrsetup.exe on your display {display}; answer its window there")
            outcome, shown = run_installer(prefix, args.exe, display, logs, wait_for_user=True)
        else:
            say("no DISPLAY: running gyrsetup.exe on an Xvfb of its own and pressing OK in "
                "its windows")
            with wine_runner.Xvfb(os.path.join(logs, "xvfb.log")) as xvfb:
                outcome, shown = run_installer(prefix, args.exe, xvfb.display, logs,
                                               wait_for_user=False)
    except (wine_runner.WineError, subprocess.CalledProcessError, OSError) as error:
        say(f"failed: {error}")
        return 1
    demo.report(outcome, shown, [
        ("machine", f"the Wine prefix {prefix}, with the joystick driver's registry keys"),
        ("controller", f"{device}, as COM1"),
        ("display", f"your display {display}; you answered" if display
                    else "an Xvfb of its own; OK was pressed in each window")],
        driver_note="Joystick driver notices are not recorded here: only the end-to-end "
                    "tests' own driver counts them.")
    print("")
    print(WINE_NOTE)
    for problem in outcome.user_problems:
        say(f"problem: {problem}")
    return 0 if outcome.exit_code == 0 and shown and not outcome.user_problems else 1


if __name__ == "__main__":
    started = time.monotonic()
    code = main()
    if code == 0:
        say(f"done in {time.monotonic() - started:.0f} s")
    sys.exit(code)
