// The records the device link hands between its layers and to its callers.
#pragma once

#include <cstdint>

#include "devlink/serial_channel.h"

// A request to the driver, or an event from it.
struct DeviceRequest {
    int32_t device_number;
    int32_t code;
    int32_t length;  // data bytes that count
    uint8_t data[64];
};

// A packet being framed for sending or gathered on receipt.
struct PacketBuffer {
    int32_t count;
    int32_t capacity;  // 128 in every buffer the driver makes
    uint8_t bytes[128];
};

struct DeviceRecord;

// The five operations every identified device record carries.
typedef int32_t (*FramePacketOperation)(PacketBuffer* buffer);
typedef int32_t (*ReceiveByteOperation)(uint8_t byte, PacketBuffer* buffer, DeviceRecord* record);
typedef int32_t (*BuildCommandOperation)(const DeviceRequest* request, PacketBuffer* buffer);
typedef int32_t (*DecodePacketOperation)(DeviceRecord* record, PacketBuffer* buffer,
                                         DeviceRequest* event);
typedef int32_t (*SendVersionQueryOperation)(DeviceRecord* record);

// One attached controller; the serial channel's fields come last.
struct DeviceRecord {
    FramePacketOperation frame_packet;
    ReceiveByteOperation receive_byte;
    BuildCommandOperation build_command;
    DecodePacketOperation decode_packet;
    SendVersionQueryOperation send_version_query;
    int32_t device_type;
    int32_t device_number;
    PacketBuffer packet;
    ComChannel channel;
};

// The caller's description of one controller; the caller owns it.
struct DeviceInfo {
    int32_t device_type;
    char maker[64];
    char model[128];
    char port_name[64];  // read by IdentifyDevice, at most 63 characters
    int32_t device_number;
    char second_port_name[64];  // written by SetDevicePort, read by nobody
};
