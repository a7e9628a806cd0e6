// The controller driver core: the device tables, requests to identified devices,
// identification of a controller on a named port, and the event interface.
#pragma once

#include <cstdint>

#include "devlink/device_records.h"

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
int32_t AwaitVersionBanner(DeviceRecord* record);
