// The serial port census: seven registry surveys, the largest of their counts wins.
#include "ports/port_census.h"

#include "crt/crt.h"
#include "platform/win32.h"

namespace {

constexpr int32_t kPathSize = 260;

// Five bytes each: three letters, one digit, NUL. Index 0 is unused so the port number
// indexes the table directly.
constexpr char kPortNames[kNamedPortCount + 1][5] = {
    {0, 0, 0, 0, 0}, {'C', 'O', 'M', '1', 0}, {'C', 'O', 'M', '2', 0}, {'C', 'O', 'M', '3', 0},
    {'C', 'O', 'M', '4', 0}, {'C', 'O', 'M', '5', 0}, {'C', 'O', 'M', '6', 0},
};

const char kRootSerialPath[] = "Enum\\Root\\*PNP0500";
const char kSerialCommPath[] = "hardware\\devicemap\\serialcomm";
const char kBiosSerialPath[] = "Enum\\BIOS\\*PNP0500";
const char kBios16550Path[] = "Enum\\BIOS\\*PNP0501";
const char kPortNameValue[] = "PortName";

int32_t Max(int32_t a, int32_t b) { return a > b ? a : b; }

// Any error ends an enumeration: past the last subkey that is ERROR_NO_MORE_ITEMS, and
// anything else would otherwise repeat for ever.
bool NextSubkey(HKEY key, DWORD index, char name[kPathSize]) {
    memset(name, 0, kPathSize);
    return RegEnumKeyA(key, index, name, kPathSize) == ERROR_SUCCESS;
}

// The largest k in 1..4 for which the instance's "PortName" text is exactly "COMk".
int32_t PortNameDigit(HKEY instance) {
    // One spare zero byte behind the 260 the query may fill keeps the comparison in bounds.
    char text[kPathSize + 1];
    memset(text, 0, sizeof text);
    DWORD size = kPathSize;
    if (RegQueryValueExA(instance, kPortNameValue, nullptr, nullptr,
                         reinterpret_cast<LPBYTE>(text), &size) != ERROR_SUCCESS) {
        return 0;
    }
    char candidate[5] = {'C', 'O', 'M', '0', 0};
    int32_t found = 0;
    for (int32_t k = 1; k <= 4; ++k) {
        candidate[3] = static_cast<char>('0' + k);
        if (strcmp(text, candidate) == 0) found = k;
    }
    return found;
}

// Surveys 4 to 7 over one BIOS class key. An instance adds 1, 1 more when it holds no
// "PortName" subkey, and, for the 16550 class only, 1 more when it cannot be opened.
void SurveyBiosInstances(const char* class_path, bool count_failed_open, int32_t* entries,
                         int32_t* highest_port) {
    HKEY class_key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, class_path, &class_key) != ERROR_SUCCESS) return;
    char name[kPathSize];
    for (DWORD index = 0; NextSubkey(class_key, index, name); ++index) {
        ++*entries;
        HKEY instance = nullptr;
        if (RegOpenKeyA(class_key, name, &instance) != ERROR_SUCCESS) {
            *entries += count_failed_open ? 2 : 1;
            continue;
        }
        HKEY port_name_key = nullptr;
        if (RegOpenKeyA(instance, kPortNameValue, &port_name_key) == ERROR_SUCCESS) {
            RegCloseKey(port_name_key);
        } else {
            ++*entries;
        }
        *highest_port = Max(*highest_port, PortNameDigit(instance));
        RegCloseKey(instance);
    }
    RegCloseKey(class_key);
}

}  // namespace

int32_t PortNameFromNumber(int32_t port_number, char* name) {
    if (port_number < 1 || port_number > kNamedPortCount || name == nullptr) return 0;
    memcpy(name, kPortNames[port_number], sizeof kPortNames[port_number]);
    return 1;
}

int32_t CountSerialPorts(int32_t* count) {
    int32_t c1 = 0, c2 = 0, c3 = 0, c4 = 0, c5 = 0, c6 = 0, c7 = 0;
    HKEY key = nullptr;
    char name[kPathSize];

    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kRootSerialPath, &key) == ERROR_SUCCESS) {
        while (NextSubkey(key, static_cast<DWORD>(c1), name)) ++c1;
        RegCloseKey(key);
    }

    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kSerialCommPath, &key) == ERROR_SUCCESS) {
        char data[kPathSize];
        for (int32_t n = 1; n <= kNamedPortCount; ++n) {
            char port_name[5];
            PortNameFromNumber(n, port_name);
            DWORD size = kPathSize;
            if (RegQueryValueExA(key, port_name, nullptr, nullptr, reinterpret_cast<LPBYTE>(data),
                                 &size) != ERROR_SUCCESS) {
                break;
            }
            c2 = n;
        }
        RegCloseKey(key);
    }

    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kRootSerialPath, &key) == ERROR_SUCCESS) {
        char instance_name[5] = {'0', '0', '0', '0', 0};
        for (int32_t digit = 0; digit <= 9; ++digit) {
            instance_name[3] = static_cast<char>('0' + digit);
            HKEY instance = nullptr;
            if (RegOpenKeyA(key, instance_name, &instance) == ERROR_SUCCESS) {
                c3 = digit + 1;
                RegCloseKey(instance);
            }
        }
        RegCloseKey(key);
    }

    SurveyBiosInstances(kBiosSerialPath, false, &c4, &c5);
    SurveyBiosInstances(kBios16550Path, true, &c6, &c7);

    const int32_t result = Max(Max(Max(c1, c2), Max(c3, c4)), Max(Max(c5, c6), c7));
    if (count != nullptr) *count = result;
    return result;
}
