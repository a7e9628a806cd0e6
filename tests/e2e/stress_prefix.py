#!/usr/bin/env python3
"""Makes new Wine prefixes the way scripts/wine-install makes one (wineboot -i, then the
import of the machine's keys, then the wait for the session's end), N times, and says how
many hung.

    PYTHONPATH=. python3 -P tests/e2e/stress_prefix.py [--runs N] [--at-once K]
        [--load COMMAND] [--timeout SECONDS] [--work DIR]

--at-once runs K makings side by side, as two end-to-end tests run at once; --load runs a
command over and over beside them for as long as they last (a CTest run of the unit tests,
say), as the rest of a CTest run loads the machine. A making that does not end within the
time-out is stopped, the state of its stuck processes saved first (their threads' wait
channels and stacks), in WORK/NNN/. Each making's logs stay in WORK/NNN; its prefix (half a
gigabyte) is removed unless it failed. Not part of the test suite: a making takes half a
minute or more under qemu-i386.
"""

import argparse
import dataclasses
import os
import shutil
import sys
import time

import commands
from wine import install, processes, signals, wineserver
from wine import waits as waiting

HERE = os.path.abspath(__file__)


def make_one(prefix, timeout):
    """One making, as wine-install's first run in a new prefix does it; the exit status."""
    signals.stop_on_signals()
    waits = dataclasses.replace(waiting.recipe(on_users_display=False), wineboot=timeout,
                                import_keys=timeout)
    run = install.Run("/dev/gyrelle-stress", prefix, exe=None, display=None, waits=waits)
    run.created = True
    os.makedirs(prefix, exist_ok=True)
    with open(os.path.join(prefix, install.OWN_MARKER), "w") as f:
        f.write("stress\n")
    run.make_logs()
    started = time.monotonic()
    try:
        run.prepare()
    except (processes.WineError, install.PrefixBusy) as error:
        print(f"FAILED after {time.monotonic() - started:.0f} s: {error}", flush=True)
        # A session that did not end is left for the caller to end, with its state saved.
        return 1
    print(f"made in {time.monotonic() - started:.1f} s; logs in {run.logs}", flush=True)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--at-once", type=int, default=1)
    parser.add_argument("--load", help="a shell command run over and over beside the makings")
    parser.add_argument("--timeout", type=int, default=180,
                        help="seconds each Wine step may take before it counts as hung")
    parser.add_argument("--work", default=os.path.join(os.path.dirname(os.path.dirname(
        os.path.dirname(HERE))), "build", "stress-prefix"))
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        return make_one(args.one, args.timeout)

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    waits = waiting.recipe(on_users_display=False)
    owned = processes.Owned.of(waits)
    load = None
    if args.load:
        with open(os.path.join(work, "load.log"), "wb") as out:
            load = owned.popen(["sh", "-c", f"while :; do {args.load}; done"], stdout=out,
                               stderr=out)
    running, results, next_run = {}, [], 1
    began = time.monotonic()
    try:
        while next_run <= args.runs or running:
            while next_run <= args.runs and len(running) < args.at_once:
                folder = os.path.join(work, f"{next_run:03d}")
                os.makedirs(folder)
                with open(os.path.join(folder, "making.out"), "wb") as out:
                    proc = owned.popen([sys.executable, "-P", HERE, "--one",
                                        os.path.join(folder, "prefix"), "--timeout",
                                        str(args.timeout)],
                                       stdout=out, stderr=processes.STDOUT)
                running[proc] = (next_run, folder, time.monotonic())
                next_run += 1
            time.sleep(0.5)
            for proc in [p for p in running if p.poll() is not None]:
                n, folder, started = running.pop(proc)
                owned.forget(proc)
                prefix = os.path.join(folder, "prefix")
                leftover = wineserver.server_running(prefix)
                if leftover:
                    processes.save_state(os.path.join(folder, "left.stuck"),
                                         "a session left running after the making",
                                         prefix=prefix)
                    wineserver.end_session(prefix, wineserver.base_environment(prefix, None),
                                           os.path.join(folder, "end.log"), owned, waits,
                                           kill=True)
                ok = proc.returncode == 0 and not leftover
                with open(os.path.join(folder, "making.out"), errors="replace") as f:
                    said = f.read().strip().splitlines()
                results.append((n, ok, time.monotonic() - started, folder))
                print(f"making {n:3d}: {'made' if ok else 'FAILED'} in "
                      f"{time.monotonic() - started:.0f} s"
                      + ("" if ok else f": {said[-1] if said else '(no output)'}"), flush=True)
                if ok:
                    wineserver.remove_server_folders(prefix)
                    shutil.rmtree(prefix, ignore_errors=True)
    finally:
        owned.end_all()
    made = sum(1 for r in results if r[1])
    times = sorted(r[2] for r in results if r[1])
    median = times[len(times) // 2] if times else 0
    print(f"\n{made} of {len(results)} makings ended in time ({args.at_once} at once"
          f"{', beside: ' + args.load if args.load else ''}); median {median:.0f} s, "
          f"{time.monotonic() - began:.0f} s in all; logs in {work}")
    for n, ok, seconds, folder in results:
        if not ok:
            print(f"  making {n} failed: see {folder} (*.stuck: the stuck processes' state)")
    return 0 if made == len(results) else 1


if __name__ == "__main__":
    commands.main(main, lambda name: f"stress: stopped by {name}; the makings so far are in "
                                     "the work folder")
