/* Counts the joystick-change broadcasts that reach a hidden top-level window.
 *   broadcast_listener READY_FILE STOP_FILE COUNT_FILE
 * Writes READY_FILE once its window exists; when STOP_FILE appears it handles every
 * message still queued, writes the count to COUNT_FILE and exits. */
#include <windows.h>
#include <stdio.h>

static UINT g_joystick_message;
static LONG g_count;
static const char *g_stop_path;
static const char *g_count_path;

static int WriteText(const char *path, const char *text) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, (DWORD)lstrlenA(text), &written, NULL);
    CloseHandle(file);
    return ok ? 1 : 0;
}

static LRESULT CALLBACK ListenerProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (g_joystick_message != 0 && message == g_joystick_message) {
        g_count++;
        return 0;
    }
    if (message == WM_TIMER) {
        if (GetFileAttributesA(g_stop_path) == INVALID_FILE_ATTRIBUTES) return 0;
        KillTimer(window, 1);
        /* Timers come only when the queue is empty, but a post may still have landed
         * since: take in everything queued before the count is written. */
        MSG pending;
        while (PeekMessageA(&pending, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&pending);
        char text[32];
        _snprintf(text, sizeof text - 1, "%ld\n", g_count);
        text[sizeof text - 1] = 0;
        WriteText(g_count_path, text);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: broadcast_listener READY_FILE STOP_FILE COUNT_FILE\n");
        return 2;
    }
    g_stop_path = argv[2];
    g_count_path = argv[3];
    g_joystick_message = RegisterWindowMessageA("MSJSTICK_VJOYD_MSGSTR");
    HINSTANCE instance = GetModuleHandleA(NULL);
    WNDCLASSA window_class;
    ZeroMemory(&window_class, sizeof window_class);
    window_class.lpfnWndProc = ListenerProc;
    window_class.hInstance = instance;
    window_class.lpszClassName = "GyrBroadcastListener";
    if (!RegisterClassA(&window_class)) return 3;
    /* Top-level and never shown: broadcasts skip message-only windows. */
    HWND window = CreateWindowExA(0, "GyrBroadcastListener", "gyr broadcast listener",
                                  WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, NULL, NULL, instance, NULL);
    if (window == NULL) return 4;
    if (!SetTimer(window, 1, 50, NULL)) return 5;
    if (!WriteText(argv[1], "ready\n")) return 6;
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}
