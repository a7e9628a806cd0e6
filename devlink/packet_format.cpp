// The controller's wire format, both ways: commands are built from requests and framed for
// the line; received bytes gather into packets, are checked, and decode into events.
#include "devlink/packet_format.h"

#include "crt/crt.h"
#include "devlink/device_codes.h"
#include "devlink/device_words.h"

namespace {

constexpr uint8_t kCarriageReturn = 0x0D;
constexpr uint8_t kHighBit = 0x80;
constexpr int32_t kBufferBytes = static_cast<int32_t>(sizeof(PacketBuffer::bytes));

// A buffer whose fields were damaged must still never lead past its 128 bytes.
int32_t UsableCapacity(const PacketBuffer* buffer) {
    return buffer->capacity < kBufferBytes ? buffer->capacity : kBufferBytes;
}

void DecodeText(const PacketBuffer* buffer, DeviceCode code, DeviceRequest* event) {
    // A text packet can carry up to 125 bytes; the event holds 64, so longer texts are cut.
    int32_t length = buffer->count - 1;
    if (length > static_cast<int32_t>(sizeof(event->data))) length = sizeof(event->data);
    memcpy(event->data, buffer->bytes + 1, static_cast<size_t>(length));
    event->code = code;
    event->length = length;
}

int32_t SignedTenBits(uint32_t field) {
    return (field & 0x200u) != 0 ? static_cast<int32_t>(field) - 1024 : static_cast<int32_t>(field);
}

}  // namespace

int32_t FramePacket(PacketBuffer* buffer) {
    if (buffer == nullptr) return -1;
    int32_t count = buffer->count;
    if (count < 0 || count + 2 > UsableCapacity(buffer)) return -1;
    if (count > 1) {
        uint8_t check = 0;
        for (int32_t i = 0; i < count; ++i) check ^= buffer->bytes[i];
        buffer->bytes[count++] = check;
    }
    for (int32_t i = 1; i < count; ++i) buffer->bytes[i] |= kHighBit;
    buffer->bytes[count++] = kCarriageReturn;
    buffer->count = count;
    return 1;
}

int32_t ReceiveByte(uint8_t byte, PacketBuffer* buffer, DeviceRecord* record) {
    if (buffer == nullptr || record == nullptr) return -1;
    int32_t count = buffer->count;
    if (count < 0 || count >= UsableCapacity(buffer)) return -1;

    if (count > 0 && (byte & kHighBit) == 0) {
        if (byte != kCarriageReturn) UdComUnreadByte(&record->channel, byte);
        if (count == 1) return 1;
        uint8_t check = buffer->bytes[count - 1];
        count -= 1;
        buffer->count = count;
        uint8_t sum = 0;
        for (int32_t i = 0; i < count; ++i) {
            sum ^= buffer->bytes[i];
            buffer->bytes[i] &= static_cast<uint8_t>(~kHighBit);
        }
        return (check & 0x7F) == (sum & 0x7F) ? 1 : -1;
    }
    if (byte == kCarriageReturn) return 0;
    buffer->bytes[count] = byte;
    buffer->count = count + 1;
    return 0;
}

int32_t BuildCommand(const DeviceRequest* request, PacketBuffer* buffer) {
    if (request == nullptr || buffer == nullptr) return -1;
    buffer->count = 1;
    switch (request->code) {
        case kLowerDCommand: buffer->bytes[0] = 'd'; return 1;
        case kLowerPCommand: buffer->bytes[0] = 'p'; return 1;
        case kLowerNCommand: buffer->bytes[0] = 'n'; return 1;
        case kVersionQuery: buffer->bytes[0] = '?'; return 1;
        case kUpperNCommand:
            buffer->bytes[0] = 'N';
            buffer->bytes[1] = request->data[0];
            buffer->count = 2;
            return 1;
        case kEmptyCommand6:
        case kEmptyCommand9: return 0;
        default: return -1;
    }
}

int32_t DecodeMotion(const PacketBuffer* packet, int32_t words[7]) {
    if (packet == nullptr || words == nullptr || packet->count < 11) return -1;
    uint64_t bits = 0;
    for (int i = 0; i < 9; ++i) {
        uint8_t unmasked = packet->bytes[2 + i] ^ kMotionMask[i];
        bits = (bits << 7) | (unmasked & 0x7Fu);
    }
    // 63 bits, most significant first: six 10-bit fields, then 3 bits nobody reads.
    for (int axis = 0; axis < 6; ++axis) {
        uint32_t field = static_cast<uint32_t>(bits >> (63 - 10 * (axis + 1))) & 0x3FFu;
        words[axis] = SignedTenBits(field);
    }
    words[2] = -words[2];
    words[5] = -words[5];
    words[6] = 33;
    return 1;
}

int32_t DecodePacket(DeviceRecord* record, PacketBuffer* buffer, DeviceRequest* event) {
    if (record == nullptr || buffer == nullptr || event == nullptr) return -1;
    if (buffer->count == 0) return 0;
    if (buffer->count < 0 || buffer->count > kBufferBytes) return -1;
    event->device_number = record->device_number;
    int32_t length = buffer->count;
    const uint8_t* bytes = buffer->bytes;
    switch (bytes[0]) {
        case '!': DecodeText(buffer, kVersionText, event); return 1;
        case 'R': DecodeText(buffer, kRTextEvent, event); return 1;
        case 'D': {
            if (length != 11) return -1;
            int32_t words[7];
            DecodeMotion(buffer, words);
            for (int i = 0; i < 7; ++i) PutRequestWord(event, i, words[i]);
            event->code = kMotionEvent;
            event->length = 28;
            return 1;
        }
        case 'E':
            if (length != 3) return -1;
            event->code = kEEvent;
            event->data[0] = bytes[1];
            event->length = 1;
            return 1;
        case 'K': {
            if (length != 4) return -1;
            uint32_t word = bytes[2] & 0x3Fu;
            if ((bytes[2] & 0x40u) != 0) word |= 0x80000000u;
            PutRequestWord(event, 0, static_cast<int32_t>(word));
            event->code = kButtonEvent;
            event->length = 4;
            return 1;
        }
        case 'N':
            if (length != 2) return -1;
            event->code = kNEvent;
            event->data[0] = bytes[1];
            event->length = 1;
            return 1;
        case 'P':
            if (length != 3) return -1;
            event->code = kPEvent;
            event->data[0] = bytes[1];
            event->data[1] = bytes[2];
            event->length = 2;
            return 1;
        default: return -1;
    }
}
