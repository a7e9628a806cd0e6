// Tells the joystick driver that its registry configuration changed.
#include "joycfg/driver_notification.h"

#include <cstdlib>
#include <cstring>

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
    JOYCAPSA* caps = static_cast<JOYCAPSA*>(std::malloc(kJoyCapsSize));
    if (caps == nullptr) return 0;
    std::memset(caps, 0, kJoyCapsSize);
    if (joyGetDevCapsA(static_cast<UINT_PTR>(-1), caps, kJoyCapsSize) != JOYERR_NOERROR) {
        std::free(caps);
        return 0;
    }
    // OpenDriver takes wide text; szRegKey is 32 characters with no promise of a terminator.
    WCHAR driver_name[sizeof caps->szRegKey + 1];
    size_t length = 0;
    for (; length < sizeof caps->szRegKey && caps->szRegKey[length] != 0; ++length) {
        driver_name[length] = static_cast<WCHAR>(static_cast<unsigned char>(caps->szRegKey[length]));
    }
    driver_name[length] = 0;

    HDRVR driver = OpenDriver(driver_name, L"Joystick", 0);
    if (driver == nullptr) {
        std::free(caps);
        return 0;
    }
    SendDriverMessage(driver, JDD_CONFIGCHANGED, 0, 0);
    const int32_t result = SendDriverMessage(driver, JDD_GETDEVCAPS, 0, 0) != 0 ? 1 : 0;
    CloseDriver(driver, 0, 0);
    PostMessageA(HWND_BROADCAST, RegisterWindowMessageA(kChangeMessageName), 0, 0);
    std::free(caps);
    return result;
}
