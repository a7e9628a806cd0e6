#!/usr/bin/env python3
"""scripts/wine-install against the controller simulator, as a new user would run it.

    wine_install_test.py --simulator SIM --exe GYRSETUP.EXE --work DIR

A fresh prefix of its own (which has none of the joystick driver's keys), no display, and
the simulator behind a link whose path does not change between runs. The installer must
report the controller found and installed, and the prefix's registry must hold COM1 for
joystick 1 and the controller's joystick type. The prefix is then reused as a user's would
be, refused while a Wine program of the user's runs in it, and a run in it is stopped with
Ctrl-C while the installer runs.
"""

import argparse
import contextlib
import os
import shutil
import signal
import time

import commands
from wine import joystick_keys as want
from wine import machine, processes, registry, wineserver
from wine import waits as waiting
from wine.report import text_of

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "scripts", "wine-install")
# The waits scripts/wine-install is given here, shorter than a user's where a user's would
# not fit this test's own time-out (e2e.wine_install's TIMEOUT), which check_timeouts.py
# holds above total_path().
SCRIPT_WAITS = "wineboot=240,import_keys=120,x_tool=10,screenshot=15,gdb=30"
WAITS = waiting.parse(SCRIPT_WAITS, waiting.recipe(on_users_display=False))
# The test's own waits: a run refused at once, Wine starting a program of the user's, a run
# reaching its installer, and its end after Ctrl-C.
REFUSED = 60
WINE_STARTS = 60
INSTALLER_STARTS = 180
STOPS = 60
FAILED_MARK = "FAILED"


def total_path():
    """The longest this test can take when each of its waits runs out: a refused DEVICE
    twice, the run that makes the prefix, the reuse, the busy prefix, the stopped run."""
    return (2 * REFUSED + script_time(True) + script_time(False) + WINE_STARTS + REFUSED
            + INSTALLER_STARTS + STOPS + 2 * WAITS.session_close())


def script_time(making):
    """One run of the script: its own path, and Python's start and the words around it."""
    return waiting.recipe_path(WAITS, making) + 30


def registry_problems(hive):
    problems = []
    name = hive.value(want.CURRENT_SETTINGS, "Joystick1OEMName")
    if name is None or text_of(name[1]) != "Tessaline":
        problems.append(f'joystick 1 is not of the type "Tessaline": Joystick1OEMName {name!r}')
    for joystick in (1, 16):
        record = hive.value(want.TYPE_SETTINGS, f"Joystick{joystick}OEMConfiguration")
        if record != (want.REG_BINARY, want.oem_configuration(1)):
            problems.append(f"joystick {joystick}'s OEM configuration is {record!r}, want COM1 in "
                            f"{want.oem_configuration(1).hex(' ')}")
    oem_name = hive.value(want.OEM_TYPE, "OEMNAME")
    if not hive.has_key(want.OEM_TYPE) or oem_name is None or text_of(oem_name[1]) != "Brennick Gyrelle":
        problems.append(f"no OEM\\Tessaline key naming \"Brennick Gyrelle\" (OEMNAME {oem_name!r})")
    name = hive.value(want.CURRENT_SETTINGS, "Joystick1OEMName")
    if name != (want.REG_SZ, b"Tessaline\0"):
        problems.append(f'"Tessaline" is not stored as Windows 95 stores it (10 bytes): {name!r}')
    return problems


def run_script(argv, env, output_path, owned, timeout):
    """The script's exit code (None when it was stopped at the time-out) and its output."""
    return commands.run_script(SCRIPT, ["--waits", SCRIPT_WAITS] + argv, env, output_path,
                               owned, timeout)


def snapshot(prefix):
    """The registry files' bytes and the prefix's top-level names."""
    files = {}
    for name in ("system.reg", "user.reg", "userdef.reg"):
        with open(os.path.join(prefix, name), "rb") as f:
            files[name] = f.read()
    return files, sorted(os.listdir(prefix))


def not_serial_problems(work, env, owned):
    """A regular file and a folder as DEVICE: exit 2, one line, no prefix made."""
    problems = []
    regular = os.path.join(work, "not-a-device")
    with open(regular, "w") as f:
        f.write("text\n")
    folder = os.path.join(work, "a-folder")
    os.makedirs(folder)
    for device in (regular, folder):
        rc, output = run_script([device], env, os.path.join(work, "not-serial.out"), owned,
                                REFUSED)
        if rc != 2 or output.strip() != f"wine-install: {device} is not a serial device":
            problems.append(f"{device} as DEVICE: exit {rc}, said {output!r}")
        if os.path.exists(env["WINEPREFIX"]):
            problems.append(f"{device} as DEVICE made the prefix")
    return problems


