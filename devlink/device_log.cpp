// The one place where the device link formats a debugging line and the one place where
// the line leaves the process; both channels log through here.
#include "devlink/device_log.h"

#include "crt/crt.h"

namespace {

// Written at once, unbuffered: the lines must survive a process that is killed right after
// it logged.
DeviceLogSink current_sink = WriteStandardOutput;

}  // namespace

void SetDeviceLogSink(DeviceLogSink sink) {
    current_sink = sink != nullptr ? sink : WriteStandardOutput;
}

void LogDeviceLine(const char* format, ...) {
    // The longest line is a 63-character port name behind "UdComOpen:  opening ".
    char line[256];
    va_list args;
    va_start(args, format);
    FormatTextList(line, sizeof(line), format, args);
    va_end(args);
    current_sink(line);
}
