// The controller's wire format: framing, gathering and checking, commands, decoding.
//
// Results:
//    1  done: a command framed or built, a packet complete and good, an event decoded;
//    0  nothing to do yet: a byte taken into an unfinished packet, a command without
//       bytes, an empty buffer;
//   -1  refused: a null argument, a buffer without room, a packet whose check byte is
//       wrong or that does not decode, a code without a command.
// None of them empties a buffer; the driver core does that after each packet.
#pragma once

#include <cstdint>

#include "devlink/device_records.h"

// The nine bytes that the controller's firmware XORs over a motion packet. They belong to
// the firmware; until this holds the firmware's own mask, motion from a real controller
// decodes to wrong values (buttons, texts and identification are not affected).
constexpr uint8_t kMotionMask[9] = {'V', 'k', '3', '#', 'p', 'W', '9', '!', 'x'};

// 1 with a check byte appended after two or more bytes, bit 7 set from position 1 on and CR
// appended; -1 for null or when that would not fit the capacity (the buffer is untouched).
int32_t FramePacket(PacketBuffer* buffer);
// Takes one received byte. 0 byte stored, or a CR ignored, and the packet not complete;
// 1 the packet is complete and checks: its payload's bit 7 cleared, count without the
// check byte; -1 complete with a wrong check byte, or the buffer full (the byte is
// lost), or a null argument. A letter that ends a packet is pushed back into the record's
// channel, to start the next one.
int32_t ReceiveByte(uint8_t byte, PacketBuffer* buffer, DeviceRecord* record);
// 1 with the command's letter (and for kUpperNCommand its byte) in the buffer; 0 for the
// empty commands, with nothing to send; -1 for every other code or a null argument.
// Framing is FramePacket's work.
int32_t BuildCommand(const DeviceRequest* request, PacketBuffer* buffer);
// 1 with the event's device number, code, data and length set from a complete packet;
// 0 for an empty buffer, the event untouched; -1 for a null argument, or a letter or length
// that does not decode, after which at most the event's device number has been set.
int32_t DecodePacket(DeviceRecord* record, PacketBuffer* buffer, DeviceRequest* event);
// 1 with the six axis values of a "D" packet and the constant 33 in words; -1 for a null
// argument or a packet shorter than 11 bytes.
int32_t DecodeMotion(const PacketBuffer* packet, int32_t words[7]);
