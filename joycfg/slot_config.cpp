// Per-joystick (slot) configuration in the joystick driver's current and type settings keys.
#include "joycfg/slot_config.h"

#include "crt/crt.h"
#include "joycfg/driver_notification.h"
#include "joycfg/joystick_records.h"
#include "ports/port_census.h"

namespace {

constexpr uint32_t kPortNameOffset = 16;
constexpr uint32_t kPortNameSize = 5;
constexpr uint32_t kAxesOffset = 21;
constexpr uint32_t kMaxAxisLetters = kOemConfigSize - kAxesOffset - 1;

// The working copy of the OEM configuration record; every user reads it afresh.
uint8_t oem_config_copy[kOemConfigSize];

bool ValidSlot(int32_t slot) { return slot >= 0 && slot < kSlotCount; }

// Opens a subkey of the driver key; the driver key itself is closed either way.
bool OpenBelowDriverKey(const char* sub_key, bool create, HKEY* key) {
    HKEY driver = nullptr;
    if (OpenJoystickDriverKey(&driver) != 1) return false;
    const LONG opened =
        create ? RegCreateKeyA(driver, sub_key, key) : RegOpenKeyA(driver, sub_key, key);
    RegCloseKey(driver);
    return opened == ERROR_SUCCESS;
}

bool OpenTypeSettingsKey(bool create, HKEY* key) {
    char path[kNameBufferSize];
    BuildTypeSettingsPath(path);
    return OpenBelowDriverKey(path, create, key);
}

bool SetBinary(HKEY key, const char* name, const uint8_t* data, DWORD length) {
    return RegSetValueExA(key, name, 0, REG_BINARY, data, length) == ERROR_SUCCESS;
}

bool SetText(HKEY key, const char* name, const char* buffer, DWORD length) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(buffer), length) ==
           ERROR_SUCCESS;
}

int32_t CloseAndFlush(HKEY key) {
    RegCloseKey(key);
    RegFlushKey(HKEY_LOCAL_MACHINE);
    return 1;
}

int32_t Fail(HKEY key) {
    RegCloseKey(key);
    return 0;
}

// A slot text value from its 260-byte buffer, with the length rule.
bool SetSlotText(HKEY key, const char* name_template, int32_t slot, const char* buffer) {
    char name[kNameBufferSize];
    FormatSlotValueName(name_template, slot, name);
    const DWORD content = static_cast<DWORD>(strlen(buffer) + 1);
    return SetText(key, name, buffer, LengthByRule(key, name, kNameBufferSize, content));
}

// A zeroed, filled hardware record, with the length rule.
bool SetSlotHwConfig(HKEY key, int32_t slot, int32_t (*fill)(uint8_t*)) {
    char name[kNameBufferSize];
    FormatSlotValueName(kConfigurationTemplate, slot, name);
    uint8_t record[kHwConfigSize];
    memset(record, 0, sizeof record);
    fill(record);
    return SetBinary(key, name, record, LengthByRule(key, name, kHwConfigSize, kHwConfigSize));
}

int32_t WriteSlotConfig(int32_t slot, int32_t (*fill)(uint8_t*)) {
    if (!ValidSlot(slot)) return 0;
    HKEY current = nullptr;
    if (!OpenBelowDriverKey(kCurrentSettingsKeyName, false, &current)) return 0;
    if (!SetSlotHwConfig(current, slot, fill)) return Fail(current);
    if (!SetSlotText(current, kOemNameTemplate, slot, kTypeName)) return Fail(current);
    if (!SetSlotText(current, kOemCalloutTemplate, slot, kCalloutName)) return Fail(current);
    return CloseAndFlush(current);
}

// Opens the type settings key and reads the slot's record into the working copy. Only a
// record of exactly 28 bytes is taken: a longer one does not fit, and a shorter one would
// leave part of the copy unread and be written back cut short.
bool ReadOemConfig(int32_t slot, HKEY* type_settings, char name[kNameBufferSize]) {
    if (!ValidSlot(slot) || !OpenTypeSettingsKey(false, type_settings)) return false;
    FormatSlotValueName(kOemConfigurationTemplate, slot, name);
    memset(oem_config_copy, 0, sizeof oem_config_copy);
    DWORD length = kOemConfigSize;
    if (RegQueryValueExA(*type_settings, name, nullptr, nullptr, oem_config_copy, &length) !=
            ERROR_SUCCESS ||
        length != kOemConfigSize) {
        RegCloseKey(*type_settings);
        return false;
    }
    return true;
}

int32_t WriteOemConfigBack(HKEY type_settings, const char* name) {
    if (!SetBinary(type_settings, name, oem_config_copy, kOemConfigSize)) return Fail(type_settings);
    return CloseAndFlush(type_settings);
}

}  // namespace

