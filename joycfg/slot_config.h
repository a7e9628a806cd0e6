// Per-joystick (slot) configuration: slots 0 to 15 are the driver's joysticks 1 to 16, and
// the value names carry slot + 1 ("Joystick1Configuration" for slot 0).
//
// Results:
//    1  the operation did all it is for; a writer has closed the key it wrote and flushed
//       HKEY_LOCAL_MACHINE.
//    0  refused (a slot outside 0 to 15, a missing argument, a port without a name, axis
//       letters that do not fit), or a key or value it needs is missing, or a write failed.
//       The operation stopped there: no flush, and what it wrote before the failure stays.
//   -1  ClearSlotConfig only: the driver key could not be looked up.
// Every operation looks the driver key up afresh (joyGetDevCapsA, the joystick root, the
// driver key); a failure there ends it before anything is written. No operation leaves a
// key open, on any path. Only the two sequences at the end notify the joystick driver.
//
// Writes marked "length rule" keep the length of the value already stored when it holds at
// least the new contents and at most the full size (112 bytes for a record, 260 for a name);
// otherwise they write the full size.
#pragma once

#include <cstdint>

constexpr int32_t kSlotCount = 16;

// Blanks the slot in "CurrentJoystickSettings": Joystick%dConfiguration becomes 112 zero
// bytes, Joystick%dOEMName and Joystick%dOEMCallout 260 NUL bytes each. 1 once the key was
// open, whatever the three writes answered; 0 without that key (it is never created) or for
// a bad slot; -1 without the driver key. On 0 and -1 nothing is written.
int32_t ClearSlotConfig(int32_t slot);
// Writes the slot's current settings: the ten-bit (or full-range) hardware record, the type
// name "Tessaline" and the callout name "tesln.vxd", each with the length rule. 1 when all
// three were written; 0 at the first failure, including a missing "CurrentJoystickSettings".
int32_t WriteSlotConfigTenBit(int32_t slot);
int32_t WriteSlotConfigFullRange(int32_t slot);
// Creates "JoystickSettings\Tessaline" below the driver key when it is missing and writes
// the slot's full-range record there (length rule) and its default 28-byte OEM configuration
// record. 1 when both were written; 0 at the first failure.
int32_t InitSlotTypeSettings(int32_t slot);
// Writes the default OEM configuration record over the slot's. 1 when written; 0 otherwise,
// also when the type settings key is missing (only InitSlotTypeSettings creates it).
int32_t ResetSlotOemConfig(int32_t slot);
// Reads the slot's OEM configuration record, puts "COM1" to "COM6" and its NUL at bytes 16
// to 20 and writes the 28 bytes back. 1 when written; 0 with nothing written when the record
// is missing or not exactly 28 bytes long, or the port is not 1 to 6.
int32_t SetSlotPort(int32_t slot, int32_t port_number);
// The same for the axis letters, copied with their NUL from byte 21: at most six letters
// fit, and a longer string or none is refused with 0 and nothing written. The bytes behind
// the NUL stay as they were read.
int32_t SetSlotAxes(int32_t slot, const char* axis_letters);
// Reads the slot's OEM configuration record and stores n in *port_number when bytes 16 to
// 20 hold "COMn" and its NUL, n from 1 to 6; otherwise *port_number is left as it was. 1 when
// the record was read and the key closed without error; 0 when it could not be read (then
// *port_number is untouched) or the close failed. Writes nothing and does not flush.
int32_t GetSlotPort(int32_t slot, int32_t* port_number);
// The read-backs, which tell whether the slot holds what the install wrote last to it; none
// writes or flushes. 1 when it holds; 0 when it does not, or a key or value it reads is
// missing (the driver keys among them).
//
// CheckSlotConfig compares the slot's current settings: Joystick%dConfiguration against the
// hardware record, all 112 bytes (the ten-bit one when ten_bit is set, else the full-range
// one), and Joystick%dOEMName and Joystick%dOEMCallout against "Tessaline" and "tesln.vxd",
// each the text and its NUL at the start of a value at least that long.
int32_t CheckSlotConfig(int32_t slot, bool ten_bit);
// CheckSlotPort compares the port that the slot's OEM configuration record names, COM1 to
// COM6, with port_number; a record that names none never holds.
int32_t CheckSlotPort(int32_t slot, int32_t port_number);
// Both of the above.
int32_t CheckSlotInstalled(int32_t slot, int32_t port_number, bool ten_bit);
// The install sequences: ClearSlotConfig, NotifyJoystickDriver, WriteSlotConfigTenBit (or
// WriteSlotConfigFullRange), SetSlotPort, SetSlotAxes, NotifyJoystickDriver, each step run
// whatever the one before returned. Always 0. Each leaves the driver told twice: two driver
// messages and one broadcast per notification when the driver opens.
int32_t ConfigureSlotTenBit(int32_t slot, int32_t port_number, const char* axis_letters);
int32_t ConfigureSlotFullRange(int32_t slot, int32_t port_number, const char* axis_letters);
