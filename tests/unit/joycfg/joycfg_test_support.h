// Expected registry contents written out from the records' tables, and machine set-up.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/joystick_driver.h"
#include "platform/registry_store.h"

namespace joycfg_test {

inline const std::string kJoystickRoot =
    "System\\CurrentControlSet\\Control\\MediaResources\\Joystick";
inline const std::string kDriverKey = kJoystickRoot + "\\DINPUT.DLL";
inline const std::string kCurrentSettings = kDriverKey + "\\CurrentJoystickSettings";
inline const std::string kTypeSettings = kDriverKey + "\\JoystickSettings\\Tessaline";
inline const std::string kOemTypes =
    "System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM";
inline const std::string kOemType = kOemTypes + "\\Tessaline";

// Little-endian 32-bit words, as the record tables list them.
inline std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t w : words) {
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(w >> shift));
    }
    return bytes;
}

// "D0 07 00 ..." to bytes.
inline std::vector<uint8_t> Hex(const char* text) {
    std::vector<uint8_t> bytes;
    unsigned value = 0;
    int digits = 0;
    for (const char* p = text;; ++p) {
        const char c = *p;
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (hex) {
            value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
            ++digits;
        } else if (digits > 0) {
            bytes.push_back(static_cast<uint8_t>(value));
            value = 0;
            digits = 0;
        }
        if (c == 0) break;
    }
    return bytes;
}

// The text, its NUL and NULs up to size.
inline std::vector<uint8_t> TextField(const std::string& text, size_t size) {
    std::vector<uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), text.data(), text.size());
    return bytes;
}

// JOYREGHWCONFIG: flags, buttons, usage, six minima, six maxima, six centres, four POV
// words, calibration flags, type, reserved.
inline std::vector<uint8_t> HwConfig(uint32_t maximum, uint32_t center) {
    return Words({0x01880001, 7, 6, 0, 0, 0, 0, 0, 0, maximum, maximum, maximum, maximum, maximum,
                  maximum, center, center, center, center, center, center, 0, 0, 0, 0, 31, 1000,
                  0});
}
inline std::vector<uint8_t> FullRangeRecord() { return HwConfig(65535, 32767); }
inline std::vector<uint8_t> TenBitRecord() { return HwConfig(1023, 512); }

inline std::vector<uint8_t> DefaultOemConfig() {
    return Hex("D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 31 00 58 59 5A 52 55 56 00");
}
inline std::vector<uint8_t> OemConfigForPort(char digit) {
    std::vector<uint8_t> record = DefaultOemConfig();
    record[19] = static_cast<uint8_t>(digit);
    return record;
}

inline void ExpectValue(const std::string& key, const std::string& name, DWORD type,
                        const std::vector<uint8_t>& bytes) {
    const StoredValue stored = ReadRegistryValue(key, name);
    ASSERT_TRUE(stored.found) << key << " / " << name;
    EXPECT_EQ(stored.type, type) << name;
    EXPECT_EQ(stored.bytes.size(), bytes.size()) << name;
    EXPECT_EQ(stored.bytes, bytes) << name;
}

// A fresh driver stand-in and the machine of one fixture file.
inline void LoadMachine(const std::string& fixture) {
    ResetJoystickDriver();
    std::string error;
    ASSERT_TRUE(LoadRegistryFile("tests/fixtures/" + fixture, &error)) << error;
}

inline void LoadMachineText(const std::string& text) {
    ResetJoystickDriver();
    std::string error;
    ASSERT_TRUE(LoadRegistryText(text, &error)) << error;
}

inline std::string KeyLine(const std::string& path) {
    return "[HKEY_LOCAL_MACHINE\\" + path + "]\n\n";
}

}  // namespace joycfg_test
