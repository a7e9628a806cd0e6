// Joystick registry records and paths, and the lookup of the joystick driver's key.
#include "joycfg/joystick_records.h"

#include <cstddef>

#include "crt/crt.h"
#include "crt/little_endian.h"
#include "joycfg/registry_key.h"

static_assert(sizeof(JOYCAPSA) == kJoyCapsSize);
static_assert(offsetof(JOYCAPSA, szRegKey) == 112);
static_assert(sizeof(JOYCAPSA::szRegKey) == kJoyCapsRegKeySize);

const char kJoystickRootPath[] = "System\\CurrentControlSet\\Control\\MediaResources\\Joystick";
const char kOemTypesKeyPath[] =
    "System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM";
const char kCurrentSettingsKeyName[] = "CurrentJoystickSettings";
const char kJoystickSettingsKeyName[] = "JoystickSettings";
const char kTypeKeyName[kNameBufferSize] = "\\Tessaline";
const char kTypeName[kNameBufferSize] = "Tessaline";
const char kCalloutName[kNameBufferSize] = "tesln.vxd";
const char kEmptyName[kNameBufferSize] = "";
const char kConfigurationTemplate[] = "Joystick%dConfiguration";
const char kOemNameTemplate[] = "Joystick%dOEMName";
const char kOemCalloutTemplate[] = "Joystick%dOEMCallout";
const char kOemConfigurationTemplate[] = "Joystick%dOEMConfiguration";
const char kOemDataValueName[] = "OEMDATA";

// 2000, 60000, eight 0xFF bytes, "COM1", "XYZRUV".
const uint8_t kDefaultOemConfig[kOemConfigSize] = {
    0xD0, 0x07, 0x00, 0x00, 0x60, 0xEA, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0x43, 0x4F, 0x4D, 0x31, 0x00, 0x58, 0x59, 0x5A, 0x52, 0x55, 0x56, 0x00,
};

namespace {

// JOYREGHWCONFIG byte offsets.
constexpr uint32_t kFlagsOffset = 0;
constexpr uint32_t kNumButtonsOffset = 4;
constexpr uint32_t kUsageOffset = 8;
constexpr uint32_t kMaxOffset = 36;
constexpr uint32_t kCenterOffset = 60;
constexpr uint32_t kCalFlagsOffset = 100;
constexpr uint32_t kTypeOffset = 104;

constexpr uint32_t kHasZRUV = 0x00000001 | 0x00080000 | 0x00800000 | 0x01000000;
constexpr uint32_t kUsagePresentOem = 2 | 4;
constexpr uint32_t kCalibratedAll = 1 | 2 | 4 | 8 | 16;

int32_t FillHwConfig(uint8_t* record, uint32_t maximum, uint32_t center) {
    if (record == nullptr) return 0;
    PutLittleEndianWord(record + kFlagsOffset, kHasZRUV);
    PutLittleEndianWord(record + kNumButtonsOffset, 7);
    PutLittleEndianWord(record + kUsageOffset, kUsagePresentOem);
    for (uint32_t axis = 0; axis < 6; ++axis) {
        PutLittleEndianWord(record + kMaxOffset + 4 * axis, maximum);
        PutLittleEndianWord(record + kCenterOffset + 4 * axis, center);
    }
    PutLittleEndianWord(record + kCalFlagsOffset, kCalibratedAll);
    PutLittleEndianWord(record + kTypeOffset, 1000);
    return 1;
}

}  // namespace

int32_t FillHwConfigTenBit(uint8_t record[112]) { return FillHwConfig(record, 1023, 512); }

int32_t FillHwConfigFullRange(uint8_t record[112]) { return FillHwConfig(record, 65535, 32767); }

void FormatSlotValueName(const char* name_template, int32_t slot, char name[kNameBufferSize]) {
    FormatText(name, kNameBufferSize, name_template, static_cast<int>(slot + 1));
}

