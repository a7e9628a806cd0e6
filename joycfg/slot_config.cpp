// Per-joystick (slot) configuration in the joystick driver's current and type settings keys.
#include "joycfg/slot_config.h"

#include "crt/crt.h"
#include "joycfg/driver_notification.h"
#include "joycfg/joystick_records.h"
#include "joycfg/registry_key.h"
#include "ports/port_census.h"

namespace {

constexpr uint32_t kPortNameOffset = 16;
constexpr uint32_t kPortNameSize = 5;
constexpr uint32_t kAxesOffset = 21;
constexpr uint32_t kMaxAxisLetters = kOemConfigSize - kAxesOffset - 1;

// The working copy of the OEM configuration record; every user reads it afresh.
uint8_t oem_config_copy[kOemConfigSize];

bool ValidSlot(int32_t slot) { return slot >= 0 && slot < kSlotCount; }

// Opens sub_key below the driver key: 1, or -1 when the driver key lookup failed, or 0 when
// sub_key could not be opened. The driver key is closed either way.
int32_t OpenBelowDriverKey(const char* sub_key, KeyAccess access, RegistryKey* key) {
    RegistryKey driver;
    if (OpenJoystickDriverKey(&driver.handle) != 1) return -1;
    return OpenRegistryKeyBelow(&driver, sub_key, access, key) ? 1 : 0;
}

bool OpenTypeSettingsKey(KeyAccess access, RegistryKey* key) {
    char path[kNameBufferSize];
    BuildTypeSettingsPath(path);
    return OpenBelowDriverKey(path, access, key) == 1;
}

// A slot text value from its 260-byte buffer, with the length rule.
bool SetSlotText(const RegistryKey& key, const char* name_template, int32_t slot,
                 const char* buffer) {
    char name[kNameBufferSize];
    FormatSlotValueName(name_template, slot, name);
    const DWORD content = static_cast<DWORD>(strlen(buffer) + 1);
    return SetTextValue(key, name, buffer, LengthByRule(key.handle, name, kNameBufferSize, content));
}

// A zeroed, filled hardware record, with the length rule.
bool SetSlotHwConfig(const RegistryKey& key, int32_t slot, int32_t (*fill)(uint8_t*)) {
    char name[kNameBufferSize];
    FormatSlotValueName(kConfigurationTemplate, slot, name);
    uint8_t record[kHwConfigSize];
    memset(record, 0, sizeof record);
    fill(record);
    return SetBinaryValue(key, name, record,
                          LengthByRule(key.handle, name, kHwConfigSize, kHwConfigSize));
}

bool SetDefaultOemConfig(const RegistryKey& type_settings, int32_t slot) {
    char name[kNameBufferSize];
    FormatSlotValueName(kOemConfigurationTemplate, slot, name);
    return SetBinaryValue(type_settings, name, kDefaultOemConfig, kOemConfigSize);
}

int32_t WriteSlotConfig(int32_t slot, int32_t (*fill)(uint8_t*)) {
    if (!ValidSlot(slot)) return 0;
    RegistryKey current;
    if (OpenBelowDriverKey(kCurrentSettingsKeyName, KeyAccess::kOpen, &current) != 1) return 0;
    if (!SetSlotHwConfig(current, slot, fill)) return 0;
    if (!SetSlotText(current, kOemNameTemplate, slot, kTypeName)) return 0;
    if (!SetSlotText(current, kOemCalloutTemplate, slot, kCalloutName)) return 0;
    return CloseAndFlush(&current);
}

// Opens the type settings key and reads the slot's record into the working copy. Only a
// record of exactly 28 bytes is taken: a longer one does not fit, and a shorter one would
// leave part of the copy unread and be written back cut short. On false the key is closed.
bool ReadOemConfig(int32_t slot, RegistryKey* type_settings, char name[kNameBufferSize]) {
    if (!ValidSlot(slot) || !OpenTypeSettingsKey(KeyAccess::kOpen, type_settings)) return false;
    FormatSlotValueName(kOemConfigurationTemplate, slot, name);
    memset(oem_config_copy, 0, sizeof oem_config_copy);
    DWORD length = kOemConfigSize;
    if (RegQueryValueExA(type_settings->handle, name, nullptr, nullptr, oem_config_copy,
                         &length) != ERROR_SUCCESS ||
        length != kOemConfigSize) {
        type_settings->Close();
        return false;
    }
    return true;
}

int32_t WriteOemConfigBack(RegistryKey* type_settings, const char* name) {
    if (!SetBinaryValue(*type_settings, name, oem_config_copy, kOemConfigSize)) return 0;
    return CloseAndFlush(type_settings);
}

}  // namespace

