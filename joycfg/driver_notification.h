// Tells the joystick driver that its configuration changed, and broadcasts the
// joystick-change window message.
#pragma once

#include <cstdint>

// Sends JDD_CONFIGCHANGED (0x903), then 0x802 (JDD_GETDEVCAPS), closes the driver and posts
// "MSJSTICK_VJOYD_MSGSTR" to HWND_BROADCAST. 1 when the driver opened and answered 0x802
// with a non-zero value; 0 otherwise. Without a driver, or when it cannot be opened, nothing
// is sent or posted; a zero answer to 0x802 still closes the driver and posts the broadcast.
int32_t NotifyJoystickDriver();
