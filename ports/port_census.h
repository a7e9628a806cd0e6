// The serial port census and the port-name table.
#pragma once

#include <cstdint>

// Ports 1 to 6, "COM1" to "COM6", are the only ones with a name.
constexpr int32_t kNamedPortCount = 6;

// Stores the port count (0 or more) through count and returns it; only reads the registry.
// The count is the largest of seven surveys below HKEY_LOCAL_MACHINE, each 0 when its key
// cannot be opened, and often more than the ports the machine has, since most surveys count
// registry entries rather than ports:
//   1. the subkeys of "Enum\Root\*PNP0500";
//   2. the unbroken run of values "COM1", "COM2", ... of "hardware\devicemap\serialcomm",
//      at most 6, and 0 without "COM1";
//   3. one more than the highest d of 0 to 9 with a subkey "000d" of "Enum\Root\*PNP0500";
//   4. the instances of "Enum\BIOS\*PNP0500", each counted twice when no "PortName" subkey
//      opens below it, which is the usual case ("PortName" is a value);
//   5. the highest k of 1 to 4 for which an instance there has the "PortName" value "COMk",
//      case and all;
//   6. the same as 4 for "Enum\BIOS\*PNP0501", where an instance that cannot be opened
//      counts three times;
//   7. the same as 5 for "Enum\BIOS\*PNP0501".
int32_t CountSerialPorts(int32_t* count);
// Writes "COM1" to "COM6" with its NUL into the five-byte name for 1 to 6 and returns 1;
// any other number returns 0 and leaves the name untouched.
int32_t PortNameFromNumber(int32_t port_number, char* name);
