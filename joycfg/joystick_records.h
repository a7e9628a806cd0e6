// The joystick driver's registry entries: paths, value names, records and the lookup of
// the driver key.
#pragma once

#include <cstdint>

#include "platform/win32.h"

constexpr uint32_t kHwConfigSize = 112;   // JOYREGHWCONFIG
constexpr uint32_t kOemConfigSize = 28;   // the controller's OEM configuration record
constexpr uint32_t kNameBufferSize = 260; // paths, value names and slot text values
constexpr uint32_t kJoyCapsSize = 404;    // JOYCAPSA
constexpr uint32_t kJoyCapsRegKeySize = 32;

extern const char kJoystickRootPath[];
// Where the joystick driver's setup keeps the OEM joystick types, below HKEY_LOCAL_MACHINE.
extern const char kOemTypesKeyPath[];
extern const char kCurrentSettingsKeyName[];
extern const char kJoystickSettingsKeyName[];
// Each held in a zero-filled 260-byte buffer: REG_SZ writes pass the whole buffer.
extern const char kTypeKeyName[kNameBufferSize];  // "\Tessaline"
extern const char kTypeName[kNameBufferSize];     // "Tessaline"
extern const char kCalloutName[kNameBufferSize];  // "tesln.vxd"
extern const char kEmptyName[kNameBufferSize];
// Value-name templates; "%d" takes slot + 1.
extern const char kConfigurationTemplate[];
extern const char kOemNameTemplate[];
extern const char kOemCalloutTemplate[];
extern const char kOemConfigurationTemplate[];
extern const char kOemDataValueName[];
extern const uint8_t kDefaultOemConfig[kOemConfigSize];

// Hands out the open driver key (the joystick root's subkey named by JOYCAPSA.szRegKey)
// and returns 1, or returns 0 and leaves driver_key untouched. The caller closes the key.
int32_t OpenJoystickDriverKey(HKEY* driver_key);
// Whether the keys that setting up the joystick driver leaves are there: 1 when
// joyGetDevCapsA names a driver key and the joystick root, that driver key, its
// "CurrentJoystickSettings" and the OEM types key all open; 0 otherwise. Every key opened is
// closed again; nothing is written.
int32_t CheckJoystickDriverKeys();
int32_t FillHwConfigTenBit(uint8_t record[112]);
int32_t FillHwConfigFullRange(uint8_t record[112]);

// The read-back of one value, which writes nothing. A text holds when the value stored is
// at least the text and its NUL long and begins with them: Windows 9x keeps a text at its
// length plus one, NT the whole zero-filled buffer written. A record holds when it is
// exactly those size bytes. 1 when it holds; 0 when it does not, is missing or does not fit
// a 260-byte buffer.
int32_t ValueHoldsText(HKEY key, const char* value_name, const char* text);
int32_t ValueHoldsRecord(HKEY key, const char* value_name, const uint8_t* record, DWORD size);

// Asks the joystick driver (joystick -1) for its key name: szRegKey, at most 32 characters,
// always terminated here. Returns 1, or 0 without a driver; the JOYCAPSA record it takes
// from the heap is released either way.
int32_t ReadJoystickDriverName(char name[kJoyCapsRegKeySize + 1]);

// Formats a per-joystick value name: slot 0 gives joystick 1.
void FormatSlotValueName(const char* name_template, int32_t slot, char name[kNameBufferSize]);
// "JoystickSettings\Tessaline", relative to the driver key.
void BuildTypeSettingsPath(char path[kNameBufferSize]);
// The length to write under the length rule: the stored length as a query into a full-size
// buffer reports it, but never more than full_size, and never fewer than the content_size
// bytes that the new contents need (then the full size).
DWORD LengthByRule(HKEY key, const char* value_name, DWORD full_size, DWORD content_size);
