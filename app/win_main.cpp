// Entry and the hidden main window, whose creation message runs the install.
#include "app/installer.h"
#include "crt/crt.h"

namespace {
const char kClassName[] = "Tessaline Joystick Test Program";
const char kWindowTitle[] = "Gyrelle Detection Program";
constexpr WORD kClassIconId = 106;

// No WM_PAINT is ever sent for a hidden window or an empty client area; Wine gives a
// window created with zero size a 108 x 0 client area, so this is the usual case there.
bool WillNeverPaint(HWND window) {
    if (!IsWindowVisible(window)) return true;
    RECT client;
    if (!GetClientRect(window, &client)) return true;
    return client.right <= client.left || client.bottom <= client.top;
}
}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE: {
        const auto* creation = reinterpret_cast<const CREATESTRUCTA*>(lparam);
        RunInstallSequence(window, creation != nullptr ? creation->hInstance : nullptr);
        return DefWindowProcA(window, message, wparam, lparam);
    }
    case WM_PAINT:
        PostQuitMessage(0);
        return DefWindowProcA(window, message, wparam, lparam);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR, int show_command) {
    if (previous_instance == nullptr) {
        WNDCLASSA window_class = {};
        window_class.style = CS_HREDRAW | CS_VREDRAW;
        window_class.lpfnWndProc = MainWindowProc;
        window_class.hInstance = instance;
        window_class.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(kClassIconId));
        window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        window_class.hbrBackground = reinterpret_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        window_class.lpszClassName = kClassName;
        // The result is not needed: a class already registered under this name serves as
        // well, and without any class the creation below fails and ends the program.
        RegisterClassA(&window_class);
    }
    HWND window = CreateWindowExA(0, kClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        // The only log the program has; a run that ends early must say why there.
        WriteStandardOutput("WinMain: the main window could not be created; exit code 1\n");
        return 1;
    }
    ShowWindow(window, show_command);
    if (WillNeverPaint(window)) PostQuitMessage(0);
    MSG message = {};
    BOOL got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // GetMessage fails only on a bad window or message pointer; no quit code came then.
    if (got < 0) {
        WriteStandardOutput("WinMain: GetMessage failed before the quit message; exit code 1\n");
        return 1;
    }
    return static_cast<int>(message.wParam);
}
