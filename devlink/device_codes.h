// The codes that requests and events carry, by name, and the device type the driver reports.
// The codes themselves are listed once, in device_code_list.h.
#pragma once

#include <cstdint>

// Unscoped, so that a code goes straight into a DeviceRequest's 32-bit code field.
enum DeviceCode : int32_t {
#define DEVICE_CODE(name, number, text) name = number,
#include "devlink/device_code_list.h"
};

// What a code is called in messages; null for a number that is no code.
inline const char* DeviceCodeName(int32_t code) {
    switch (code) {
#define DEVICE_CODE(name, number, text) \
    case name: return text;
#include "devlink/device_code_list.h"
        default: return nullptr;
    }
}

// The only type this driver identifies: a Brennick Marlock, answering with the banner.
constexpr int32_t kMarlockDeviceType = 5;
