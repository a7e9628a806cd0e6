// The 32-bit words that requests and events carry in their data bytes, little-endian
// whatever the host, written and read byte by byte.
#pragma once

#include <cstdint>

#include "devlink/device_records.h"

inline void PutRequestWord(DeviceRequest* request, int index, int32_t value) {
    uint32_t bits = static_cast<uint32_t>(value);
    uint8_t* at = request->data + 4 * index;
    at[0] = static_cast<uint8_t>(bits);
    at[1] = static_cast<uint8_t>(bits >> 8);
    at[2] = static_cast<uint8_t>(bits >> 16);
    at[3] = static_cast<uint8_t>(bits >> 24);
}

inline int32_t GetRequestWord(const DeviceRequest* request, int index) {
    const uint8_t* at = request->data + 4 * index;
    return static_cast<int32_t>(static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                                static_cast<uint32_t>(at[2]) << 16 |
                                static_cast<uint32_t>(at[3]) << 24);
}
