// The one seam between the product and the platform. Product code includes this header
// and calls the platform by its own names (RegOpenKeyA, joyGetDevCapsA, DialogBoxParamA).
// On Windows those are the real API; elsewhere the declarations below are served by the
// stand-ins of this folder, which tests drive.
#pragma once

#ifdef _WIN32

#include <windows.h>
#include <mmsystem.h>

#else

#include <cstddef>
#include <cstdint>

// Win32's integer types keep their Windows widths on every host: LONG and DWORD are 32 bits.
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef UINT MMRESULT;

typedef void* HANDLE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef struct HICON__* HICON;
typedef struct HICON__* HCURSOR;
typedef struct HBRUSH__* HBRUSH;
typedef struct HMENU__* HMENU;
typedef struct HGDIOBJ__* HGDIOBJ;
typedef struct HDRVR__* HDRVR;

#define WINAPI
#define CALLBACK
#define APIENTRY

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define MAKEINTRESOURCEA(i) ((LPSTR)(uintptr_t)(WORD)(i))

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L

#include "platform/registry.h"
#include "platform/joystick.h"
#include "platform/windowing.h"

#endif