void BuildTypeSettingsPath(char path[kNameBufferSize]) {
    FormatText(path, kNameBufferSize, "%s%s", kJoystickSettingsKeyName, kTypeKeyName);
}

DWORD LengthByRule(HKEY key, const char* value_name, DWORD full_size, DWORD content_size) {
    uint8_t scratch[kNameBufferSize];
    if (full_size > sizeof scratch) full_size = sizeof scratch;
    DWORD length = full_size;
    RegQueryValueExA(key, value_name, nullptr, nullptr, scratch, &length);
    // A stored value longer than the buffer would have the write read past it, and a shorter
    // one than the new contents would cut them: both get the full size.
    if (length > full_size || length < content_size) length = full_size;
    return length;
}

namespace {

// Zero-filled first, so that a value shorter than asked for leaves nothing behind that could
// pass for its missing bytes.
bool QueryIntoBuffer(HKEY key, const char* value_name, uint8_t (&buffer)[kNameBufferSize],
                     DWORD* length) {
    memset(buffer, 0, sizeof buffer);
    *length = sizeof buffer;
    return RegQueryValueExA(key, value_name, nullptr, nullptr, buffer, length) == ERROR_SUCCESS;
}

}  // namespace

int32_t ValueHoldsText(HKEY key, const char* value_name, const char* text) {
    const DWORD text_size = static_cast<DWORD>(strlen(text) + 1);
    uint8_t stored[kNameBufferSize];
    DWORD length = 0;
    if (text_size > sizeof stored || !QueryIntoBuffer(key, value_name, stored, &length)) return 0;
    return length >= text_size && memcmp(stored, text, text_size) == 0 ? 1 : 0;
}

int32_t ValueHoldsRecord(HKEY key, const char* value_name, const uint8_t* record, DWORD size) {
    uint8_t stored[kNameBufferSize];
    DWORD length = 0;
    if (size > sizeof stored || !QueryIntoBuffer(key, value_name, stored, &length)) return 0;
    return length == size && memcmp(stored, record, size) == 0 ? 1 : 0;
}

int32_t ReadJoystickDriverName(char name[kJoyCapsRegKeySize + 1]) {
    JOYCAPSA* caps = static_cast<JOYCAPSA*>(AllocateBlock(kJoyCapsSize));
    if (caps == nullptr) return 0;
    memset(caps, 0, kJoyCapsSize);
    if (joyGetDevCapsA(static_cast<UINT_PTR>(-1), caps, kJoyCapsSize) != JOYERR_NOERROR) {
        ReleaseBlock(caps);
        return 0;
    }
    // szRegKey is 32 characters with no promise of a terminator.
    memcpy(name, caps->szRegKey, kJoyCapsRegKeySize);
    name[kJoyCapsRegKeySize] = 0;
    ReleaseBlock(caps);
    return 1;
}

int32_t OpenJoystickDriverKey(HKEY* driver_key) {
    char name[kJoyCapsRegKeySize + 1];
    if (driver_key == nullptr || ReadJoystickDriverName(name) != 1) return 0;
    // An empty name would open the joystick root itself in place of a driver key.
    if (name[0] == 0) return 0;

    RegistryKey root;
    if (!OpenRegistryKey(HKEY_LOCAL_MACHINE, kJoystickRootPath, KeyAccess::kOpen, &root)) return 0;
    RegistryKey driver;
    if (!OpenRegistryKeyBelow(&root, name, KeyAccess::kOpen, &driver)) return 0;
    *driver_key = driver.Release();
    return 1;
}

int32_t CheckJoystickDriverKeys() {
    RegistryKey driver;
    if (OpenJoystickDriverKey(&driver.handle) != 1) return 0;
    RegistryKey key;
    if (!OpenRegistryKeyBelow(&driver, kCurrentSettingsKeyName, KeyAccess::kOpen, &key)) return 0;
    return OpenRegistryKey(HKEY_LOCAL_MACHINE, kOemTypesKeyPath, KeyAccess::kOpen, &key) ? 1 : 0;
}
