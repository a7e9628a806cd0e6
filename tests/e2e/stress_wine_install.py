#!/usr/bin/env python3
"""Repeats scripts/wine-install's run in a reused prefix N times and says how many passed.

    PYTHONPATH=. python3 tests/e2e/stress_wine_install.py --simulator SIM --exe GYRSETUP.EXE [--work DIR] [--runs N]
                           [--script PATH] [--no-user-font] [--same-prefix]
                           [--env NAME=VALUE ...]

Made the way e2e.wine_install makes it: a fresh prefix made by the script once, then the
user's own tahoma.ttf (garbage bytes) and a key of the user's added. Every run starts from
a copy of that prefix, so each is the test's reused-prefix run; with --same-prefix, each
runs at once in the prefix the run before it left, as the test's run follows the one that
made the prefix. The simulator sits on a pty behind a link that keeps its path, and no
DISPLAY is given, so the script runs its own Xvfb. Each run's output and the installer's
logs are kept in WORK/runs/NN. Not part of the test suite: a run takes 20 s to a minute.
It ends only the processes it started and the Wine session of its own prefix.
"""

import argparse
import contextlib
import os
import shutil
import time

import commands
from wine import machine, processes, wineserver
from wine import waits as waiting

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "scripts", "wine-install")
PASSED = "Gyrelle detected and installed"
WAITS = waiting.recipe(on_users_display=False)


def end_session(prefix, log_path, owned):
    """Ends what is left of this prefix's own session; it is no one else's."""
    if os.path.isdir(prefix) and wineserver.server_running(prefix):
        wineserver.end_session(prefix, wineserver.base_environment(prefix, None), log_path,
                               owned, WAITS, kill=True)


def keep_logs(prefix, run_dir):
    """Copies the logs of the script's latest run, which has a folder of its own."""
    root = os.path.join(prefix, "gyrsetup-logs")
    with contextlib.suppress(FileNotFoundError):
        runs = [os.path.join(root, name) for name in os.listdir(root)]
        runs = [path for path in runs if os.path.isdir(path)]
        if not runs:
            return
        latest = max(runs, key=os.path.getmtime)
        for name in os.listdir(latest):
            source = os.path.join(latest, name)
            if os.path.isfile(source):
                shutil.copy2(source, os.path.join(run_dir, name))


def tail(path, count):
    with contextlib.suppress(FileNotFoundError), open(path, errors="replace") as f:
        return [line.rstrip("\r\n") for line in f.readlines()[-count:]]
    return ["(no such file)"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", default=os.path.join(ROOT, "build",
                                                       "stress-wine-install"),
                        help="folder for the prefix and the logs (emptied first)")
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--script", default=SCRIPT, help="the wine-install command to run")
    parser.add_argument("--no-user-font", action="store_true",
                        help="leave out the user's garbage tahoma.ttf")
    parser.add_argument("--same-prefix", action="store_true",
                        help="run each time in the prefix as the run before left it, with no copy")
    parser.add_argument("--env", action="append", default=[], metavar="NAME=VALUE",
                        help="set in the runs' environment (QEMU_LOG, say)")
    args = parser.parse_args()

    work = os.path.abspath(args.work)
    prefix = os.path.join(work, "prefix")
    original = os.path.join(work, "prefix-reused")
    pid_file = os.path.join(os.path.dirname(work), os.path.basename(work) + ".pids")
    processes.end_recorded_processes(pid_file)
    owned = processes.Owned.of(WAITS)
    for folder in (prefix, original):
        end_session(folder, os.devnull, owned)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "runs"))
    link = os.path.join(work, "gyrelle")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WINEPREFIX")}
    env["WINEPREFIX"] = prefix
    for setting in args.env:
        name, _, value = setting.partition("=")
        env[name] = value
    simulators = machine.SimulatorSet(args.simulator, work, pid_file, owned, WAITS)
    results = []
    run_time = waiting.recipe_path(WAITS, making=True) + 30
    try:
        simulators.start(machine.Controller(1, ("--link", link)))
        rc, output = commands.run_script(args.script, ["--exe", args.exe, link], env,
                                         os.path.join(work, "make-prefix.out"), owned, run_time)
        keep_logs(prefix, work)
        if rc != 0 or PASSED not in output:
            print(output)
            print(f"stress: making the prefix failed ({rc}); logs in {work}")
            return 1
        end_session(prefix, os.path.join(work, "wineserver.log"), owned)
        if not args.no_user_font:
            with open(os.path.join(prefix, "drive_c", "windows", "Fonts", "tahoma.ttf"), "wb") as f:
                f.write(b"the user's own tahoma")
        with open(os.path.join(prefix, "user.reg"), "a", newline="\n") as f:
            f.write('\n[Software\\\\UsersOwn] 1700000000\n"Kept"="yes"\n')
        if not args.same_prefix:
            os.rename(prefix, original)
        for n in range(1, args.runs + 1):
            run_dir = os.path.join(work, "runs", f"{n:02d}")
            os.makedirs(run_dir)
            if not args.same_prefix:
                shutil.rmtree(prefix, ignore_errors=True)
                owned.step(["cp", "-a", original, prefix], None,
                           os.path.join(run_dir, "copy.log"), WAITS.copy_template,
                           "the copy of the prefix")
            started = time.monotonic()
            rc, output = commands.run_script(args.script, ["--exe", args.exe, link], env,
                                             os.path.join(run_dir, "wine-install.out"), owned,
                                             run_time)
            seconds = time.monotonic() - started
            keep_logs(prefix, run_dir)
            leftover = wineserver.server_running(prefix)
            end_session(prefix, os.path.join(run_dir, "stress-wineserver.log"), owned)
            ok = rc == 0 and PASSED in output and not leftover
            results.append((n, ok, rc, run_dir))
            print(f"run {n:2d}: {'passed' if ok else 'FAILED'} (exit {rc}, {seconds:.0f} s"
                  f"{', its Wine session was left running' if leftover else ''})", flush=True)
    finally:
        simulators.stop()
        owned.end_all()
        processes.end_recorded_processes(pid_file)
        end_session(prefix, os.path.join(work, "wineserver.log"), owned)
        shutil.rmtree(original, ignore_errors=True)

    passed = sum(1 for r in results if r[1])
    print(f"\n{passed} of {len(results)} runs passed; logs in {work}/runs")
    for n, ok, rc, run_dir in results:
        if ok:
            continue
        print(f"\nrun {n} (exit {rc}), {run_dir}:")
        print("  wine-install.out ends:")
        print("\n".join("    " + line for line in tail(os.path.join(run_dir, "wine-install.out"), 6)))
        print("  gyrsetup.log ends:")
        print("\n".join("    " + line for line in tail(os.path.join(run_dir, "gyrsetup.log"), 8)))
    if results and passed == len(results):
        # Each run's logs are in runs/; the prefix (half a gigabyte) is kept only for a failure.
        shutil.rmtree(prefix, ignore_errors=True)
        return 0
    print(f"the last run's prefix is kept in {prefix}")
    return 1


if __name__ == "__main__":
    commands.main(main, lambda name: f"stress: stopped by {name}; the runs so far are in the "
                                     "work folder")
