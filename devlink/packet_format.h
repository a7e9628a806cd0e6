// The controller's wire format: framing, gathering and checking, commands, decoding.
#pragma once

#include <cstdint>

#include "devlink/device_records.h"

int32_t FramePacket(PacketBuffer* buffer);
int32_t ReceiveByte(uint8_t byte, PacketBuffer* buffer, DeviceRecord* record);
int32_t BuildCommand(const DeviceRequest* request, PacketBuffer* buffer);
int32_t DecodePacket(DeviceRecord* record, PacketBuffer* buffer, DeviceRequest* event);
int32_t DecodeMotion(const PacketBuffer* packet, int32_t words[7]);
