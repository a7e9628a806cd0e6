// The controller's wire format: framing, gathering and checking, commands, decoding.
#pragma once

#include <cstdint>

#include "devlink/device_records.h"

// The nine bytes that the controller's firmware XORs over a motion packet. They belong to
// the firmware; until this holds the firmware's own mask, motion from a real controller
// decodes to wrong values (buttons, texts and identification are not affected).
constexpr uint8_t kMotionMask[9] = {'V', 'k', '3', '#', 'p', 'W', '9', '!', 'x'};

int32_t FramePacket(PacketBuffer* buffer);
int32_t ReceiveByte(uint8_t byte, PacketBuffer* buffer, DeviceRecord* record);
int32_t BuildCommand(const DeviceRequest* request, PacketBuffer* buffer);
int32_t DecodePacket(DeviceRecord* record, PacketBuffer* buffer, DeviceRequest* event);
int32_t DecodeMotion(const PacketBuffer* packet, int32_t words[7]);
