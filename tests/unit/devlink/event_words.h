// Reads the little-endian 32-bit words of an event's data, byte by byte.
#pragma once

#include <cstdint>

#include "devlink/device_records.h"

inline int32_t Word(const DeviceRequest& event, int index) {
    const uint8_t* at = event.data + 4 * index;
    return static_cast<int32_t>(at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24);
}
