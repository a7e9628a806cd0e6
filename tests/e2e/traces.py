#!/usr/bin/env python3
"""The code of gyrsetup.exe that qemu-i386 ran, traced while scenarios run anyway.

Where Wine's 32-bit side runs under qemu-i386, three scenarios run the installer with
qemu logging every block of its .text that it translates; e2e.executed_code_386 then
checks those logs. Each CTest run begins with a new run id (e2e.traces_begin, which also
empties the folder), each traced scenario that passed writes that id beside its logs, and
the check refuses a folder without the current id: it reads only traces this run wrote.

    traces.py begin --e2e DIR      empty DIR/executed-code and write a new run id
"""

import argparse
import os
import shutil
import sys
import uuid

# The result dialog after probing absent ports, the port-selection dialog, and the message
# box of a machine without the joystick driver's keys: between them they take the install's
# paths through both dialogs, both hardware records and what the user is told otherwise.
TRACED = ("controller_on_port3_of_4", "not_found_user_picks_com3", "no_joystick_driver_keys")
BINFMT = "/proc/sys/fs/binfmt_misc"
RUN_ID = "run-id"
PASSED = "passed"


def qemu_runs_i386():
    """Whether binfmt_misc hands i386 programs to qemu-i386 (it is asked before the
    kernel's own ELF loader)."""
    try:
        with open(os.path.join(BINFMT, "status")) as f:
            if f.read().strip() != "enabled":
                return False
        entries = os.listdir(BINFMT)
    except OSError:
        return False
    for entry in entries:
        try:
            with open(os.path.join(BINFMT, entry)) as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        if lines and lines[0] == "enabled" and any(
                line.startswith("interpreter ") and line.endswith("qemu-i386") for line in lines):
            return True
    return False


def root(e2e_dir):
    return os.path.join(e2e_dir, "executed-code")


def folder(e2e_dir, name):
    return os.path.join(root(e2e_dir), name)


def _read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except FileNotFoundError:
        return None


def begin(e2e_dir):
    """A new run id, and nothing left of an earlier run's traces."""
    shutil.rmtree(root(e2e_dir), ignore_errors=True)
    os.makedirs(root(e2e_dir))
    run_id = uuid.uuid4().hex
    with open(os.path.join(root(e2e_dir), RUN_ID), "w") as f:
        f.write(run_id + "\n")
    return run_id


def program_env(e2e_dir, name, text_start, text_size):
    """The installer's environment for a scenario that is traced in this run, or None: not
    one of TRACED, no qemu-i386, or no run begun (a scenario run by hand)."""
    if name not in TRACED or not qemu_runs_i386():
        return None
    run_id = _read(os.path.join(root(e2e_dir), RUN_ID))
    if not run_id:
        return None
    target = folder(e2e_dir, name)
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    # %d: one log per process; without it each process overwrites the last one's.
    return {"QEMU_LOG": "in_asm", "QEMU_DFILTER": f"{text_start:#x}+{text_size:#x}",
            "QEMU_LOG_FILENAME": os.path.join(target, "q.%d.log")}


def mark_passed(e2e_dir, name):
    """Notes that the traced scenario passed in the run whose id it started under."""
    run_id = _read(os.path.join(root(e2e_dir), RUN_ID))
    target = folder(e2e_dir, name)
    if run_id and os.path.isdir(target):
        with open(os.path.join(target, PASSED), "w") as f:
            f.write(run_id + "\n")


def problems(e2e_dir):
    """Why the traces cannot be read as this run's, one line each."""
    run_id = _read(os.path.join(root(e2e_dir), RUN_ID))
    if not run_id:
        return [f"no run id in {root(e2e_dir)}: e2e.traces_begin did not run"]
    found = []
    for name in TRACED:
        passed = _read(os.path.join(folder(e2e_dir, name), PASSED))
        if passed != run_id:
            found.append(f"the scenario {name} left no passing trace in this run "
                         f"({folder(e2e_dir, name)}: run id {passed!r}, want {run_id!r})")
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--e2e", required=True, help="the end-to-end folder of the build")
    parser.add_argument("command", choices=["begin"])
    args = parser.parse_args()
    print(f"traces of this run go to {root(args.e2e)} (run id {begin(os.path.abspath(args.e2e))})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
