// Stand-in declarations for the native build; included through platform/win32.h only.
// The registry calls the product makes, with the Windows signatures and results, served by
// the in-memory store of platform/registry_store.cpp.
#pragma once

// The predefined root keeps its Windows value, so a handle printed in a log reads the same.
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)((LONG)0x80000002))

#define ERROR_BAD_PATHNAME 161L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR sub_key, PHKEY result);
LONG WINAPI RegCreateKeyA(HKEY key, LPCSTR sub_key, PHKEY result);
LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD name_size);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD data_size);
LONG WINAPI RegSetValueExA(HKEY key, LPCSTR value_name, DWORD reserved, DWORD type,
                           const BYTE* data, DWORD data_size);
LONG WINAPI RegFlushKey(HKEY key);
LONG WINAPI RegCloseKey(HKEY key);
