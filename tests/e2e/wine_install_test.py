#!/usr/bin/env python3
"""scripts/wine-install against the controller simulator, as a new user would run it.

    wine_install_test.py --simulator SIM --exe GYRSETUP.EXE --work DIR

A fresh prefix of its own (which has none of the joystick driver's keys), no display, and
the simulator behind a link whose path does not change between runs. The installer must
report the controller found and installed, and the prefix's registry must hold COM1 for
joystick 1 and the controller's joystick type.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "wine"))

import machine  # noqa: E402
import joystick_keys as want  # noqa: E402
import wine_registry  # noqa: E402
import wine_runner  # noqa: E402
from demo import text_of  # noqa: E402

SCRIPT = os.path.join(machine.SOURCE_ROOT, "scripts", "wine-install")


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
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True, help="folder for the prefix and the logs (emptied)")
    args = parser.parse_args()
    wine_runner.cleanup_on_signals()
    work = os.path.abspath(args.work)
    prefix = os.path.join(work, "prefix")
    pid_file = os.path.join(os.path.dirname(work), os.path.basename(work) + ".pids")
    wine_runner.end_recorded_processes(pid_file)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    link = os.path.join(work, "gyrelle")
    problems = []
    simulators = machine.SimulatorSet(args.simulator, work, pid_file)
    try:
        simulators.start(machine.Controller(1, ("--link", link)))
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WINEPREFIX")}
        env["WINEPREFIX"] = prefix
        output_path = os.path.join(work, "wine-install.out")
        started = time.monotonic()
        with open(output_path, "wb") as out:
            result = subprocess.run([SCRIPT, "--exe", args.exe, link], env=env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                    timeout=600, check=False)
        with open(output_path, errors="replace") as f:
            output = f.read()
        print(output)
        print(f"scripts/wine-install took {time.monotonic() - started:.0f} s")
        if result.returncode != 0:
            problems.append(f"scripts/wine-install exited {result.returncode}")
        for needed in ('"Gyrelle Detection": "Gyrelle detected and installed"',
                       "COM1: answered",
                       "Wine's own joystick support does not read these entries"):
            if needed not in output:
                problems.append(f"the output does not say {needed!r}")
        if 'a message box "' in output:
            problems.append("a message box was shown")
        problems += registry_problems(wine_registry.Hive(os.path.join(prefix, "system.reg")))
    finally:
        simulators.stop()
        wine_runner.end_recorded_processes(pid_file)
        # wine-install ends the prefix's session; leftovers of a failed run go here.
        wine_runner.end_wine_session(prefix, wine_runner.base_environment(prefix, None),
                                     os.path.join(work, "wineserver.log"), kill=True)
    for problem in problems:
        print(f"FAIL {problem}")
    if problems:
        print(f"the prefix and the logs are kept in {work}")
        return 1
    shutil.rmtree(prefix, ignore_errors=True)
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
