// Tells the joystick driver that its configuration changed, and broadcasts the
// joystick-change window message.
#pragma once

#include <cstdint>

int32_t NotifyJoystickDriver();
