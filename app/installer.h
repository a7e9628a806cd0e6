// The installer application: entry, hidden main window, install sequence, port probe
// and the two dialogs.
#pragma once

#include <cstdint>

#include "platform/win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR command_line,
                   int show_command);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Names the port COM1 to COM6 and asks the device link to identify the controller there.
// 1 when it answered and was identified as device type 5 (the model "Marlock"); the port
// has then been closed again. 0 otherwise: a port identification failed on may stay open
// until the program ends, and a number outside 1 to 6 opens nothing.
int32_t ProbePort(int32_t port_number);

INT_PTR CALLBACK ResultDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK PortSelectDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Runs the whole install: OEM type, slot seeding, census, probe loop, configuration, the
// result dialog or the port list, and a message box in place of the good news, or after the
// port list, when the read-back finds that the OEM type or joystick 1 does not hold what this
// run wrote; the box names the first cause. The main window's creation message calls it.
void RunInstallSequence(HWND main_window, HINSTANCE instance);
// SetSlotPort for joysticks 1 to 16.
void SetPortInAllSlots(int32_t port_number);

// What the install sequence and the port-selection dialog share for the length of a run.
struct ProgramState {
    int32_t detected_port_number;  // 0 = controller not found
    HINSTANCE instance;            // loads the dialog templates
    DLGPROC port_select_dialog_proc;
    DLGPROC result_dialog_proc;
    HWND port_list;                // control 1014 of the port-selection dialog
    // What CB_GETCURSEL answered on the port list's OK; CB_ERR from before the list is shown,
    // so that a list that never reached its OK picked nothing.
    int32_t selected_list_index;
    // What this run wrote last to joystick 1, which the read-back looks for: the port its
    // OEM configuration names, and whether the hardware record is the ten-bit one (the port
    // list's OK) rather than the full-range one.
    int32_t configured_port_number;
    bool configured_ten_bit;
};

extern ProgramState g_program_state;

constexpr int32_t kPortSelectTemplateId = 101;
constexpr int32_t kResultTemplateId = 111;
constexpr int32_t kPortListControlId = 1014;
constexpr char kAxisLetters[] = "XYZRUV";
