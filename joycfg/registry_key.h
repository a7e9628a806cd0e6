// The registry keys of the joystick configuration: a key held open is closed on every path
// when its holder goes out of scope, and a writer that succeeds closes the key it wrote
// before it flushes HKEY_LOCAL_MACHINE, so that the driver, told next, reads the new values.
#pragma once

#include <cstdint>

#include "platform/win32.h"

struct RegistryKey {
    HKEY handle = nullptr;

    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { Close(); }

    // RegCloseKey's result; ERROR_SUCCESS when no key was open.
    LONG Close() {
        if (handle == nullptr) return ERROR_SUCCESS;
        const LONG closed = RegCloseKey(handle);
        handle = nullptr;
        return closed;
    }

    // Hands the open key to a caller who closes it.
    HKEY Release() {
        const HKEY released = handle;
        handle = nullptr;
        return released;
    }
};

enum class KeyAccess {
    kOpen,    // RegOpenKeyA: the key must exist
    kCreate,  // RegCreateKeyA: missing levels are created
};

// Opens path below parent into *key (closing what *key held); false leaves *key closed.
inline bool OpenRegistryKey(HKEY parent, const char* path, KeyAccess access, RegistryKey* key) {
    key->Close();
    HKEY opened = nullptr;
    const LONG result = access == KeyAccess::kCreate ? RegCreateKeyA(parent, path, &opened)
                                                     : RegOpenKeyA(parent, path, &opened);
    if (result != ERROR_SUCCESS) return false;
    key->handle = opened;
    return true;
}

// The same below an open key, which is closed right after, whether or not path opened.
inline bool OpenRegistryKeyBelow(RegistryKey* parent, const char* path, KeyAccess access,
                                 RegistryKey* key) {
    const bool opened = OpenRegistryKey(parent->handle, path, access, key);
    parent->Close();
    return opened;
}

inline bool SetBinaryValue(const RegistryKey& key, const char* name, const uint8_t* data,
                           DWORD length) {
    return RegSetValueExA(key.handle, name, 0, REG_BINARY, data, length) == ERROR_SUCCESS;
}

// Text values go out with the length given, the zero fill of their buffer included.
inline bool SetTextValue(const RegistryKey& key, const char* name, const char* buffer,
                         DWORD length) {
    return RegSetValueExA(key.handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(buffer),
                          length) == ERROR_SUCCESS;
}

// How a writer ends when every write went through: 1.
inline int32_t CloseAndFlush(RegistryKey* key) {
    key->Close();
    RegFlushKey(HKEY_LOCAL_MACHINE);
    return 1;
}
