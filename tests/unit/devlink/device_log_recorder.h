// Catches the device link's debugging lines for as long as it lives, in place of
// standard output, and gives back what arrived since the last look.
#pragma once

#include <string>

#include "devlink/device_log.h"

class DeviceLogRecorder {
public:
    DeviceLogRecorder() {
        Text().clear();
        SetDeviceLogSink(Record);
    }
    ~DeviceLogRecorder() { SetDeviceLogSink(nullptr); }
    DeviceLogRecorder(const DeviceLogRecorder&) = delete;
    DeviceLogRecorder& operator=(const DeviceLogRecorder&) = delete;

    // The lines logged since the recorder began or since the last Take, one after another.
    std::string Take() {
        std::string lines;
        lines.swap(Text());
        return lines;
    }

private:
    // The sink is a plain function, so what it records lives outside the object.
    static std::string& Text() {
        static std::string text;
        return text;
    }
    static void Record(const char* line) { Text() += line; }
};
