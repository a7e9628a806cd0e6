/* A joystick driver that only listens: every message it receives is appended, in
 * order, to a log file, and every message is answered with 1. The installer under
 * test opens it through the joystick driver's registry entry. */
#include <windows.h>
#include <stdio.h>

static void AppendLine(const char *line, DWORD length) {
    char path[MAX_PATH];
    DWORD got = GetEnvironmentVariableA("GYR_DRIVER_LOG", path, sizeof path);
    if (got == 0 || got >= sizeof path) lstrcpynA(path, "C:\\gyr_driver_messages.log", sizeof path);
    /* Opened per message: the installer loads and unloads the driver on every notification. */
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    SetFilePointer(file, 0, NULL, FILE_END);
    DWORD written = 0;
    WriteFile(file, line, length, &written, NULL);
    CloseHandle(file);
}

LRESULT WINAPI DriverProc(DWORD_PTR driver_id, HDRVR driver, UINT message, LPARAM param1,
                          LPARAM param2) {
    (void)driver_id;
    (void)driver;
    char line[64];
    int length = _snprintf(line, sizeof line - 1, "0x%04X %ld %ld\r\n", message, (long)param1,
                           (long)param2);
    if (length > 0) AppendLine(line, (DWORD)length);
    return 1;
}
