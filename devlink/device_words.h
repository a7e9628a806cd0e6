// The 32-bit words that requests, events and the joystick records carry, little-endian
// whatever the host, written and read byte by byte.
#pragma once

#include <cstdint>

#include "devlink/device_records.h"

inline void PutLittleEndianWord(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t GetLittleEndianWord(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

inline void PutRequestWord(DeviceRequest* request, int index, int32_t value) {
    PutLittleEndianWord(request->data + 4 * index, static_cast<uint32_t>(value));
}

inline int32_t GetRequestWord(const DeviceRequest* request, int index) {
    return static_cast<int32_t>(GetLittleEndianWord(request->data + 4 * index));
}
