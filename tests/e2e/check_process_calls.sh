#!/bin/bash
# Fails when a Python file of wine/ or tests/e2e starts, signals or ends a process itself:
# wine/processes.py is the one place that does, so that every process has an owner, a
# time-out ends its whole group (TERM, then KILL) and a stop saves what is stuck.
set -euo pipefail
root=$1
calls='import subprocess|from subprocess|os\.kill\(|os\.killpg\(|\.send_signal\(|\.terminate\(|\.kill\('
found=$(cd "$root" && grep -nE "$calls" --include='*.py' -r wine tests/e2e |
    grep -v '^wine/processes\.py:' || true)
if [ -n "$found" ]; then
    echo "FAIL: process calls outside wine/processes.py:"
    echo "$found"
    exit 1
fi
echo "no process call outside wine/processes.py"