def reuse_problems(args, work, prefix, link, env, pid_file, owned):
    """The prefix made above, now the user's: a process naming it, a font and a key of the
    user's survive a second run, whose registry copies equal the registry before it; a Wine
    program of the user's running there makes the next run refuse and change nothing."""
    problems = []
    font = os.path.join(prefix, "drive_c", "windows", "Fonts", "tahoma.ttf")
    with open(font, "wb") as f:
        f.write(b"the user's own tahoma")
    with open(os.path.join(prefix, "user.reg"), "a", newline="\n") as f:
        f.write('\n[Software\\\\UsersOwn] 1700000000\n"Kept"="yes"\n')
    sleeper = processes.start_unowned(["sleep", "600"], env=env)
    processes.record_process(pid_file, sleeper)
    before, _ = snapshot(prefix)
    rc, output = run_script(["--exe", args.exe, link], env, os.path.join(work, "reuse.out"),
                            owned, script_time(False))
    print(output)
    if rc != 0 or "Gyrelle detected and installed" not in output:
        problems.append(f"the run in the reused prefix exited {rc}; its logs are in "
                        f"{newest_logs(prefix)}")
    if sleeper.poll() is not None:
        problems.append("the process naming the prefix was ended")
    with open(font, "rb") as f:
        if f.read() != b"the user's own tahoma":
            problems.append("the user's tahoma.ttf was replaced")
    with open(os.path.join(prefix, "user.reg")) as f:
        if "[Software\\\\UsersOwn]" not in f.read():
            problems.append("the user's key is gone")
    for name, data in before.items():
        copies = [line.split("  ", 1)[1].strip() for line in output.splitlines()
                  if line.startswith("wine-install:   /") and f"/{name}." in line]
        if len(copies) != 1 or not os.path.isfile(copies[0]):
            problems.append(f"no copy of {name} was named: {copies!r}")
            continue
        with open(copies[0], "rb") as f:
            if f.read() != data:
                problems.append(f"{copies[0]} differs from {name} before the run")
    if f'wine-install:   sets HKLM\\Software\\Wine\\Ports: "COM1"="{link}" (as it is already)' \
            not in output.splitlines() or "AppDefaults\\gyrsetup.exe" not in output:
        problems.append("the run did not say what it changes")
    processes.end_groups([sleeper], grace=0)

    # A Wine program of the user's that waits for input.
    wine_env = wineserver.base_environment(prefix, None)
    program = processes.start_unowned(["wine", "cmd"], env=wine_env, stdin=processes.PIPE,
                                      stdout=processes.DEVNULL, stderr=processes.DEVNULL)
    processes.record_process(pid_file, program)
    try:
        waiting.poll(lambda: wineserver.server_running(prefix), WINE_STARTS, every=0.2)
        time.sleep(2)
        before = snapshot(prefix)
        rc, output = run_script(["--exe", args.exe, link], env, os.path.join(work, "busy.out"),
                                owned, REFUSED)
        want_line = (f"wine-install: Wine programs are running in {prefix}: close them, then "
                     "run wine-install again")
        if rc != 1 or output.strip() != want_line:
            problems.append(f"with a Wine program running: exit {rc}, said {output!r}")
        if program.poll() is not None:
            problems.append("the user's Wine program was ended")
        if snapshot(prefix) != before:
            problems.append("the prefix changed although Wine programs were running")
    finally:
        # The test made this prefix: ending its session is the test's to do.
        wineserver.end_session(prefix, wine_env, os.path.join(work, "wineserver.log"), owned,
                               WAITS, kill=True)
        processes.end_groups([program], grace=0)
    return problems


def newest_logs(prefix):
    """The folder of the last run's logs, kept for whoever reads a failure."""
    root = os.path.join(prefix, "gyrsetup-logs")
    runs = sorted(os.listdir(root)) if os.path.isdir(root) else []
    return os.path.join(root, runs[-1]) if runs else root