int32_t ClearSlotConfig(int32_t slot) {
    if (!ValidSlot(slot)) return 0;
    HKEY driver = nullptr;
    if (OpenJoystickDriverKey(&driver) != 1) return -1;
    HKEY current = nullptr;
    const LONG opened = RegOpenKeyA(driver, kCurrentSettingsKeyName, &current);
    RegCloseKey(driver);
    if (opened != ERROR_SUCCESS) return 0;

    char name[kNameBufferSize];
    uint8_t record[kHwConfigSize];
    memset(record, 0, sizeof record);
    FormatSlotValueName(kConfigurationTemplate, slot, name);
    SetBinary(current, name, record, kHwConfigSize);
    FormatSlotValueName(kOemNameTemplate, slot, name);
    SetText(current, name, kEmptyName, kNameBufferSize);
    FormatSlotValueName(kOemCalloutTemplate, slot, name);
    SetText(current, name, kEmptyName, kNameBufferSize);
    return CloseAndFlush(current);
}

int32_t WriteSlotConfigTenBit(int32_t slot) { return WriteSlotConfig(slot, FillHwConfigTenBit); }

int32_t WriteSlotConfigFullRange(int32_t slot) {
    return WriteSlotConfig(slot, FillHwConfigFullRange);
}

int32_t InitSlotTypeSettings(int32_t slot) {
    if (!ValidSlot(slot)) return 0;
    HKEY type_settings = nullptr;
    if (!OpenTypeSettingsKey(true, &type_settings)) return 0;
    if (!SetSlotHwConfig(type_settings, slot, FillHwConfigFullRange)) return Fail(type_settings);
    char name[kNameBufferSize];
    FormatSlotValueName(kOemConfigurationTemplate, slot, name);
    if (!SetBinary(type_settings, name, kDefaultOemConfig, kOemConfigSize)) {
        return Fail(type_settings);
    }
    return CloseAndFlush(type_settings);
}

int32_t ResetSlotOemConfig(int32_t slot) {
    if (!ValidSlot(slot)) return 0;
    HKEY type_settings = nullptr;
    if (!OpenTypeSettingsKey(false, &type_settings)) return 0;
    char name[kNameBufferSize];
    FormatSlotValueName(kOemConfigurationTemplate, slot, name);
    if (!SetBinary(type_settings, name, kDefaultOemConfig, kOemConfigSize)) {
        return Fail(type_settings);
    }
    return CloseAndFlush(type_settings);
}

int32_t SetSlotPort(int32_t slot, int32_t port_number) {
    HKEY type_settings = nullptr;
    char name[kNameBufferSize];
    if (!ReadOemConfig(slot, &type_settings, name)) return 0;
    char port_name[kPortNameSize];
    if (PortNameFromNumber(port_number, port_name) != 1) return Fail(type_settings);
    memcpy(oem_config_copy + kPortNameOffset, port_name, kPortNameSize);
    return WriteOemConfigBack(type_settings, name);
}

int32_t SetSlotAxes(int32_t slot, const char* axis_letters) {
    HKEY type_settings = nullptr;
    char name[kNameBufferSize];
    if (!ReadOemConfig(slot, &type_settings, name)) return 0;
    // Six letters and the NUL end at the record's last byte; a longer string is refused.
    uint32_t length = 0;
    while (axis_letters != nullptr && length <= kMaxAxisLetters && axis_letters[length] != 0) {
        ++length;
    }
    if (axis_letters == nullptr || length > kMaxAxisLetters) return Fail(type_settings);
    memcpy(oem_config_copy + kAxesOffset, axis_letters, length + 1);
    return WriteOemConfigBack(type_settings, name);
}

int32_t GetSlotPort(int32_t slot, int32_t* port_number) {
    if (port_number == nullptr) return 0;
    HKEY type_settings = nullptr;
    char name[kNameBufferSize];
    if (!ReadOemConfig(slot, &type_settings, name)) return 0;
    for (int32_t n = 1; n <= kNamedPortCount; ++n) {
        char port_name[kPortNameSize];
        PortNameFromNumber(n, port_name);
        if (memcmp(oem_config_copy + kPortNameOffset, port_name, kPortNameSize) == 0) {
            *port_number = n;
        }
    }
    return RegCloseKey(type_settings) == ERROR_SUCCESS ? 1 : 0;
}

namespace {

// Blank, tell the driver, write the new configuration, tell it again; every step runs
// whatever the one before it returned.
int32_t ConfigureSlot(int32_t slot, int32_t port_number, const char* axis_letters,
                      int32_t (*write_config)(int32_t)) {
    ClearSlotConfig(slot);
    NotifyJoystickDriver();
    write_config(slot);
    SetSlotPort(slot, port_number);
    SetSlotAxes(slot, axis_letters);
    NotifyJoystickDriver();
    return 0;
}

}  // namespace

int32_t ConfigureSlotTenBit(int32_t slot, int32_t port_number, const char* axis_letters) {
    return ConfigureSlot(slot, port_number, axis_letters, WriteSlotConfigTenBit);
}

int32_t ConfigureSlotFullRange(int32_t slot, int32_t port_number, const char* axis_letters) {
    return ConfigureSlot(slot, port_number, axis_letters, WriteSlotConfigFullRange);
}
