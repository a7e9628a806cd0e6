#!/usr/bin/env python3
"""Fails when a test of the tree has no time-out, so that no hung test can hold a run.

check_timeouts.py CTEST BUILD_DIR
"""
import json
import subprocess
import sys


def main():
    ctest, build = sys.argv[1:3]
    listing = subprocess.run([ctest, "--test-dir", build, "--show-only=json-v1"],
                             capture_output=True, text=True, check=True)
    tests = json.loads(listing.stdout)["tests"]
    untimed = [t["name"] for t in tests
               if not any(p["name"] == "TIMEOUT" and float(p["value"]) > 0
                          for p in t.get("properties", []))]
    for name in untimed:
        print(f"FAIL: {name} has no TIMEOUT")
    if not tests:
        print("FAIL: ctest listed no test at all")
        return 1
    return 1 if untimed else 0


if __name__ == "__main__":
    sys.exit(main())