def interrupt_problems(args, work, prefix, link, env, owned):
    """Ctrl-C while the installer runs in a reused prefix: exit 130 within seconds, no
    traceback, the registry copies and the command that restores them named, and no Wine
    session of the prefix left."""
    problems = []
    output_path = os.path.join(work, "interrupted.out")
    earlier = newest_logs(prefix)
    with open(output_path, "wb") as out:
        run = owned.popen([SCRIPT, "--waits", SCRIPT_WAITS, "--exe", args.exe, link], env=env,
                          stdout=out, stderr=processes.STDOUT)

    def installer_running():
        if newest_logs(prefix) == earlier:
            return False
        program_log = os.path.join(newest_logs(prefix), "gyrsetup.log")
        with contextlib.suppress(FileNotFoundError), open(program_log, errors="replace") as f:
            return "UdComOpen:" in f.read()
        return False

    try:
        # Stopped once the installer has begun to open COM1: it is running, mid-probe.
        running = waiting.poll(installer_running, INSTALLER_STARTS, every=0.2,
                               give_up=lambda: run.poll() is not None)
        if run.poll() is not None or not running:
            problems.append(f"the run to interrupt never started the installer (exit "
                            f"{run.poll()})")
            return problems
        sent = time.monotonic()
        # As a terminal sends Ctrl-C: to the command's process group.
        owned.signal(run, signal.SIGINT)
        rc = owned.wait(run, STOPS)
        if rc is None:
            problems.append(f"Ctrl-C did not end wine-install within {STOPS} s")
            return problems
        took = time.monotonic() - sent
    finally:
        if run.poll() is None:
            owned.stop(run, "wine-install after Ctrl-C", output_path + ".stuck")
    with open(output_path, errors="replace") as f:
        output = f.read()
    print(output)
    print(f"wine-install ended {took:.1f} s after Ctrl-C; the installer's log then:")
    with open(os.path.join(newest_logs(prefix), "gyrsetup.log"), errors="replace") as f:
        print(f.read())
    lines = output.splitlines()
    if rc != 130:
        problems.append(f"after Ctrl-C wine-install exited {rc}, want 130")
    if "Traceback" in output:
        problems.append("Ctrl-C ended in a traceback")
    copies = [line.split("  ", 1)[1].strip() for line in lines
              if line.startswith("wine-install:   /") and ".before-wine-install-" in line]
    if not copies or not all(os.path.isfile(c) for c in copies):
        problems.append(f"no registry copy was named after Ctrl-C: {copies!r}")
    if f"wine-install: {prefix} may hold part of this run's changes; its registry as it was " \
            "before is in:" not in lines or not any(line.startswith("wine-install:   cp -p ")
                                                    for line in lines):
        problems.append("after Ctrl-C, nothing said how to restore the registry")
    if wineserver.server_running(prefix):
        problems.append("a Wine session of the prefix is left after Ctrl-C")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True, help="folder for the prefix and the logs (emptied)")
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    prefix = os.path.join(work, "prefix")
    pid_file = os.path.join(os.path.dirname(work), os.path.basename(work) + ".pids")
    processes.end_recorded_processes(pid_file)
    keep_failed(work, prefix)
    os.makedirs(work)
    link = os.path.join(work, "gyrelle")
    problems = []
    owned = processes.Owned.of(WAITS)
    simulators = machine.SimulatorSet(args.simulator, work, pid_file, owned, WAITS)
    try:
        simulators.start(machine.Controller(1, ("--link", link)))
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WINEPREFIX")}
        env["WINEPREFIX"] = prefix
        problems += not_serial_problems(work, env, owned)
        started = time.monotonic()
        rc, output = run_script(["--exe", args.exe, link], env,
                                os.path.join(work, "wine-install.out"), owned, script_time(True))
        print(output)
        print(f"scripts/wine-install took {time.monotonic() - started:.0f} s")
        if rc != 0:
            problems.append(f"scripts/wine-install exited {rc}; its logs are in "
                            f"{newest_logs(prefix)}")
        for needed in ('"Gyrelle Detection": "Gyrelle detected and installed"',
                       "COM1: answered",
                       "Wine's own joystick support does not read these entries"):
            if needed not in output:
                problems.append(f"the output does not say {needed!r}")
        last = output.rstrip("\n").rsplit("\n", 1)[-1]
        if not last.startswith('wine-install: installed: the installer showed "Gyrelle detected '
                               'and installed"') or "(exit status 0, " not in last:
            problems.append(f"the last line does not say it installed: {last!r}")
        if 'a message box "' in output:
            problems.append("a message box was shown")
        problems += registry_problems(registry.Hive(os.path.join(prefix, "system.reg")))
        if not problems:
            problems += reuse_problems(args, work, prefix, link, env, pid_file, owned)
        if not problems:
            problems += interrupt_problems(args, work, prefix, link, env, owned)
    finally:
        simulators.stop()
        owned.end_all()
        processes.end_recorded_processes(pid_file)
        # wine-install ends the prefix's session; leftovers of a failed run go here.
        if os.path.isdir(prefix):
            wineserver.end_session(prefix, wineserver.base_environment(prefix, None),
                                   os.path.join(work, "wineserver.log"), owned, WAITS,
                                   kill=True)
    for problem in problems:
        print(f"FAIL {problem}")
    if problems:
        with open(os.path.join(work, FAILED_MARK), "w") as f:
            f.write("\n".join(problems) + "\n")
        print(f"the prefix and the logs are kept in {work}; the next run keeps them in "
              f"{work}.failed")
        return 1
    remove_prefix(prefix)
    print("ok")
    return 0


def remove_prefix(prefix):
    """The prefix, and what its ended sessions left in Wine's temporary folders."""
    wineserver.remove_server_folders(prefix)
    shutil.rmtree(prefix, ignore_errors=True)


def keep_failed(work, prefix):
    """Empties the work folder for this run; a failed run's folder is moved aside first,
    in place of the failed one kept before it."""
    if os.path.exists(os.path.join(work, FAILED_MARK)):
        shutil.rmtree(work + ".failed", ignore_errors=True)
        os.rename(work, work + ".failed")
    elif os.path.isdir(prefix):
        remove_prefix(prefix)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    commands.main(main)
