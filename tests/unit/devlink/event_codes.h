// Device codes in test messages: GoogleTest prints a DeviceCode by its name ("version
// query (276)") where a bare int32_t would print only the number.
#pragma once

#include <cstdint>
#include <ostream>

#include "devlink/device_codes.h"
#include "devlink/device_records.h"

inline void PrintTo(DeviceCode code, std::ostream* out) {
    const char* name = DeviceCodeName(code);
    if (name != nullptr) *out << name << " (";
    *out << static_cast<int32_t>(code);
    if (name != nullptr) *out << ")";
}

// A request's or event's code, to compare with a named one.
inline DeviceCode CodeOf(const DeviceRequest& request) {
    return static_cast<DeviceCode>(request.code);
}
