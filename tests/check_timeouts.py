#!/usr/bin/env python3
"""Fails when a test of the tree has no time-out, so that no hung test can hold a run; with
--labels, when a test has no label, so that no test falls outside every "ctest -L" selection.

check_timeouts.py CTEST BUILD_DIR [--labels]
"""
import json
import subprocess
import sys


def timed(test):
    return any(p["name"] == "TIMEOUT" and float(p["value"]) > 0
               for p in test.get("properties", []))


def labelled(test):
    return any(p["name"] == "LABELS" and p["value"] for p in test.get("properties", []))


def main():
    ctest, build = sys.argv[1:3]
    check, lacking = (labelled, "LABELS") if sys.argv[3:] == ["--labels"] else (timed, "TIMEOUT")
    listing = subprocess.run([ctest, "--test-dir", build, "--show-only=json-v1"],
                             capture_output=True, text=True, check=True)
    tests = json.loads(listing.stdout)["tests"]
    failing = [t["name"] for t in tests if not check(t)]
    for name in failing:
        print(f"FAIL: {name} has no {lacking}")
    if not tests:
        print("FAIL: ctest listed no test at all")
        return 1
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main())
