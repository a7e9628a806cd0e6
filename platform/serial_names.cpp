#include "platform/serial_names.h"

#include <cstring>
#include <strings.h>

namespace {

constexpr int kMaxEntries = 32;
constexpr size_t kNameSize = 64;
constexpr size_t kPathSize = 256;

struct SerialName {
    char port_name[kNameSize];
    char device_path[kPathSize];
};

SerialName entries[kMaxEntries];
int entry_count = 0;
int32_t lookup_count = 0;

int FindEntry(const char* port_name) {
    for (int i = 0; i < entry_count; ++i) {
        if (strcasecmp(entries[i].port_name, port_name) == 0) return i;
    }
    return -1;
}

}  // namespace

int32_t SetSerialDevicePath(const char* port_name, const char* device_path) {
    if (port_name == nullptr || port_name[0] == '\0') return 0;
    if (strlen(port_name) >= kNameSize) return 0;
    int index = FindEntry(port_name);
    if (device_path == nullptr || device_path[0] == '\0') {
        if (index >= 0) {
            entries[index] = entries[entry_count - 1];
            --entry_count;
        }
        return 1;
    }
    if (strlen(device_path) >= kPathSize) return 0;
    if (index < 0) {
        if (entry_count == kMaxEntries) return 0;
        index = entry_count++;
        memcpy(entries[index].port_name, port_name, strlen(port_name) + 1);
    }
    memcpy(entries[index].device_path, device_path, strlen(device_path) + 1);
    return 1;
}

const char* FindSerialDevicePath(const char* port_name) {
    ++lookup_count;
    if (port_name == nullptr) return nullptr;
    int index = FindEntry(port_name);
    return index < 0 ? nullptr : entries[index].device_path;
}

void ClearSerialDevicePaths() {
    entry_count = 0;
    lookup_count = 0;
}

int32_t SerialDeviceLookupCount() { return lookup_count; }
