// The 32-bit words that requests and events carry, little-endian whatever the host.
#pragma once

#include <cstdint>

#include "crt/little_endian.h"
#include "devlink/device_records.h"

inline void PutRequestWord(DeviceRequest* request, int index, int32_t value) {
    PutLittleEndianWord(request->data + 4 * index, static_cast<uint32_t>(value));
}

inline int32_t GetRequestWord(const DeviceRequest* request, int index) {
    return static_cast<int32_t>(GetLittleEndianWord(request->data + 4 * index));
}
