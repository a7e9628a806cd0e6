#!/usr/bin/env python3
"""Runs gyrsetup.exe under Wine against a serial device of this machine (scripts/wine-install).

    wine_install.py [--exe GYRSETUP.EXE] DEVICE

The prefix is $WINEPREFIX, or ~/gyrelle-prefix; a missing one is made (32-bit), an existing
one is reused. DEVICE becomes COM1, the one serial port the registry counts, and the prefix
gets the registry keys a Windows 95 joystick driver leaves, which Wine does not make. The
program runs on $DISPLAY, where you answer its windows, or on an Xvfb of its own, where
this script presses OK. Then it prints what was shown and written.
"""

import argparse
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
             '"PortName"="COM1"', ""]
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


def prepare_prefix(prefix, device, logs):
    """Makes or reuses the 32-bit prefix and gives it the keys, the port and Wine's fonts.
    Ends with the prefix's Wine session down, so that the next one links COM1 anew."""
    env = wine_runner.base_environment(prefix, None)
    log_path = os.path.join(logs, "prepare.log")
    arch = prefix_arch(prefix)
    if arch == "win64":
        raise wine_runner.WineError(f"{prefix} is a 64-bit prefix; the installer's Wine side is "
                                    "32-bit: set WINEPREFIX to a new folder")
    if arch is None:
        say(f"making a 32-bit Wine prefix in {prefix} (a minute or two)")
        if wine_runner.run_to_files(["wineboot", "-i"], env, log_path, timeout=600, cwd=logs) != 0:
            raise wine_runner.WineError(f"wineboot -i failed; see {log_path}")
    else:
        say(f"reusing the Wine prefix {prefix}; its Wine session is ended so that COM1 is "
            "linked to the device")
    settings = os.path.join(logs, "machine.reg")
    with open(settings, "w", newline="") as f:
        f.write(machine_keys(device))
    rc = wine_runner.run_to_files(["wine", "regedit", "/S", wine_runner.windows_path(settings)],
                                  env, log_path, timeout=300, cwd=logs)
    if rc != 0:
        raise wine_runner.WineError(f"regedit of {settings} failed ({rc}); see {log_path}")
    wine_runner.install_wine_fonts(prefix)
    wine_runner.end_wine_session(prefix, env, log_path, kill=True)


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
        # The registry reaches system.reg when the session ends.
        wine_runner.end_wine_session(prefix, env, os.path.join(logs, "wineserver.log"))
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", default=DEFAULT_EXE, help="the gyrsetup.exe to run")
    parser.add_argument("device", help="the Linux serial device of the controller, e.g. /dev/ttyUSB0")
    args = parser.parse_args()
    wine_runner.cleanup_on_signals()

    device = os.path.abspath(args.device)
    if not os.path.exists(device):
        say(f"no such device: {device}")
        return 2
    if not os.access(device, os.R_OK | os.W_OK):
        say(f"{device} cannot be opened for reading and writing: add yourself to its group "
            "(usually dialout) and log in again")
        return 2
    prefix = os.path.abspath(os.path.expanduser(os.environ.get("WINEPREFIX") or DEFAULT_PREFIX))
    display = os.environ.get("DISPLAY")
    logs = os.path.join(prefix, "gyrsetup-logs")
    try:
        ensure_built(args.exe)
        shutil.rmtree(logs, ignore_errors=True)
        os.makedirs(logs)
        prepare_prefix(prefix, device, logs)
        if display:
            say(f"running gyrsetup.exe on your display {display}; answer its window there")
            outcome, shown = run_installer(prefix, args.exe, display, logs, wait_for_user=True)
        else:
            say("no DISPLAY: running gyrsetup.exe on an Xvfb of its own and pressing OK in "
                "its windows")
            with wine_runner.Xvfb(os.path.join(logs, "xvfb.log")) as xvfb:
                outcome, shown = run_installer(prefix, args.exe, xvfb.display, logs,
                                               wait_for_user=False)
    except (wine_runner.WineError, subprocess.CalledProcessError) as error:
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
    say(f"done in {time.monotonic() - started:.0f} s")
    sys.exit(code)
