// Stand-in declarations for the native build; included through platform/win32.h only.
// The joystick services and installable-driver calls, and the two message calls with which
// a program tells every top-level window about a joystick change. A test decides what the
// driver answers and reads back every call in order (platform/joystick_driver.h).
#pragma once

#include <cstddef>

// Wide text only travels to OpenDriver; wchar_t lets the same L"" literals build here.
typedef wchar_t WCHAR;
typedef const WCHAR* LPCWSTR;

#define MAXPNAMELEN 32
#define MAX_JOYSTICKOEMVXDNAME 260

// Laid out as winmm lays it out: every member is naturally aligned, so there is no padding.
struct JOYCAPSA {
    WORD wMid;
    WORD wPid;
    CHAR szPname[MAXPNAMELEN];
    UINT wXmin;
    UINT wXmax;
    UINT wYmin;
    UINT wYmax;
    UINT wZmin;
    UINT wZmax;
    UINT wNumButtons;
    UINT wPeriodMin;
    UINT wPeriodMax;
    UINT wRmin;
    UINT wRmax;
    UINT wUmin;
    UINT wUmax;
    UINT wVmin;
    UINT wVmax;
    UINT wCaps;
    UINT wMaxAxes;
    UINT wNumAxes;
    UINT wMaxButtons;
    CHAR szRegKey[MAXPNAMELEN];
    CHAR szOEMVxD[MAX_JOYSTICKOEMVXDNAME];
};
typedef JOYCAPSA* LPJOYCAPSA;
static_assert(sizeof(JOYCAPSA) == 404);
static_assert(offsetof(JOYCAPSA, szRegKey) == 112);

#define MMSYSERR_NOERROR 0
#define MMSYSERR_NODRIVER 6
#define JOYERR_NOERROR 0
#define JOYERR_PARMS 165

#define DRV_RESERVED 0x0800

#define HWND_BROADCAST ((HWND)0xffff)

MMRESULT WINAPI joyGetDevCapsA(UINT_PTR joystick_id, LPJOYCAPSA caps, UINT caps_size);
HDRVR WINAPI OpenDriver(LPCWSTR driver_name, LPCWSTR section_name, LPARAM param);
LRESULT WINAPI SendDriverMessage(HDRVR driver, UINT message, LPARAM param1, LPARAM param2);
LRESULT WINAPI CloseDriver(HDRVR driver, LPARAM param1, LPARAM param2);
UINT WINAPI RegisterWindowMessageA(LPCSTR name);
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
