#!/usr/bin/env python3
"""Where the time of the tests goes: the phases of one end-to-end scenario, or the critical
path of the last whole CTest run.

    python3 bench/test_times.py [--build build/native] scenario NAME
    python3 bench/test_times.py [--build build/native] run [-j JOBS]

scenario: the phases the harness timed as the scenario last ran (the phases.tsv of its
work folder), in order, with their share of the whole.

run: each test's time as CTest recorded it (Testing/Temporary/LastTest.log), the tests
that must run first (CTest's fixtures, from ctest --show-only=json-v1), and from these: the
total per label, the longest chain of tests that wait on each other, and the run laid out
on JOBS lanes the way CTest starts tests (the longest ready test first), whose last lane to
end is the run's critical path. scripts/test notes the run's wall time beside it.
"""

import argparse
import collections
import glob
import json
import os
import re
import subprocess
import sys


def scenario_phases(build, name):
    found = [p for p in glob.glob(os.path.join(build, "e2e", "runs", "**", "phases.tsv"),
                                  recursive=True)
             if os.path.basename(os.path.dirname(p)) == name]
    if not found:
        sys.exit(f"no phases.tsv of the scenario {name} under {build}/e2e/runs: run it first "
                 f"(ctest --test-dir {build} -R e2e.{name})")
    path = max(found, key=os.path.getmtime)
    rows = []
    with open(path) as f:
        for line in f:
            phase, start, seconds = line.rstrip("\n").split("\t")
            rows.append((phase, float(start), float(seconds)))
    return path, rows


def print_scenario(build, name):
    path, rows = scenario_phases(build, name)
    # The harness's phases run one after another; what lies between them is its own time.
    total = max(start + seconds for _, start, seconds in rows) if rows else 0
    print(f"{name}: {total:.1f} s from its prefix copy to its checks ({path})")
    print(f"  {'phase':<36}{'starts at':>10}{'seconds':>10}{'share':>8}")
    for phase, start, seconds in rows:
        print(f"  {phase:<36}{start:>10.2f}{seconds:>10.2f}{100 * seconds / total:>7.0f}%")
    covered = sum(seconds for _, _, seconds in rows)
    print(f"  {'between the phases (the harness)':<36}{'':>10}{total - covered:>10.2f}"
          f"{100 * (total - covered) / total:>7.0f}%")


def recorded_times(build):
    """{test name: seconds} from CTest's log of the last run."""
    path = os.path.join(build, "Testing", "Temporary", "LastTest.log")
    times, current = {}, None
    with open(path, errors="replace") as f:
        for line in f:
            started = re.match(r"\d+/\d+ Test: (.+)$", line.rstrip("\n"))
            if started:
                current = started[1]
                continue
            took = re.match(r"Test time =\s*([0-9.]+) sec", line)
            if took and current:
                times[current] = float(took[1])
                current = None
    return path, times


def test_graph(build):
    """{name: (labels, [names of the tests it waits for])} from CTest's own listing."""
    listing = json.loads(subprocess.run(
        ["ctest", "--test-dir", build, "--show-only=json-v1"], check=True,
        stdout=subprocess.PIPE, text=True).stdout)
    props = {}
    for test in listing["tests"]:
        values = {p["name"]: p["value"] for p in test.get("properties", [])}
        props[test["name"]] = values
    setups = collections.defaultdict(list)
    for name, values in props.items():
        for fixture in values.get("FIXTURES_SETUP", []):
            setups[fixture].append(name)
    graph = {}
    for name, values in props.items():
        waits = [s for fixture in values.get("FIXTURES_REQUIRED", []) for s in setups[fixture]
                 if s != name]
        graph[name] = (values.get("LABELS", []), waits)
    return graph


def longest_chain(graph, times):
    memo = {}

    def chain(name):
        if name not in memo:
            before = max((chain(w) for w in graph[name][1] if w in times),
                         key=lambda c: c[0], default=(0.0, []))
            memo[name] = (before[0] + times[name], before[1] + [name])
        return memo[name]
    return max((chain(n) for n in graph if n in times), key=lambda c: c[0])


def lay_out(graph, times, jobs):
    """The run on JOBS lanes: each free lane takes the longest test whose fixtures are
    done. Returns (end, {name: (start, end, lane)})."""
    pending = {n for n in graph if n in times}
    done_at, placed = {}, {}
    lanes = [0.0] * jobs
    while pending:
        lane = min(range(jobs), key=lambda i: lanes[i])
        now = lanes[lane]
        ready = [n for n in pending
                 if all(w in done_at and done_at[w] <= now for w in graph[n][1] if w in times)]
        if not ready:
            # Wait for the next test to end elsewhere.
            later = [t for t in done_at.values() if t > now] + [t for t in lanes if t > now]
            lanes[lane] = min(later)
            continue
        name = max(ready, key=lambda n: times[n])
        pending.discard(name)
        placed[name] = (now, now + times[name], lane)
        done_at[name] = lanes[lane] = now + times[name]
    return max(lanes), placed


def print_run(build, jobs):
    path, times = recorded_times(build)
    graph = test_graph(build)
    times = {n: t for n, t in times.items() if n in graph}
    if not times:
        sys.exit(f"no test times in {path}: run the tests first (scripts/test)")
    total = sum(times.values())
    print(f"{len(times)} tests as CTest last recorded them ({path}): {total:.0f} s of test "
          f"time in all")
    by_label = collections.defaultdict(float)
    for name, seconds in times.items():
        labels = graph[name][0] or ["(none)"]
        by_label[labels[-1] if "e2e" not in labels else "e2e"] += seconds
    for label, seconds in sorted(by_label.items(), key=lambda item: -item[1]):
        print(f"  {label:<10}{seconds:>8.0f} s")
    print("\nthe longest tests:")
    for name, seconds in sorted(times.items(), key=lambda item: -item[1])[:8]:
        print(f"  {seconds:>7.1f} s  {name}")
    length, chain = longest_chain(graph, times)
    print(f"\nthe longest chain of tests that wait on each other ({length:.0f} s):")
    print("  " + " -> ".join(f"{n} ({times[n]:.0f} s)" for n in chain))
    end, placed = lay_out(graph, times, jobs)
    print(f"\non {jobs} lanes, started as CTest starts them, the run takes about {end:.0f} s "
          f"(at best {max(total / jobs, length):.0f} s: the total over the lanes, or the "
          "longest chain)")
    last = max(placed.values(), key=lambda p: p[1])[2]
    path_tests = sorted((p[0], n) for n, p in placed.items() if p[2] == last)
    print(f"its critical path, the lane that ends last ({len(path_tests)} tests):")
    wall_file = os.path.join(build, "ctest-wall-seconds")
    for start, name in path_tests:
        if times[name] >= 1 or name.startswith("e2e"):
            print(f"  {start:>6.0f} s  {times[name]:>6.1f} s  {name}")
    short = [n for _, n in path_tests if times[n] < 1 and not n.startswith("e2e")]
    if short:
        print(f"  and {len(short)} tests of under a second each "
              f"({sum(times[n] for n in short):.1f} s)")
    if os.path.exists(wall_file):
        with open(wall_file) as f:
            print(f"\nthe run's wall time, as scripts/test measured it: {f.read().strip()} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build/native", help="the native build tree")
    sub = parser.add_subparsers(dest="command", required=True)
    one = sub.add_parser("scenario", help="the phases of one end-to-end scenario")
    one.add_argument("name")
    whole = sub.add_parser("run", help="the critical path of the last CTest run")
    whole.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if args.command == "scenario":
        print_scenario(build, args.name)
    else:
        print_run(build, args.jobs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
