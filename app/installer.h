// The installer application: entry, hidden main window, install sequence, port probe
// and the two dialogs.
#pragma once

#include <cstdint>

#include "platform/win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR command_line,
                   int show_command);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
int32_t ProbePort(int32_t port_number);
