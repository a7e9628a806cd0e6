// The serial port census and the port-name table.
#pragma once

#include <cstdint>

// Ports 1 to 6, "COM1" to "COM6", are the only ones with a name.
constexpr int32_t kNamedPortCount = 6;

// Stores the port count (0 or more) through count and returns it.
int32_t CountSerialPorts(int32_t* count);
// Writes "COM1" to "COM6" with its NUL into the five-byte name for 1 to 6 and returns 1;
// any other number returns 0 and leaves the name untouched.
int32_t PortNameFromNumber(int32_t port_number, char* name);
