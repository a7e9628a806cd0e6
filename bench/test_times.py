#!/usr/bin/env python3
"""Where the time of the tests goes: the phases of one end-to-end scenario, or the critical
path of the last whole CTest run.

    python3 bench/test_times.py [--build build/native] scenario NAME
    python3 bench/test_times.py [--build build/native] run

scenario: the phases the harness timed as the scenario last ran (the phases.tsv of its
work folder), in order, with their share of the whole.

run: each test's time as CTest printed it in the last scripts/test (build/native/
ctest-output.log), with the order it started and ended them in, and the tests that must run
first (CTest's fixtures, from ctest --show-only=json-v1): the total per label, the longest
tests, the longest chain of tests that wait on each other's fixtures, and the critical path,
from the test that ended last back through the test whose end let each one start.
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


def recorded_run(build):
    """The last run as CTest told it (the ctest-output.log scripts/test keeps): each test's
    start and end, rebuilt from the order of CTest's lines (a test starts when the test
    whose end CTest printed last ended). Returns (path, {name: (start, end)}, {name: the
    test whose end let it start, or None})."""
    path = os.path.join(build, "ctest-output.log")
    if not os.path.exists(path):
        sys.exit(f"no {path}: run the tests with scripts/test first")
    clock, last_ended = 0.0, None
    started, spans, after = {}, {}, {}
    with open(path, errors="replace") as f:
        for line in f:
            start = re.match(r"\s+Start\s+\d+: (\S+)", line)
            if start:
                started[start[1]] = clock
                after[start[1]] = last_ended
                continue
            end = re.match(r"\s*\d+/\d+ Test\s+#\d+: (\S+) .*?([0-9.]+) sec", line)
            if end and end[1] in started:
                ended = started[end[1]] + float(end[2])
                spans[end[1]] = (started[end[1]], ended)
                clock, last_ended = max(clock, ended), end[1]
    return path, spans, after


def test_graph(build):
    """{name: (labels, [names of the tests it waits for])} from CTest's own listing."""
    listing = json.loads(subprocess.run(
        ["ctest", "--test-dir", build, "--show-only=json-v1"], check=True,
        stdout=subprocess.PIPE, text=True).stdout)
    props = {}
    for test in listing["tests"]:
        values = {p["name"]: p["value"] for p in test.get("properties", [])}
        # A value-parameterised case's name ends in "  # GetParam() = ...", which CTest's
        # lines leave out.
        props[test["name"].split("  #")[0].strip()] = values
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


def print_run(build):
    path, spans, after = recorded_run(build)
    graph = test_graph(build)
    times = {n: end - start for n, (start, end) in spans.items()}
    if not times:
        sys.exit(f"no test times in {path}: run the tests first (scripts/test)")
    total = sum(times.values())
    end = max(e for _, e in spans.values())
    print(f"{len(times)} tests as CTest last ran them ({path}): {total:.0f} s of test time, "
          f"{end:.0f} s from the first start to the last end")
    by_label = collections.defaultdict(float)
    for name, seconds in times.items():
        labels = graph.get(name, ([], []))[0] or ["(none)"]
        by_label[next((l for l in ("e2e", "asan", "fuzz", "pe", "dist") if l in labels),
                      labels[-1])] += seconds
    for label, seconds in sorted(by_label.items(), key=lambda item: -item[1]):
        print(f"  {label:<10}{seconds:>8.0f} s")
    print("\nthe longest tests:")
    for name, seconds in sorted(times.items(), key=lambda item: -item[1])[:8]:
        print(f"  {seconds:>7.1f} s  {name}")
    known = {n: g for n, g in graph.items() if n in times}
    if known:
        length, chain = longest_chain(known, times)
        print(f"\nthe longest chain of tests that wait on each other's fixtures ({length:.0f} s):")
        print("  " + " -> ".join(f"{n} ({times[n]:.0f} s)" for n in chain))
    # The critical path: from the test that ended last, back through the test whose end
    # let each one start.
    path_tests, name = [], max(spans, key=lambda n: spans[n][1])
    while name is not None:
        path_tests.append(name)
        name = after.get(name)
    path_tests.reverse()
    print(f"\nthe critical path ({len(path_tests)} tests, each started when the one before "
          "it ended):")
    for name in path_tests:
        if times[name] >= 1:
            print(f"  {spans[name][0]:>6.0f} s  {times[name]:>6.1f} s  {name}")
    short = [n for n in path_tests if times[n] < 1]
    if short:
        print(f"  and {len(short)} tests of under a second each "
              f"({sum(times[n] for n in short):.1f} s)")
    wall_file = os.path.join(build, "ctest-wall-seconds")
    if os.path.exists(wall_file):
        with open(wall_file) as f:
            print(f"\nthe run's wall time, as scripts/test measured it: {f.read().strip()} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build/native", help="the native build tree")
    sub = parser.add_subparsers(dest="command", required=True)
    one = sub.add_parser("scenario", help="the phases of one end-to-end scenario")
    one.add_argument("name")
    sub.add_parser("run", help="the critical path of the last CTest run")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if args.command == "scenario":
        print_scenario(build, args.name)
    else:
        print_run(build)
    return 0


if __name__ == "__main__":
    sys.exit(main())
