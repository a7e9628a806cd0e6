// Native builds only: where a serial port name such as "COM1" lives on this machine.
// Tests fill the table (a pseudo-terminal of the controller simulator, a real /dev/ttyS0);
// the POSIX serial channel looks every port name up here before it opens anything.
// The program itself reads no setting: an empty table means every name is a path.
#pragma once

#include <cstdint>

// Maps port_name (compared without regard to case, as Windows does) to device_path.
// A null or empty device_path removes the entry. 1 done; 0 for a null or empty name,
// a name or path too long for the table, or a full table.
int32_t SetSerialDevicePath(const char* port_name, const char* device_path);

// The mapped path, or null when port_name has no entry.
const char* FindSerialDevicePath(const char* port_name);

// Empties the table and sets the lookup count back to 0.
void ClearSerialDevicePaths();

// How many times a port name was looked up, that is, how many opens the channel tried;
// a test compares it with other events of the same run to see their order.
int32_t SerialDeviceLookupCount();
