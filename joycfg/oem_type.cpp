// Registration of the controller as the joystick driver's OEM type "Tessaline".
#include "joycfg/oem_type.h"

#include "crt/crt.h"
#include "joycfg/joystick_records.h"
#include "joycfg/registry_key.h"

namespace {

// Each text value goes out as a 250-byte field, zero-filled behind the text. The table keeps
// the texts at their own length and the field is filled only when a value is written, which
// saves the program some 10 KB of zeros.
constexpr uint32_t kOemFieldSize = 250;

struct OemText {
    const char* name;
    const char* text;
};

constexpr OemText kOemTexts[] = {
    {"OEMCALLOUT", "tesln.vxd"},
    {"OEMNAME", "Brennick Gyrelle"},
    {"OEMXYLabel", "L/R U/D"},
    {"OEMZLabel", "In/Out"},
    {"OEMRLabel", "Pitch"},
    {"OEMULabel", "Yaw"},
    {"OEMVLabel", "Roll"},
    {"OEMTestMoveDesc", "Test the Gyrelle"},
    {"OEMTestButtonDesc", "Only buttons A, B, C and D are shown"},
    {"OEMTestMoveCap", "Ball"},
    {"OEMTestButtonCap", "Buttons"},
    {"OEMTestWinCap", "Test Gyrelle"},
    {"OEMCalWinCap", "Gyrelle Calibration"},
    {"OEMCal1", "Let go of the ball and then press one of buttons A to D"},
    {"OEMCal2",
     "Push the ball to both extremes in both the X and Y directions and then press one of "
     "buttons A to D"},
    {"OEMCal3", "Again, let go of the ball and press one of buttons A to D"},
    {"OEMCal4",
     "Push and pull the ball to its extremes along the Z axis and then press one of buttons "
     "A to D"},
    {"OEMCal5",
     "Twist the ball as far as it will go in both directions around the X axis and then "
     "press one of buttons A to D"},
    {"OEMCal6",
     "Twist the ball as far as it will go in both directions around the Y axis and then "
     "press one of buttons A to D"},
    {"OEMCal7",
     "Twist the ball as far as it will go in both directions around the Z axis and then "
     "press one of buttons A to D"},
    {"OEMCal12",
     "You have calibrated your Gyrelle. To Test click Test.  To save your calibration "
     "settings, click Finish"},
};
static_assert(sizeof kOemTexts / sizeof kOemTexts[0] == 21);

// Every text fits its field with its terminating zero, so none is ever cut.
constexpr bool TextsFitTheField() {
    for (const OemText& entry : kOemTexts) {
        uint32_t length = 0;
        while (entry.text[length] != '\0') ++length;
        if (length >= kOemFieldSize) return false;
    }
    return true;
}
static_assert(TextsFitTheField());

// The text, then zero bytes to the end of the field.
void WidenIntoField(const char* text, char (&field)[kOemFieldSize]) {
    memset(field, 0, sizeof field);
    for (uint32_t i = 0; i < kOemFieldSize - 1 && text[i] != '\0'; ++i) field[i] = text[i];
}

// Opens or creates the OEM type key below the OEM types key, which must exist.
bool OpenOemTypeKey(KeyAccess access, RegistryKey* oem_type) {
    RegistryKey oem_types;
    if (!OpenRegistryKey(HKEY_LOCAL_MACHINE, kOemTypesKeyPath, KeyAccess::kOpen, &oem_types)) {
        return false;
    }
    // The name's leading backslash is only a separator; the NT-style registry refuses a
    // relative path that starts with one, so the key is reached by its bare name.
    const char* type_key = kTypeKeyName[0] == '\\' ? kTypeKeyName + 1 : kTypeKeyName;
    return OpenRegistryKeyBelow(&oem_types, type_key, access, oem_type);
}

}  // namespace

int32_t RegisterOemType() {
    RegistryKey oem_type;
    if (!OpenOemTypeKey(KeyAccess::kCreate, &oem_type)) return 0;

    // Whatever length another program stored, the record goes out whole.
    const DWORD length =
        LengthByRule(oem_type.handle, kOemDataValueName, kHwConfigSize, kHwConfigSize);
    uint8_t record[kHwConfigSize];
    memset(record, 0, sizeof record);
    FillHwConfigFullRange(record);
    if (!SetBinaryValue(oem_type, kOemDataValueName, record, length)) return 0;
    char field[kOemFieldSize];
    for (const OemText& entry : kOemTexts) {
        WidenIntoField(entry.text, field);
        if (!SetTextValue(oem_type, entry.name, field, kOemFieldSize)) return 0;
    }
    return CloseAndFlush(&oem_type);
}

int32_t CheckOemType() {
    RegistryKey oem_type;
    if (!OpenOemTypeKey(KeyAccess::kOpen, &oem_type)) return 0;
    uint8_t record[kHwConfigSize];
    memset(record, 0, sizeof record);
    FillHwConfigFullRange(record);
    if (ValueHoldsRecord(oem_type.handle, kOemDataValueName, record, kHwConfigSize) != 1) return 0;
    // The driver the type names, and the name the user picks it by.
    const OemText& callout = kOemTexts[0];
    const OemText& display_name = kOemTexts[1];
    return ValueHoldsText(oem_type.handle, callout.name, callout.text) == 1 &&
                   ValueHoldsText(oem_type.handle, display_name.name, display_name.text) == 1
               ? 1
               : 0;
}
