// Tells the joystick driver that its registry configuration changed.
#include "joycfg/driver_notification.h"

#include "joycfg/joystick_records.h"

#ifndef JDD_GETDEVCAPS
#define JDD_GETDEVCAPS (DRV_RESERVED + 0x0002)
#endif
#ifndef JDD_CONFIGCHANGED
#define JDD_CONFIGCHANGED (DRV_RESERVED + 0x0103)
#endif

namespace {

const char kChangeMessageName[] = "MSJSTICK_VJOYD_MSGSTR";

}  // namespace

int32_t NotifyJoystickDriver() {
    char name[kJoyCapsRegKeySize + 1];
    if (ReadJoystickDriverName(name) != 1) return 0;
    // OpenDriver takes wide text.
    WCHAR driver_name[kJoyCapsRegKeySize + 1];
    for (uint32_t i = 0; i <= kJoyCapsRegKeySize; ++i) {
        driver_name[i] = static_cast<WCHAR>(static_cast<unsigned char>(name[i]));
    }
    HDRVR driver = OpenDriver(driver_name, L"Joystick", 0);
    if (driver == nullptr) return 0;
    SendDriverMessage(driver, JDD_CONFIGCHANGED, 0, 0);
    const int32_t result = SendDriverMessage(driver, JDD_GETDEVCAPS, 0, 0) != 0 ? 1 : 0;
    CloseDriver(driver, 0, 0);
    PostMessageA(HWND_BROADCAST, RegisterWindowMessageA(kChangeMessageName), 0, 0);
    return result;
}
