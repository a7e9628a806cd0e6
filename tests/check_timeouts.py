#!/usr/bin/env python3
"""Fails when a test of the tree has no time-out, so that no hung test can hold a run, and
when a Wine test's time-out does not hold the path of its waits: each wait run out, then
the clean-up, must end inside CTest's time-out, so that the test says what hung. With
--labels, fails when a test has no label, so that no test falls outside every "ctest -L"
selection.

check_timeouts.py CTEST BUILD_DIR [--labels]
"""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.dirname(HERE), os.path.join(HERE, "e2e")]


def timed(test):
    return any(p["name"] == "TIMEOUT" and float(p["value"]) > 0
               for p in test.get("properties", []))


def labelled(test):
    return any(p["name"] == "LABELS" and p["value"] for p in test.get("properties", []))


def main():
    ctest, build = sys.argv[1:3]
    labels = sys.argv[3:] == ["--labels"]
    check, lacking = (labelled, "LABELS") if labels else (timed, "TIMEOUT")
    listing = subprocess.run([ctest, "--test-dir", build, "--show-only=json-v1"],
                             capture_output=True, text=True, check=True)
    tests = json.loads(listing.stdout)["tests"]
    failing = [t["name"] for t in tests if not check(t)]
    for name in failing:
        print(f"FAIL: {name} has no {lacking}")
    short = [] if labels else too_short(
        {t["name"]: float(p["value"]) for t in tests for p in t.get("properties", [])
         if p["name"] == "TIMEOUT"})
    for line in short:
        print(f"FAIL: {line}")
    if not tests:
        print("FAIL: ctest listed no test at all")
        return 1
    return 1 if failing or short else 0


def too_short(timeouts):
    """The Wine tests whose CTest time-out is shorter than their waits' path."""
    import scenarios
    import wine_install_test
    needs = {f"e2e.{s.name}": (scenarios.DEADLINE + scenarios.WAITS.cleanup(),
                               f"a deadline of {scenarios.DEADLINE} s and its clean-up")
             for s in scenarios.SCENARIOS}
    needs["e2e.template_prefix"] = (scenarios.WAITS.template_path(),
                                    "the template's making, each step run out")
    needs["e2e.wine_install"] = (wine_install_test.total_path()
                                 + wine_install_test.WAITS.cleanup(),
                                 "its runs of scripts/wine-install and their clean-up")
    return [f"{name} has a TIMEOUT of {timeouts[name]:.0f} s, under the {need:.0f} s of {what}"
            for name, (need, what) in sorted(needs.items())
            if name in timeouts and timeouts[name] < need]


if __name__ == "__main__":
    sys.exit(main())
