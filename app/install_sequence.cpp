// The install sequence run inside the main window's creation, and the probe of one port.

#include "app/installer.h"
#include "crt/crt.h"
#include "devlink/device_codes.h"
#include "devlink/driver_core.h"
#include "devlink/serial_channel.h"
#include "joycfg/driver_notification.h"
#include "joycfg/oem_type.h"
#include "joycfg/slot_config.h"
#include "ports/port_census.h"

ProgramState g_program_state = {};

void SetPortInAllSlots(int32_t port_number) {
    for (int32_t slot = 0; slot < kSlotCount; ++slot) SetSlotPort(slot, port_number);
}

int32_t ProbePort(int32_t port_number) {
    // A number without a name would otherwise fall back to "COM1" and probe the wrong port.
    if (port_number < 1 || port_number > kNamedPortCount) return 0;
    char port_name[5];
    memcpy(port_name, "COM1", sizeof port_name);
    PortNameFromNumber(port_number, port_name);
    DeviceInfo record = {};
    SetDevicePort(&record, port_name);
    int32_t identified = IdentifyDevice(&record);
    if (identified == 1) UdComClose();
    return identified == 1 && record.device_type == kMarlockDeviceType ? 1 : 0;
}

void RunInstallSequence(HWND main_window, HINSTANCE instance) {
    // No collaborator's result changes the course of the install; only the probe's does.
    RegisterOemType();
    for (int32_t slot = 0; slot < kSlotCount; ++slot) InitSlotTypeSettings(slot);
    g_program_state.detected_port_number = 0;
    ClearSlotConfig(0);
    NotifyJoystickDriver();

    int32_t count = 0;
    CountSerialPorts(&count);
    for (int32_t port = 1; count + 1 > port; ++port) {
        ClearSlotConfig(0);
        NotifyJoystickDriver();
        if (ProbePort(port) == 1) {
            g_program_state.detected_port_number = port;
            break;
        }
    }

    g_program_state.instance = instance;
    g_program_state.port_select_dialog_proc = PortSelectDialogProc;
    g_program_state.result_dialog_proc = ResultDialogProc;

    ResetSlotOemConfig(0);
    if (g_program_state.detected_port_number != 0) {
        ConfigureSlotFullRange(0, g_program_state.detected_port_number, kAxisLetters);
        DialogBoxParamA(g_program_state.instance, MAKEINTRESOURCEA(kResultTemplateId), main_window,
                        g_program_state.result_dialog_proc, 0);
        SetPortInAllSlots(g_program_state.detected_port_number);
    } else {
        ConfigureSlotFullRange(0, 1, kAxisLetters);
        DialogBoxParamA(g_program_state.instance, MAKEINTRESOURCEA(kPortSelectTemplateId),
                        main_window, g_program_state.port_select_dialog_proc, 0);
    }
}
