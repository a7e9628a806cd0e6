// The controller driver core: the device tables, requests to identified devices,
// identification of a controller on a named port, and the event interface.
#pragma once

#include <cstdint>

#include "devlink/device_records.h"

constexpr int32_t kDeviceTableSize = 20;
constexpr int32_t kHandleTableSize = 100;

// Process-wide state; everything starts at zero.
extern DeviceRecord DeviceTable[kDeviceTableSize];  // devices in the order identified
extern int32_t DeviceCount;
extern int32_t NextReadDevice;
extern DeviceRecord* HandleTable[kHandleTableSize];  // by device number; empty for failed attempts
extern int32_t HandleCount;  // next device number; failed open attempts use one up too
extern uint32_t LastButtonMask;

// How long identification waits for the banner after its query. The banner's two dozen bytes
// take about 25 ms at 9600 baud; the rest is the controller's own time to answer.
constexpr uint32_t kBannerWaitMilliseconds = 1500;
// Longest idle between two looks at a silent line during that wait.
constexpr uint32_t kBannerPollMilliseconds = 5;

// The banner wait reads time and idles through these two, so that tests can drive time.
typedef uint32_t (*DeviceLinkClock)();
typedef void (*DeviceLinkIdle)(ComChannel* channel, uint32_t milliseconds);
// Null for either restores the real one (UdComTickCount, UdComWaitReadable).
void SetDeviceLinkClock(DeviceLinkClock clock, DeviceLinkIdle idle);

int32_t SetDevicePort(DeviceInfo* info, const char* port_name);
// 1 when a controller answered on info->port_name; the port is then left open and
// UdComClose closes it. 0 otherwise, with the record untouched.
int32_t IdentifyDevice(DeviceInfo* info);

int32_t SendDeviceRequest(DeviceRequest* request);
int32_t DispatchRequest(DeviceRequest* request);
int32_t GetDeviceEvent(DeviceRequest* out);
int32_t ReadDeviceEvent(DeviceRequest* out);
int32_t RegisterDevice(DeviceRecord* record);
int32_t LookupDevice(DeviceRecord** out, int32_t device_number);
int32_t InstallDeviceOps(DeviceRecord* record);
int32_t SendVersionQuery(DeviceRecord* record);
// 1 banner seen; 0 none within kBannerWaitMilliseconds; -1 for null.
int32_t AwaitVersionBanner(DeviceRecord* record);
