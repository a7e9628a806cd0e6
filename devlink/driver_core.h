// The controller driver core: the device tables, requests to identified devices,
// identification of a controller on a named port, and the event interface.
//
// Results:
//    1  done;
//    0  not done, with no failure to tell: a missing argument, no banner, no event waiting;
//   -1  a failure, where an operation tells one apart from 0: a null record, a device
//       number without a device, a port that would not open, a packet that did not decode.
// The core opens ports and never closes one: UdComClose does (and, in tests,
// ResetDeviceLinkState).
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

// 1 with the name, cut to 63 characters, in both port-name fields; 0 for a null argument.
int32_t SetDevicePort(DeviceInfo* info, const char* port_name);
// 1 when a controller answered on info->port_name: maker, model, type and, last, number are
// written, and the port is left open as LastComHandle for UdComClose. 0 otherwise, with
// info untouched; a port that opened without a banner stays open. Every attempt that gets
// as far as the open uses up a device number, found or not.
int32_t IdentifyDevice(DeviceInfo* info);

// 1 when DispatchRequest gives 1, else 0.
int32_t SendDeviceRequest(DeviceRequest* request);
// Carries out one request; -1 for null. By code:
//   kOpenDevice: 1 identified, the request rewritten as kDeviceOpened (word 0 number,
//     word 1 type), the port open, DeviceCount grown; 0 the port opened but no banner came,
//     and it stays open; -1 the port would not open, or the tables are full (no open tried).
//   kPing: 1, the request rewritten as kPingAnswer; no device needed.
//   kRequery: 1 once "?" was handed to the device's port.
//   any other code: 1 when the command was built, framed and wholly written; -1 for a
//     code that sends nothing or a short write.
// A device request to a number that was never identified gives -1 and sends nothing.
int32_t DispatchRequest(DeviceRequest* request);
// 1 with the next event in out, a button release turned into kRequery (length 0) after "?"
// was sent to the device; 0 when nothing came (out untouched), when a ping was answered (out
// holds the kPingAnswer), or for a null out.
int32_t GetDeviceEvent(DeviceRequest* out);
// Reads from one identified device per call, by turns. 1 with the decoded event in out;
// 0 no complete packet waiting (a partial one stays in the device's buffer), or a null out;
// -1 no device identified yet, or a packet that did not decode (dropped; out then holds
// only its device number).
int32_t ReadDeviceEvent(DeviceRequest* out);
// 1 with the record entered in HandleTable under number HandleCount, which grows by one, its
// packet buffer emptied and its push-back cleared; -1 for null or when no number is left.
int32_t RegisterDevice(DeviceRecord* record);
// 1 with *out the record of that device number; -1 for a null out, a number outside 0 to
// 99, or one without a device (failed attempts' numbers among them).
int32_t LookupDevice(DeviceRecord** out, int32_t device_number);
// 1 with the five operation slots set and a type of 0 made kMarlockDeviceType; -1 for null.
int32_t InstallDeviceOps(DeviceRecord* record);
// 1 once "?" and CR were handed to the record's port (the write's result is not looked
// at); -1 for null.
int32_t SendVersionQuery(DeviceRecord* record);
// Sends "?" and waits for the banner. 1 banner seen, the record's type set to
// kMarlockDeviceType; 0 none within kBannerWaitMilliseconds, the port left open; -1 for null.
int32_t AwaitVersionBanner(DeviceRecord* record);