int32_t ClearSlotConfig(int32_t slot) {
    if (!ValidSlot(slot)) return 0;
    RegistryKey current;
    const int32_t opened = OpenBelowDriverKey(kCurrentSettingsKeyName, KeyAccess::kOpen, &current);
    if (opened != 1) return opened;

    char name[kNameBufferSize];
    uint8_t record[kHwConfigSize];
    memset(record, 0, sizeof record);
    FormatSlotValueName(kConfigurationTemplate, slot, name);
    SetBinaryValue(current, name, record, kHwConfigSize);
    FormatSlotValueName(kOemNameTemplate, slot, name);
    SetTextValue(current, name, kEmptyName, kNameBufferSize);
    FormatSlotValueName(kOemCalloutTemplate, slot, name);
    SetTextValue(current, name, kEmptyName, kNameBufferSize);
    return CloseAndFlush(&current);
}

int32_t WriteSlotConfigTenBit(int32_t slot) { return WriteSlotConfig(slot, FillHwConfigTenBit); }

int32_t WriteSlotConfigFullRange(int32_t slot) {
    return WriteSlotConfig(slot, FillHwConfigFullRange);
}

int32_t InitSlotTypeSettings(int32_t slot) {
    if (!ValidSlot(slot)) return 0;
    RegistryKey type_settings;
    if (!OpenTypeSettingsKey(KeyAccess::kCreate, &type_settings)) return 0;
    if (!SetSlotHwConfig(type_settings, slot, FillHwConfigFullRange)) return 0;
    if (!SetDefaultOemConfig(type_settings, slot)) return 0;
    return CloseAndFlush(&type_settings);
}

int32_t ResetSlotOemConfig(int32_t slot) {
    if (!ValidSlot(slot)) return 0;
    RegistryKey type_settings;
    if (!OpenTypeSettingsKey(KeyAccess::kOpen, &type_settings)) return 0;
    if (!SetDefaultOemConfig(type_settings, slot)) return 0;
    return CloseAndFlush(&type_settings);
}

int32_t SetSlotPort(int32_t slot, int32_t port_number) {
    RegistryKey type_settings;
    char name[kNameBufferSize];
    if (!ReadOemConfig(slot, &type_settings, name)) return 0;
    char port_name[kPortNameSize];
    if (PortNameFromNumber(port_number, port_name) != 1) return 0;
    memcpy(oem_config_copy + kPortNameOffset, port_name, kPortNameSize);
    return WriteOemConfigBack(&type_settings, name);
}

int32_t SetSlotAxes(int32_t slot, const char* axis_letters) {
    RegistryKey type_settings;
    char name[kNameBufferSize];
    if (!ReadOemConfig(slot, &type_settings, name)) return 0;
    // Six letters and the NUL end at the record's last byte; a longer string is refused.
    uint32_t length = 0;
    while (axis_letters != nullptr && length <= kMaxAxisLetters && axis_letters[length] != 0) {
        ++length;
    }
    if (axis_letters == nullptr || length > kMaxAxisLetters) return 0;
    memcpy(oem_config_copy + kAxesOffset, axis_letters, length + 1);
    return WriteOemConfigBack(&type_settings, name);
}

int32_t GetSlotPort(int32_t slot, int32_t* port_number) {
    if (port_number == nullptr) return 0;
    RegistryKey type_settings;
    char name[kNameBufferSize];
    if (!ReadOemConfig(slot, &type_settings, name)) return 0;
    for (int32_t n = 1; n <= kNamedPortCount; ++n) {
        char port_name[kPortNameSize];
        PortNameFromNumber(n, port_name);
        if (memcmp(oem_config_copy + kPortNameOffset, port_name, kPortNameSize) == 0) {
            *port_number = n;
        }
    }
    return type_settings.Close() == ERROR_SUCCESS ? 1 : 0;
}

int32_t CheckSlotConfig(int32_t slot, bool ten_bit) {
    if (!ValidSlot(slot)) return 0;
    RegistryKey current;
    if (OpenBelowDriverKey(kCurrentSettingsKeyName, KeyAccess::kOpen, &current) != 1) return 0;
    uint8_t record[kHwConfigSize];
    memset(record, 0, sizeof record);
    (ten_bit ? FillHwConfigTenBit : FillHwConfigFullRange)(record);
    char name[kNameBufferSize];
    FormatSlotValueName(kConfigurationTemplate, slot, name);
    if (ValueHoldsRecord(current.handle, name, record, kHwConfigSize) != 1) return 0;
    FormatSlotValueName(kOemNameTemplate, slot, name);
    if (ValueHoldsText(current.handle, name, kTypeName) != 1) return 0;
    FormatSlotValueName(kOemCalloutTemplate, slot, name);
    return ValueHoldsText(current.handle, name, kCalloutName);
}

int32_t CheckSlotPort(int32_t slot, int32_t port_number) {
    int32_t stored_port = 0;
    return GetSlotPort(slot, &stored_port) == 1 && stored_port != 0 &&
                   stored_port == port_number
               ? 1
               : 0;
}

int32_t CheckSlotInstalled(int32_t slot, int32_t port_number, bool ten_bit) {
    return CheckSlotPort(slot, port_number) == 1 && CheckSlotConfig(slot, ten_bit) == 1 ? 1 : 0;
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
