#!/bin/bash
# Fails when the device link's test seams (the reset, the attach, the clock setter and the
# list of open ports) are defined in the unstripped link output: only tests call them, so
# the linker must have dropped them from the program.
set -euo pipefail
nm=$1
exe=$2
seams='ResetDeviceLinkState|ResetSerialChannelState|AttachDeviceForTesting|SetDeviceLinkClock|RememberOpenPort|ForgetOpenPort|CloseOpenPorts|open_ports|open_port_count'
# What the linker dropped is at most listed as undefined.
found=$("$nm" -C --defined-only "$exe" | grep -E "$seams" || true)
if [ -n "$found" ]; then
    echo "FAIL: test seams linked into $(basename "$exe"):"
    echo "$found"
    exit 1
fi
echo "no test seam in $(basename "$exe")"
