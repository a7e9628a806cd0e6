#!/bin/bash
# Fails when the executable imports a DLL or a function beyond the table below: the five
# system DLLs of Windows 95 and only functions that Windows 95 as first released exports.
# Prints what is imported.
set -euo pipefail
objdump=$1
exe=$2

# DLL            functions
allowed_table() {
    cat <<'TABLE'
kernel32.dll     CreateFileA GetCommState BuildCommDCBA SetCommState EscapeCommFunction
kernel32.dll     SetCommTimeouts GetCommTimeouts PurgeComm ReadFile WriteFile FlushFileBuffers
kernel32.dll     CloseHandle GetLastError SetLastError Sleep GetTickCount ClearCommError SetupComm
kernel32.dll     GetModuleHandleA GetCommandLineA GetStartupInfoA ExitProcess GetStdHandle
kernel32.dll     GetProcessHeap HeapAlloc HeapFree LocalAlloc LocalFree GlobalAlloc GlobalFree
kernel32.dll     lstrlenA lstrcpyA lstrcpynA lstrcmpA lstrcmpiA lstrcatA
kernel32.dll     MultiByteToWideChar WideCharToMultiByte
user32.dll       RegisterClassA CreateWindowExA ShowWindow UpdateWindow GetMessageA
user32.dll       TranslateMessage DispatchMessageA DefWindowProcA PostQuitMessage LoadIconA
user32.dll       LoadCursorA DialogBoxParamA EndDialog GetDlgItem SendMessageA SendDlgItemMessageA
user32.dll       GetClientRect IsWindowVisible BeginPaint EndPaint ValidateRect
user32.dll       RegisterWindowMessageA PostMessageA wsprintfA wvsprintfA MessageBoxA DestroyWindow
gdi32.dll        GetStockObject
advapi32.dll     RegOpenKeyA RegCreateKeyA RegEnumKeyA RegQueryValueExA RegSetValueExA
advapi32.dll     RegFlushKey RegCloseKey
winmm.dll        joyGetDevCapsA OpenDriver SendDriverMessage CloseDriver
TABLE
}

declare -A allowed
while read -r dll functions; do
    for function in $functions; do allowed["$dll $function"]=1; done
    allowed["$dll"]=1
done < <(allowed_table)

fail=0
current=""
count=0
while IFS= read -r line; do
    if [[ $line =~ DLL\ Name:\ (.+)$ ]]; then
        current=$(tr 'A-Z' 'a-z' <<<"${BASH_REMATCH[1]}")
        if [ -n "${allowed[$current]:-}" ]; then
            echo "$current"
        else
            echo "$current   <-- FAIL: not one of the five system DLLs"
            fail=1
        fi
    elif [ -z "$current" ]; then
        continue
    elif [[ -z ${line// } ]]; then
        current=""
    elif [[ $line =~ ^[[:space:]]+vma: ]]; then
        continue
    elif [[ $line =~ ^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+([A-Za-z_][A-Za-z0-9_@]*)$ ]]; then
        function=${BASH_REMATCH[1]}
        count=$((count + 1))
        if [ -n "${allowed[$current $function]:-}" ]; then
            echo "    $function"
        else
            echo "    $function   <-- FAIL: not in the table"
            fail=1
        fi
    else
        # By ordinal, or anything else the table cannot vouch for.
        echo "    ${line#"${line%%[![:space:]]*}"}   <-- FAIL: not an import by a listed name"
        fail=1
    fi
done < <("$objdump" -p "$exe")

if [ "$fail" -ne 0 ]; then
    exit 1
fi
echo "imports ok: $count functions, all in the table"
