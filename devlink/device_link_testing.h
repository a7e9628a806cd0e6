// Test support: puts the device link back as a fresh process finds it, so that one test
// process can run the whole program several times, and attaches an already open line as
// an identified device without the open's settle wait and the banner exchange.
#pragma once

#include <cstdint>

#include "devlink/device_records.h"

// Closes every port that the device link opened and did not close (identification leaves
// a port open when no banner came), empties the device and handle tables, zeroes the
// counters and the last button mask, forgets LastComHandle and restores the real clock
// and the default log sink.
void ResetDeviceLinkState();

// The serial channel's part of the reset: closes its still-open ports (the POSIX channel;
// the Windows one keeps no list of them: its only test process runs it over a stand-in of
// the ports, and a real process's end closes them), forgets
// LastComHandle and restores the default log sink.
void ResetSerialChannelState();

// Registers the next DeviceTable record over an open handle, as if a controller had been
// identified on it: device type 5, operation slots set, DeviceCount grown by one.
// Gives the device number, or -1 when the tables are full.
int32_t AttachDeviceForTesting(ComHandle handle);
