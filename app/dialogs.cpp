// The result dialog and the port-selection dialog; OK is the only way out of either.

#include "app/installer.h"
#include "crt/crt.h"
#include "joycfg/slot_config.h"
#include "ports/port_census.h"

INT_PTR CALLBACK ResultDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return 1;
    case WM_COMMAND:
        if (wparam == IDOK) EndDialog(dialog, 2);
        return 0;
    default:
        return 0;
    }
}

INT_PTR CALLBACK PortSelectDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        int32_t preselected_port = 0;
        GetSlotPort(0, &preselected_port);
        int32_t count = 0;
        CountSerialPorts(&count);
        g_program_state.port_list = GetDlgItem(dialog, kPortListControlId);
        // Past COM6 there are no names, and a repeated "COM6" would stand for a port that
        // cannot be configured.
        int32_t listed = count < kNamedPortCount ? count : kNamedPortCount;
        char name[5];
        memcpy(name, "COM1", sizeof name);
        for (int32_t n = 1; n <= listed; ++n) {
            PortNameFromNumber(n, name);
            SendMessageA(g_program_state.port_list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        }
        SendMessageA(g_program_state.port_list, CB_SETCURSEL,
                     static_cast<WPARAM>(preselected_port - 1), 0);
        return 1;
    }
    case WM_COMMAND:
        if (wparam == IDOK) {
            g_program_state.selected_list_index = static_cast<int32_t>(
                SendMessageA(g_program_state.port_list, CB_GETCURSEL, 0, 0));
            int32_t chosen_port = g_program_state.selected_list_index + 1;
            ConfigureSlotTenBit(0, chosen_port, kAxisLetters);
            // A port without a name is not written: joystick 1 keeps the port it had.
            if (chosen_port >= 1 && chosen_port <= kNamedPortCount) {
                g_program_state.configured_port_number = chosen_port;
            }
            g_program_state.configured_ten_bit = true;
            SetPortInAllSlots(chosen_port);
            EndDialog(dialog, 2);
        }
        return 1;
    default:
        return 0;
    }
}
