// Test-facing side of the native registry: the store behind RegOpenKeyA and its siblings.
// One store per process, rooted at HKEY_LOCAL_MACHINE. Paths below are relative to that
// root ("System\CurrentControlSet\..."); a leading "HKEY_LOCAL_MACHINE\" is accepted too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

// Empties the store, closes every handle, forgets refusals, the flush count and the call
// trace. Stray closes (below) are kept: they belong to the test, not to the machine.
void ResetRegistryStore();

// Replaces the store with the keys and values of REGEDIT4 text. Returns true when the whole
// text was understood; otherwise the store holds what was read up to the faulty line and
// *error (when given) names that line.
bool LoadRegistryText(const std::string& text, std::string* error = nullptr);
bool LoadRegistryFile(const std::string& path, std::string* error = nullptr);

// REGEDIT4 text of the store, or of the key at sub_tree and everything below it. Keys and
// values come in case-insensitive name order, so the same store always gives the same text.
// A REG_SZ value is written as "text" only when it is exactly its text and one NUL;
// anything else keeps every byte through hex(1):.
std::string ExportRegistryText(const std::string& sub_tree = "");

struct StoredValue {
    bool found = false;
    DWORD type = REG_NONE;
    std::vector<uint8_t> bytes;
};
// A value as RegQueryValueExA would hand it out: type, length and bytes.
StoredValue ReadRegistryValue(const std::string& key_path, const std::string& value_name);
bool RegistryKeyExists(const std::string& key_path);
// Names as stored (case preserved), in enumeration order.
std::vector<std::string> RegistrySubkeyNames(const std::string& key_path);
std::vector<std::string> RegistryValueNames(const std::string& key_path);

// With refuse set, RegOpenKeyA and RegCreateKeyA answer a sub key that begins with a
// backslash with ERROR_BAD_PATHNAME, as Windows NT and Wine do; by default the backslash is
// only a separator, as on Windows 95. A reset returns to the default.
void SetRegistryLeadingBackslashRefused(bool refuse);

// With at_their_length set, a REG_SZ is stored as Windows 9x stores it: its text up to the
// first NUL and one NUL, whatever length was passed. By default the bytes are kept at the
// length given, as Windows NT does. A reset returns to the default.
void SetRegistryTextsKeptAtTheirLength(bool at_their_length);

// Handles handed out by RegOpenKeyA/RegCreateKeyA and not yet closed.
int32_t OpenRegistryKeyCount();
// RegFlushKey calls that succeeded since the last reset.
int32_t RegistryFlushCount();

// Every registry call the product made since the last reset or clear, in order.
struct RegistryCall {
    enum Kind { kOpen, kCreate, kEnum, kQuery, kSet, kClose, kFlush };
    Kind kind = kOpen;
    // The key acted on, below HKEY_LOCAL_MACHINE ("" for the root itself); for an open or a
    // create, the parent's path joined with the sub key as the caller spelt it.
    std::string key;
    std::string value_name;  // query and set
    DWORD type = REG_NONE;   // set
    DWORD length = 0;        // query: the buffer size offered; set: the length written
    LONG result = ERROR_SUCCESS;
};
const std::vector<RegistryCall>& RegistryCalls();
void ClearRegistryCalls();
// One line per call, for test messages and compact expectations:
//   "open KEY", "create KEY", "enum KEY", "query KEY NAME LENGTH", "set KEY NAME LENGTH",
//   "close KEY", "flush KEY" (the root reads "HKLM"), with " -> RESULT" when it failed.
std::string DescribeRegistryCall(const RegistryCall& call);

// RegCloseKey calls on a handle that was not open: closed already, or never handed out.
// Each one could have closed a key that someone else had opened since. Counted until
// forgotten; the unit tests' common tear-down expects none.
int32_t StrayRegistryCloseCount();
void ForgetStrayRegistryCloses();

// Makes RegSetValueExA fail with ERROR_ACCESS_DENIED for value_name in the key at key_path,
// or for every value of that key when value_name is empty. A key refused as a whole also
// makes RegCreateKeyA fail on it, whether or not it exists; RegOpenKeyA still opens it.
// The refusals may name keys that do not exist yet; loading or resetting forgets them.
void RefuseRegistryWrites(const std::string& key_path, const std::string& value_name = "");
// Makes RegOpenKeyA and RegCreateKeyA fail with ERROR_ACCESS_DENIED on the key at key_path,
// while it still shows among its parent's subkeys.
void RefuseRegistryOpens(const std::string& key_path);
