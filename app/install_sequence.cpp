// The install sequence run inside the main window's creation, and the probe of one port.

#include "app/installer.h"
#include "crt/crt.h"
#include "devlink/device_codes.h"
#include "devlink/driver_core.h"
#include "devlink/serial_channel.h"
#include "joycfg/driver_notification.h"
#include "joycfg/joystick_records.h"
#include "joycfg/oem_type.h"
#include "joycfg/slot_config.h"
#include "ports/port_census.h"

ProgramState g_program_state = {};

namespace {

const char kResultCaption[] = "Gyrelle Detection";
const char kPortSelectCaption[] = "Com Port Configuration";
const char kDriverMissing[] =
    "the joystick driver is not set up. Install the Windows joystick driver (Control Panel, "
    "Add New Hardware), then run GYRSETUP again.";
const char kTypeNotKept[] =
    "Windows did not keep the Brennick Gyrelle joystick type. Run GYRSETUP again.";
const char kSettingsNotKept[] = "Windows did not keep the joystick settings. Run GYRSETUP again.";

// The read-back after the install. It compares the values, not who wrote them: joystick 1
// must hold the port, hardware record, type name and callout this run configured last, and
// the OEM type its record, callout and name. Values that an earlier run left pass when they
// are these same values, since Windows then has what it needs; any other values fail.
struct ReadBack {
    const char* why;       // nullptr when everything holds, else the first cause found
    bool joystick_one_holds;
};

ReadBack ReadBackInstall() {
    const bool joystick_one_holds =
        CheckSlotInstalled(0, g_program_state.configured_port_number,
                           g_program_state.configured_ten_bit) == 1;
    // Without the driver's keys nothing could be written, whatever else failed.
    if (CheckJoystickDriverKeys() != 1) return {kDriverMissing, joystick_one_holds};
    if (CheckOemType() != 1) return {kTypeNotKept, joystick_one_holds};
    if (!joystick_one_holds) return {kSettingsNotKept, false};
    return {nullptr, true};
}

// The install acts on no result, but the user must not be told "installed" when nothing
// took: this replaces the good news with what went wrong and what to do.
void TellNotInstalled(HWND main_window, const char* caption, const char* what, const char* why) {
    char text[320];
    FormatText(text, sizeof text, "%s: %s", what, why);
    MessageBoxA(main_window, text, caption, MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace

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
    const int32_t detected = g_program_state.detected_port_number;
    g_program_state.configured_port_number = detected != 0 ? detected : 1;
    g_program_state.configured_ten_bit = false;
    ConfigureSlotFullRange(0, g_program_state.configured_port_number, kAxisLetters);
    char what[64];
    if (detected != 0) {
        const char* why = ReadBackInstall().why;
        if (why == nullptr) {
            DialogBoxParamA(g_program_state.instance, MAKEINTRESOURCEA(kResultTemplateId),
                            main_window, g_program_state.result_dialog_proc, 0);
        } else {
            FormatText(what, sizeof what,
                       "The Gyrelle answered on COM%d, but it could not be installed", detected);
            TellNotInstalled(main_window, kResultCaption, what, why);
        }
        SetPortInAllSlots(detected);
    } else {
        g_program_state.selected_list_index = CB_ERR;
        DialogBoxParamA(g_program_state.instance, MAKEINTRESOURCEA(kPortSelectTemplateId),
                        main_window, g_program_state.port_select_dialog_proc, 0);
        // With no port picked, joystick 1 keeps the COM1 configured above; only when what this
        // run wrote did not take is there something to say.
        const ReadBack read_back = ReadBackInstall();
        const char* why = read_back.why;
        if (why != nullptr) {
            const int32_t chosen_port = g_program_state.selected_list_index + 1;
            if (why == kTypeNotKept && read_back.joystick_one_holds) {
                // Joystick 1 holds the port that was configured: the port is not at fault.
                TellNotInstalled(main_window, kPortSelectCaption,
                                 "The Gyrelle could not be installed", why);
            } else if (chosen_port >= 1 && chosen_port <= kNamedPortCount) {
                FormatText(what, sizeof what, "COM%d could not be configured", chosen_port);
                TellNotInstalled(main_window, kPortSelectCaption, what, why);
            } else {
                TellNotInstalled(main_window, kPortSelectCaption, "Nothing could be configured",
                                 why);
            }
        }
    }
}
