// The controller's wire format: framing, gathering and checking, commands and decoding.
// Every expected byte string is written out here as the controller puts it on the line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devlink/packet_format.h"
#include "event_codes.h"
#include "event_words.h"

namespace {

using Bytes = std::vector<uint8_t>;

PacketBuffer BufferOf(const Bytes& bytes) {
    PacketBuffer buffer{};
    buffer.capacity = 128;
    buffer.count = static_cast<int32_t>(bytes.size());
    memcpy(buffer.bytes, bytes.data(), bytes.size());
    return buffer;
}

Bytes Held(const PacketBuffer& buffer) { return Bytes(buffer.bytes, buffer.bytes + buffer.count); }

// The one place the tests write the codes as numbers: callers of the event interface know
// them by number, so the list must keep them. Everywhere else they go by name.
TEST(PacketFormatTest, CodesKeepTheirNumbers) {
    const struct {
        int32_t number;
        const char* name;
    } codes[] = {
        {2, "motion event"},   {3, "d command"},    {4, "button event"},    {6, "empty command 6"},
        {7, "P event"},        {8, "p command"},    {9, "empty command 9"}, {10, "E event"},
        {13, "re-query"},      {14, "open device"}, {15, "device opened"},  {16, "ping"},
        {17, "ping answer"},   {258, "R text event"}, {259, "N event"},     {260, "N command"},
        {261, "n command"},    {275, "version text"}, {276, "version query"},
    };
    for (const auto& code : codes) {
        ASSERT_NE(DeviceCodeName(code.number), nullptr) << code.number;
        EXPECT_STREQ(DeviceCodeName(code.number), code.name) << code.number;
    }
    for (int32_t number : {-1, 0, 1, 5, 11, 12, 18, 257, 262, 274, 277}) {
        EXPECT_EQ(DeviceCodeName(number), nullptr) << number;
    }
    EXPECT_EQ(kMarlockDeviceType, 5);
}

struct CommandCase {
    const char* name;
    int32_t code;  // a DeviceCode, or a number that is none
    uint8_t value;
    int32_t result;
    Bytes wire;  // after framing; empty when nothing is built
};

TEST(PacketFormatTest, CommandsAreBuiltAndFramedAsTheControllerExpects) {
    const CommandCase cases[] = {
        {"version query", kVersionQuery, 0, 1, {0x3F, 0x0D}},
        {"d", kLowerDCommand, 0, 1, {0x64, 0x0D}},
        {"p", kLowerPCommand, 0, 1, {0x70, 0x0D}},
        {"n", kLowerNCommand, 0, 1, {0x6E, 0x0D}},
        {"N with 5", kUpperNCommand, 0x05, 1, {0x4E, 0x85, 0xCB, 0x0D}},
        {"N with 0x7F", kUpperNCommand, 0x7F, 1, {0x4E, 0xFF, 0xB1, 0x0D}},
        {"N with 0", kUpperNCommand, 0x00, 1, {0x4E, 0x80, 0xCE, 0x0D}},
        {"empty command 6 has no bytes", kEmptyCommand6, 0, 0, {}},
        {"empty command 9 has no bytes", kEmptyCommand9, 0, 0, {}},
        {"the motion event is no command", kMotionEvent, 0, -1, {}},
        {"the re-query is no command", kRequery, 0, -1, {}},
        {"unknown code", 1000, 0, -1, {}},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceRequest request{};
        request.code = c.code;
        request.data[0] = c.value;
        PacketBuffer buffer{};
        buffer.capacity = 128;
        ASSERT_EQ(BuildCommand(&request, &buffer), c.result);
        if (c.result != 1) continue;
        ASSERT_EQ(FramePacket(&buffer), 1);
        EXPECT_EQ(Held(buffer), c.wire);
    }
}

TEST(PacketFormatTest, NullArgumentsAreRefused) {
    DeviceRequest request{};
    PacketBuffer buffer{};
    buffer.capacity = 128;
    DeviceRecord record{};
    EXPECT_EQ(FramePacket(nullptr), -1);
    EXPECT_EQ(BuildCommand(nullptr, &buffer), -1);
    EXPECT_EQ(BuildCommand(&request, nullptr), -1);
    EXPECT_EQ(ReceiveByte(0x21, nullptr, &record), -1);
    EXPECT_EQ(ReceiveByte(0x21, &buffer, nullptr), -1);
    EXPECT_EQ(DecodePacket(nullptr, &buffer, &request), -1);
    EXPECT_EQ(DecodePacket(&record, nullptr, &request), -1);
    EXPECT_EQ(DecodePacket(&record, &buffer, nullptr), -1);
}

TEST(PacketFormatTest, FramingNeverRunsPastTheBuffer) {
    PacketBuffer buffer = BufferOf(Bytes(127, 0x41));
    EXPECT_EQ(FramePacket(&buffer), -1);
    EXPECT_EQ(buffer.count, 127);
    buffer.capacity = 4000;  // a damaged capacity must not widen the 128 bytes
    EXPECT_EQ(FramePacket(&buffer), -1);
}

struct ReceiveCase {
    const char* name;
    Bytes input;
    std::vector<int32_t> results;  // one per byte
    Bytes held;                    // buffer after the last byte
    int32_t push_back_flag;
    uint8_t pushed_back;
};

TEST(PacketFormatTest, ReceivedBytesGatherIntoCheckedPackets) {
    const ReceiveCase cases[] = {
        {"CR into an empty buffer is ignored", {0x0D, 0x0D}, {0, 0}, {}, 0, 0},
        {"one-letter packet", {0x3F, 0x0D}, {0, 1}, {0x3F}, 0, 0},
        {"letter after letter ends a one-letter packet and is given back",
         {0x3F, 0x64},
         {0, 1},
         {0x3F},
         1,
         0x64},
        {"good check byte", {0x4E, 0x85, 0xCB, 0x0D}, {0, 0, 0, 1}, {0x4E, 0x05}, 0, 0},
        {"wrong check byte", {0x4E, 0x85, 0xCA, 0x0D}, {0, 0, 0, -1}, {0x4E, 0x05}, 0, 0},
        {"next letter ends a packet and is given back",
         {0x4E, 0x85, 0xCB, 0x64},
         {0, 0, 0, 1},
         {0x4E, 0x05},
         1,
         0x64},
        {"first byte with bit 7 set is kept as received", {0x85, 0x0D}, {0, 1}, {0x85}, 0, 0},
        {"payload byte with bit 7 set and no letter", {0x85, 0x85, 0x0D}, {0, 0, 1}, {0x05}, 0, 0},
    };
    for (const ReceiveCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceRecord record{};
        PacketBuffer buffer{};
        buffer.capacity = 128;
        std::vector<int32_t> results;
        for (uint8_t b : c.input) results.push_back(ReceiveByte(b, &buffer, &record));
        EXPECT_EQ(results, c.results);
        EXPECT_EQ(Held(buffer), c.held);
        EXPECT_EQ(record.channel.push_back_flag, c.push_back_flag);
        if (c.push_back_flag == 1) {
            EXPECT_EQ(record.channel.pushed_back_byte, c.pushed_back);
        }
    }
}

TEST(PacketFormatTest, LongestPacketHolds127BytesAndAFullBufferRefusesItsTerminator) {
    // "R", 125 text bytes and the check byte: 127 held, then CR completes it.
    Bytes wire = {0x52};
    uint8_t sum = 0x52;
    for (int i = 0; i < 125; ++i) {
        wire.push_back(0xE1);
        sum ^= 0xE1;
    }
    wire.push_back(static_cast<uint8_t>(sum | 0x80));
    DeviceRecord record{};
    PacketBuffer buffer{};
    buffer.capacity = 128;
    for (uint8_t b : wire) ASSERT_EQ(ReceiveByte(b, &buffer, &record), 0);
    ASSERT_EQ(buffer.count, 127);
    EXPECT_EQ(ReceiveByte(0x0D, &buffer, &record), 1);
    EXPECT_EQ(buffer.count, 126);

    buffer = PacketBuffer{};
    buffer.capacity = 128;
    for (uint8_t b : wire) ReceiveByte(b, &buffer, &record);
    ASSERT_EQ(ReceiveByte(0xE1, &buffer, &record), 0);
    ASSERT_EQ(buffer.count, 128);
    EXPECT_EQ(ReceiveByte(0x0D, &buffer, &record), -1);
    EXPECT_EQ(ReceiveByte(0xE1, &buffer, &record), -1);
    EXPECT_EQ(buffer.count, 128);
}

TEST(PacketFormatTest, DamagedBufferFieldsNeverLeadPastTheBytes) {
    DeviceRecord record{};
    PacketBuffer buffer{};
    buffer.capacity = 4000;
    buffer.count = 128;
    EXPECT_EQ(ReceiveByte(0x85, &buffer, &record), -1);
    buffer.count = -3;
    EXPECT_EQ(ReceiveByte(0x85, &buffer, &record), -1);
    DeviceRequest event{};
    buffer.count = 500;
    EXPECT_EQ(DecodePacket(&record, &buffer, &event), -1);
}

struct DecodeCase {
    const char* name;
    Bytes packet;  // as ReceiveByte leaves it: letter and payload, bit 7 cleared
    int32_t result;
    DeviceCode code;
    int32_t length;
    Bytes data;
};

TEST(PacketFormatTest, PacketsDecodeIntoEvents) {
    Bytes long_text(125, 'a');
    const DecodeCase cases[] = {
        {"banner text", {0x21, 0x31, 0x20, 0x54}, 1, kVersionText, 3, {0x31, 0x20, 0x54}},
        {"bare !", {0x21}, 1, kVersionText, 0, {}},
        {"R text", {0x52, 0x68, 0x69}, 1, kRTextEvent, 2, {0x68, 0x69}},
        {"E", {0x45, 0x12, 0x34}, 1, kEEvent, 1, {0x12}},
        {"K with bit 6 and bits 0-5", {0x4B, 0x00, 0x45, 0x00}, 1, kButtonEvent, 4, {0x05, 0x00, 0x00, 0x80}},
        {"K without bit 6", {0x4B, 0x7F, 0x3F, 0x7F}, 1, kButtonEvent, 4, {0x3F, 0x00, 0x00, 0x00}},
        {"N", {0x4E, 0x07}, 1, kNEvent, 1, {0x07}},
        {"P", {0x50, 0x01, 0x02}, 1, kPEvent, 2, {0x01, 0x02}},
        {"E too long", {0x45, 0x12, 0x34, 0x56}, -1, {}, 0, {}},
        {"K with three bytes", {0x4B, 0x00, 0x45}, -1, {}, 0, {}},
        {"N alone", {0x4E}, -1, {}, 0, {}},
        {"P too short", {0x50, 0x01}, -1, {}, 0, {}},
        {"D with ten bytes", Bytes(10, 0x44), -1, {}, 0, {}},
        {"D with twelve bytes", Bytes(12, 0x44), -1, {}, 0, {}},
        {"unknown letter", {0x5A, 0x01}, -1, {}, 0, {}},
        {"lower-case letter of a command", {0x64}, -1, {}, 0, {}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceRecord record{};
        record.device_number = 7;
        PacketBuffer buffer = BufferOf(c.packet);
        DeviceRequest event{};
        event.code = -99;
        ASSERT_EQ(DecodePacket(&record, &buffer, &event), c.result);
        EXPECT_EQ(event.device_number, 7);
        if (c.result != 1) continue;
        EXPECT_EQ(CodeOf(event), c.code);
        EXPECT_EQ(event.length, c.length);
        EXPECT_EQ(Bytes(event.data, event.data + c.data.size()), c.data);
    }
}

TEST(PacketFormatTest, EmptyBufferDecodesToNothing) {
    DeviceRecord record{};
    PacketBuffer buffer{};
    buffer.capacity = 128;
    DeviceRequest event{};
    EXPECT_EQ(DecodePacket(&record, &buffer, &event), 0);
}

TEST(PacketFormatTest, TextLongerThanAnEventIsCutTo64Bytes) {
    Bytes packet = {0x52};
    for (int i = 0; i < 125; ++i) packet.push_back(static_cast<uint8_t>(0x20 + i % 90));
    for (uint8_t letter : {0x52, 0x21}) {
        packet[0] = letter;
        DeviceRecord record{};
        PacketBuffer buffer = BufferOf(packet);
        DeviceRequest event{};
        memset(event.data, 0xEE, sizeof(event.data));
        ASSERT_EQ(DecodePacket(&record, &buffer, &event), 1);
        EXPECT_EQ(event.length, 64);
        EXPECT_EQ(Bytes(event.data, event.data + 64), Bytes(packet.begin() + 1, packet.begin() + 65));
    }
}

// The nine-byte firmware mask, as the controller applies it; it must change together
// with the driver's copy.
const uint8_t kMask[9] = {0x56, 0x6B, 0x33, 0x23, 0x70, 0x57, 0x39, 0x21, 0x78};

// A received "D" packet from six raw 10-bit fields and the three spare bits.
Bytes MotionPacket(const uint32_t fields[6], uint32_t spare = 0) {
    uint64_t bits = 0;
    for (int i = 0; i < 6; ++i) bits = (bits << 10) | (fields[i] & 0x3FF);
    bits = (bits << 3) | (spare & 7);
    Bytes packet = {0x44, 0x55};
    for (int i = 0; i < 9; ++i) packet.push_back(static_cast<uint8_t>((bits >> (56 - 7 * i)) & 0x7F) ^ kMask[i]);
    return packet;
}

TEST(PacketFormatTest, MotionWithAllFieldsZeroCarriesTheMaskItself) {
    Bytes packet = {0x44, 0x00, 0x56, 0x6B, 0x33, 0x23, 0x70, 0x57, 0x39, 0x21, 0x78};
    DeviceRecord record{};
    PacketBuffer buffer = BufferOf(packet);
    DeviceRequest event{};
    ASSERT_EQ(DecodePacket(&record, &buffer, &event), 1);
    EXPECT_EQ(CodeOf(event), kMotionEvent);
    EXPECT_EQ(event.length, 28);
    const Bytes expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 0, 0, 0, 0, 0, 0, 0x21, 0, 0, 0};
    EXPECT_EQ(Bytes(event.data, event.data + 28), expected);
}

struct MotionCase {
    const char* name;
    uint32_t fields[6];
    uint32_t spare;
    int32_t values[6];
};

TEST(PacketFormatTest, MotionFieldsAreTenBitTwosComplementWithAxes2And5Reversed) {
    const MotionCase cases[] = {
        {"0x1FF", {0x1FF, 0x1FF, 0x1FF, 0x1FF, 0x1FF, 0x1FF}, 0, {511, 511, -511, 511, 511, -511}},
        {"0x200", {0x200, 0x200, 0x200, 0x200, 0x200, 0x200}, 0, {-512, -512, 512, -512, -512, 512}},
        {"0x3FF", {0x3FF, 0x3FF, 0x3FF, 0x3FF, 0x3FF, 0x3FF}, 7, {-1, -1, 1, -1, -1, 1}},
        {"each field its own", {1, 2, 3, 0x3FE, 0x100, 0x201}, 5, {1, 2, -3, -2, 256, 511}},
    };
    for (const MotionCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceRecord record{};
        PacketBuffer buffer = BufferOf(MotionPacket(c.fields, c.spare));
        DeviceRequest event{};
        ASSERT_EQ(DecodePacket(&record, &buffer, &event), 1);
        for (int axis = 0; axis < 6; ++axis) EXPECT_EQ(Word(event, axis), c.values[axis]) << "axis " << axis;
        EXPECT_EQ(Word(event, 6), 33);
    }
}

TEST(PacketFormatTest, MotionRefusesAPacketTooShortToHoldItsFields) {
    PacketBuffer buffer = BufferOf(Bytes(10, 0x44));
    int32_t words[7] = {};
    EXPECT_EQ(DecodeMotion(&buffer, words), -1);
    EXPECT_EQ(DecodeMotion(nullptr, words), -1);
}

}  // namespace
