// The joystick driver's registry entries: paths, value names, records and the lookup of
// the driver key.
#pragma once

#include <cstdint>

#include "platform/win32.h"

int32_t OpenJoystickDriverKey(HKEY* driver_key);
int32_t FillHwConfigTenBit(uint8_t record[112]);
int32_t FillHwConfigFullRange(uint8_t record[112]);
