// The device link's debugging lines ("UdComOpen:  opening COM1" and the like) all leave
// through one sink. The default writes each line to standard output and flushes it at
// once; a test or an embedding program sets its own sink to record or drop the lines.
#pragma once

// Receives one finished line, its newline included; the text lives only for the call.
typedef void (*DeviceLogSink)(const char* line);

// Null restores the default sink.
void SetDeviceLogSink(DeviceLogSink sink);

// Formats one line (at most 255 bytes; anything longer is cut) and hands it to the sink.
void LogDeviceLine(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;
