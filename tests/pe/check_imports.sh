#!/bin/bash
# Fails when the executable is not a Windows 4.0 GUI program or imports a DLL beyond
# kernel32, user32, gdi32, advapi32, winmm and msvcrt; prints every imported function so
# that one newer than Windows 95 stands out in review.
set -euo pipefail
exe=$1
dump=$(i686-w64-mingw32-objdump -p "$exe")

fail=0
check() {  # field, expected
    local got
    got=$(awk -v f="$1" '$1 == f { print $2; exit }' <<<"$dump")
    if [ "$got" != "$2" ]; then
        echo "FAIL: $1 is '$got', expected '$2'"
        fail=1
    fi
}
check Subsystem 00000002
check MajorSubsystemVersion 4
check MinorSubsystemVersion 0
check MajorOSystemVersion 4
check MinorOSystemVersion 0

allowed="kernel32.dll user32.dll gdi32.dll advapi32.dll winmm.dll msvcrt.dll"
current=""
while IFS= read -r line; do
    if [[ $line =~ DLL\ Name:\ (.+)$ ]]; then
        current=$(tr 'A-Z' 'a-z' <<<"${BASH_REMATCH[1]}")
        if [[ " $allowed " == *" $current "* ]]; then
            echo "$current"
        else
            echo "$current   <-- FAIL: not allowed"
            fail=1
        fi
    elif [ -n "$current" ] && [[ $line =~ ^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+([A-Za-z_][A-Za-z0-9_@]*)$ ]]; then
        echo "    ${BASH_REMATCH[1]}"
    elif [[ -z ${line// } ]]; then
        current=""
    fi
done <<<"$dump"

if [ "$fail" -ne 0 ]; then
    exit 1
fi
echo "imports ok"
