#include "app/installer.h"

namespace {
const char kClassName[] = "Tessaline Joystick Test Program";
const char kWindowTitle[] = "Gyrelle Detection Program";
}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
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
        window_class.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(106));
        window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        window_class.lpszClassName = kClassName;
        RegisterClassA(&window_class);
    }
    HWND window = CreateWindowExA(0, kClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, show_command);
    // A window of zero size has no client area, and no paint comes for an empty one.
    RECT client;
    if (GetClientRect(window, &client) && (client.right <= client.left || client.bottom <= client.top))
        PostQuitMessage(0);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
