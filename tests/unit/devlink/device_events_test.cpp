// Requests to identified devices and the event interface, over pseudo-terminals that
// the test plays; the devices are attached without the open's settle wait.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device_log_recorder.h"
#include "devlink/device_link_testing.h"
#include "devlink/driver_core.h"
#include "tools/simulator/pty_pair.h"
#include "event_codes.h"
#include "event_words.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A "K" packet on the line: letter, two unread bytes around the button byte, check, CR.
Bytes ButtonPacket(uint8_t button_byte) {
    Bytes wire = {0x4B, 0x80, static_cast<uint8_t>(button_byte | 0x80), 0x80};
    uint8_t sum = 0;
    for (uint8_t b : wire) sum ^= b;
    wire.push_back(static_cast<uint8_t>(sum | 0x80));
    wire.push_back(0x0D);
    return wire;
}

class DeviceEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceLinkState();
        for (PtyPair& pty : lines) ASSERT_TRUE(pty.Open());
    }
    void TearDown() override {
        ResetDeviceLinkState();
        for (PtyPair& pty : lines) pty.Close();
    }
    PtyPair lines[2];
};

TEST_F(DeviceEventsTest, NoIdentifiedDeviceMeansNoEvents) {
    DeviceRequest event{};
    EXPECT_EQ(ReadDeviceEvent(&event), -1);
    EXPECT_EQ(GetDeviceEvent(&event), 0);
}

TEST_F(DeviceEventsTest, DevicesAreReadByTurns) {
    ASSERT_EQ(AttachDeviceForTesting(lines[0].slave), 0);
    ASSERT_EQ(AttachDeviceForTesting(lines[1].slave), 1);
    lines[0].Send({0x4E, 0x81, 0xCF, 0x0D, 0x4E, 0x82, 0xCC, 0x0D});
    lines[1].Send({0x45, 0x93, 0x80, 0xD6, 0x0D});

    struct Expected {
        int32_t result;
        int32_t device;
        DeviceCode code;
        uint8_t first;
    };
    const Expected expected[] = {
        {1, 0, kNEvent, 0x01}, {1, 1, kEEvent, 0x13}, {1, 0, kNEvent, 0x02}, {0, 0, {}, 0}};
    for (const Expected& e : expected) {
        DeviceRequest event{};
        ASSERT_EQ(ReadDeviceEvent(&event), e.result);
        if (e.result != 1) continue;
        EXPECT_EQ(event.device_number, e.device);
        EXPECT_EQ(CodeOf(event), e.code);
        EXPECT_EQ(event.data[0], e.first);
    }
}

// A failed open uses up a device number but no table record, so the numbers of the
// identified devices need not be 0 and 1: both devices must still be read.
TEST_F(DeviceEventsTest, DevicesAfterAFailedOpenAreAllRead) {
    DeviceInfo info{};
    SetDevicePort(&info, "/dev/no-such-port");
    DeviceLogRecorder recorder;
    ASSERT_EQ(IdentifyDevice(&info), 0);
    ASSERT_EQ(AttachDeviceForTesting(lines[0].slave), 1);
    ASSERT_EQ(AttachDeviceForTesting(lines[1].slave), 2);
    lines[1].Send({0x4E, 0x81, 0xCF, 0x0D});

    DeviceRequest event{};
    EXPECT_EQ(ReadDeviceEvent(&event), 0);
    ASSERT_EQ(ReadDeviceEvent(&event), 1);
    EXPECT_EQ(event.device_number, 2);
    EXPECT_EQ(CodeOf(event), kNEvent);
}

TEST_F(DeviceEventsTest, RequestToTheNumberOfAFailedOpenFails) {
    DeviceInfo info{};
    SetDevicePort(&info, "/dev/no-such-port");
    DeviceLogRecorder recorder;
    ASSERT_EQ(IdentifyDevice(&info), 0);
    for (DeviceCode code : {kLowerDCommand, kRequery, kVersionQuery}) {
        DeviceRequest request{};
        request.device_number = 0;
        request.code = code;
        EXPECT_EQ(DispatchRequest(&request), -1) << DeviceCodeName(code);
    }
}

// A failed open and the attempt after it use the same table record; once that record holds
// a live device, the failed numbers must still not reach it.
TEST_F(DeviceEventsTest, RequestsReachADeviceOnlyUnderTheNumberItWasIdentifiedWith) {
    for (int32_t failures : {1, 99}) {
        SCOPED_TRACE(testing::Message() << failures << " failed opens first");
        ResetDeviceLinkState();
        DeviceInfo info{};
        SetDevicePort(&info, "/dev/no-such-port");
        DeviceLogRecorder recorder;
        for (int32_t i = 0; i < failures; ++i) ASSERT_EQ(IdentifyDevice(&info), 0);
        ASSERT_EQ(AttachDeviceForTesting(lines[0].slave), failures);

        for (int32_t number = 0; number < failures; ++number) {
            for (DeviceCode code : {kLowerDCommand, kRequery, kVersionQuery}) {
                DeviceRequest request{};
                request.device_number = number;
                request.code = code;
                ASSERT_EQ(DispatchRequest(&request), -1) << "number " << number << ", " << DeviceCodeName(code);
            }
        }
        EXPECT_TRUE(lines[0].Received(20).empty());

        DeviceRequest request{};
        request.device_number = failures;
        request.code = kLowerDCommand;
        EXPECT_EQ(DispatchRequest(&request), 1);
        EXPECT_EQ(lines[0].Received(200), (Bytes{0x64, 0x0D}));
    }
}

TEST_F(DeviceEventsTest, PartialPacketWaitsAndBadPacketsAreDiscarded) {
    ASSERT_EQ(AttachDeviceForTesting(lines[0].slave), 0);
    DeviceRequest event{};
    lines[0].Send({0x50, 0x81});
    EXPECT_EQ(ReadDeviceEvent(&event), 0);
    // Wrong check byte: dropped, and the next packet is read in the same call.
    lines[0].Send({0x82, 0xD3 ^ 0x01, 0x0D, 0x50, 0x81, 0x82, 0xD3, 0x0D});
    ASSERT_EQ(ReadDeviceEvent(&event), 1);
    EXPECT_EQ(CodeOf(event), kPEvent);
    EXPECT_EQ(event.length, 2);
    EXPECT_EQ(event.data[0], 0x01);
    EXPECT_EQ(event.data[1], 0x02);
    // A packet that does not decode is reported and dropped.
    lines[0].Send({0x5A, 0x81, 0xDB, 0x0D});
    EXPECT_EQ(ReadDeviceEvent(&event), -1);
    EXPECT_EQ(ReadDeviceEvent(&event), 0);
}

// The reader empties the buffer after every decoded packet. An "N" packet with the byte
// 0x4E has the check byte 0x80, whose seven data bits are all zero: a buffer left holding it
// would end every later packet wrongly.
TEST_F(DeviceEventsTest, PacketAfterACheckByteOfZeroBitsIsRead) {
    ASSERT_EQ(AttachDeviceForTesting(lines[0].slave), 0);
    DeviceRequest event{};
    lines[0].Send({0x4E, 0xCE, 0x80, 0x0D});
    ASSERT_EQ(ReadDeviceEvent(&event), 1);
    EXPECT_EQ(CodeOf(event), kNEvent);
    EXPECT_EQ(event.data[0], 0x4E);

    lines[0].Send({0x4E, 0x81, 0xCF, 0x0D});
    event = DeviceRequest{};
    ASSERT_EQ(ReadDeviceEvent(&event), 1);
    EXPECT_EQ(CodeOf(event), kNEvent);
    EXPECT_EQ(event.length, 1);
    EXPECT_EQ(event.data[0], 0x01);
    EXPECT_EQ(ReadDeviceEvent(&event), 0);
}

struct ButtonStep {
    uint8_t button_byte;  // bits 0-5 buttons, bit 6 the word's bit 31
    DeviceCode code;
    int32_t length;
    bool query_sent;
};

TEST_F(DeviceEventsTest, ReleaseOfBit31BecomesARequeryEvent) {
    const std::vector<ButtonStep> sequences[] = {
        {{0x41, kButtonEvent, 4, false}, {0x01, kRequery, 0, true}, {0x01, kButtonEvent, 4, false}},
        {{0x40, kButtonEvent, 4, false}, {0x40, kButtonEvent, 4, false}, {0x02, kRequery, 0, true}},
        {{0x01, kButtonEvent, 4, false}, {0x02, kButtonEvent, 4, false}, {0x41, kButtonEvent, 4, false}},
    };
    for (const auto& sequence : sequences) {
        ResetDeviceLinkState();
        ASSERT_EQ(AttachDeviceForTesting(lines[0].slave), 0);
        for (const ButtonStep& step : sequence) {
            SCOPED_TRACE(testing::Message() << "button byte " << int(step.button_byte));
            lines[0].Send(ButtonPacket(step.button_byte));
            DeviceRequest out{};
            ASSERT_EQ(GetDeviceEvent(&out), 1);
            EXPECT_EQ(CodeOf(out), step.code);
            EXPECT_EQ(out.length, step.length);
            EXPECT_EQ(out.device_number, 0);
            Bytes sent = lines[0].Received(step.query_sent ? 200 : 20);
            EXPECT_EQ(sent, step.query_sent ? (Bytes{0x3F, 0x0D}) : Bytes{});
        }
    }
}

TEST_F(DeviceEventsTest, ButtonWordCarriesBit31) {
    ASSERT_EQ(AttachDeviceForTesting(lines[0].slave), 0);
    lines[0].Send(ButtonPacket(0x65));
    DeviceRequest out{};
    ASSERT_EQ(GetDeviceEvent(&out), 1);
    EXPECT_EQ(static_cast<uint32_t>(Word(out, 0)), 0x80000025u);
}

TEST_F(DeviceEventsTest, GetDeviceEventLeavesTheCallersRecordAloneWhenNothingCame) {
    ASSERT_EQ(AttachDeviceForTesting(lines[0].slave), 0);
    DeviceRequest out{};
    out.code = 1234;
    EXPECT_EQ(GetDeviceEvent(&out), 0);
    EXPECT_EQ(out.code, 1234);
}

struct CommandCase {
    const char* name;
    int32_t code;  // a DeviceCode, or a number that is none
    uint8_t value;
    int32_t result;
    Bytes wire;
};

TEST_F(DeviceEventsTest, RequestsSendTheirCommands) {
    ASSERT_EQ(AttachDeviceForTesting(lines[0].slave), 0);
    const CommandCase cases[] = {
        {"d", kLowerDCommand, 0, 1, {0x64, 0x0D}},
        {"p", kLowerPCommand, 0, 1, {0x70, 0x0D}},
        {"N and a byte", kUpperNCommand, 0x05, 1, {0x4E, 0x85, 0xCB, 0x0D}},
        {"n", kLowerNCommand, 0, 1, {0x6E, 0x0D}},
        {"?", kVersionQuery, 0, 1, {0x3F, 0x0D}},
        {"re-query", kRequery, 0, 1, {0x3F, 0x0D}},
        {"empty command 6 sends nothing", kEmptyCommand6, 0, -1, {}},
        {"empty command 9 sends nothing", kEmptyCommand9, 0, -1, {}},
        {"unknown code", 77, 0, -1, {}},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceRequest request{};
        request.device_number = 0;
        request.code = c.code;
        request.data[0] = c.value;
        EXPECT_EQ(DispatchRequest(&request), c.result);
        EXPECT_EQ(SendDeviceRequest(&request), c.result == 1 ? 1 : 0);
        Bytes twice = c.wire;
        twice.insert(twice.end(), c.wire.begin(), c.wire.end());
        EXPECT_EQ(lines[0].Received(c.wire.empty() ? 20 : 200), twice);
    }
}

TEST_F(DeviceEventsTest, RequestsToUnknownDevicesFail) {
    ASSERT_EQ(AttachDeviceForTesting(lines[0].slave), 0);
    for (int32_t number : {1, 99, 100, -1}) {
        for (DeviceCode code : {kLowerDCommand, kRequery}) {
            DeviceRequest request{};
            request.device_number = number;
            request.code = code;
            EXPECT_EQ(DispatchRequest(&request), -1) << number << " " << DeviceCodeName(code);
        }
    }
    EXPECT_TRUE(lines[0].Received(20).empty());
}

TEST_F(DeviceEventsTest, PingIsAnsweredWithoutADevice) {
    DeviceRequest request{};
    request.code = kPing;
    ASSERT_EQ(DispatchRequest(&request), 1);
    EXPECT_EQ(CodeOf(request), kPingAnswer);
    EXPECT_EQ(request.length, 8);
    EXPECT_EQ(Word(request, 0), 1);
    EXPECT_EQ(Word(request, 1), 0);
}

TEST_F(DeviceEventsTest, FullDeviceTableRefusesTheOpen) {
    int32_t number = -1;
    for (int i = 0; i < 20; ++i) number = AttachDeviceForTesting(lines[0].slave);
    ASSERT_EQ(number, 19);
    EXPECT_EQ(AttachDeviceForTesting(lines[0].slave), -1);

    DeviceRequest request{};
    request.code = kOpenDevice;
    strcpy(reinterpret_cast<char*>(request.data), "/dev/no-such-port");
    request.length = 18;
    DeviceLogRecorder recorder;
    EXPECT_EQ(DispatchRequest(&request), -1);
    EXPECT_EQ(recorder.Take(), "") << "no open is attempted";
    EXPECT_EQ(DeviceCount, 20);
    EXPECT_EQ(HandleCount, 20);
}

TEST_F(DeviceEventsTest, EveryOpenAttemptUsesADeviceNumberUntilTheyRunOut) {
    DeviceInfo info{};
    SetDevicePort(&info, "/dev/no-such-port");
    DeviceLogRecorder recorder;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(IdentifyDevice(&info), 0);
    std::string log = recorder.Take();
    EXPECT_EQ(HandleCount, 100);
    EXPECT_EQ(DeviceCount, 0);

    EXPECT_EQ(IdentifyDevice(&info), 0);
    EXPECT_EQ(recorder.Take(), "") << "no open is attempted";
    EXPECT_EQ(HandleCount, 100);
    EXPECT_EQ(AttachDeviceForTesting(lines[0].slave), -1);
}

TEST(DevicePortTest, PortNameGoesIntoBothFieldsCutTo63Characters) {
    DeviceInfo info{};
    memset(&info, 0x5A, sizeof(info));
    ASSERT_EQ(SetDevicePort(&info, "COM2"), 1);
    EXPECT_STREQ(info.port_name, "COM2");
    EXPECT_STREQ(info.second_port_name, "COM2");
    std::string long_name(80, 'p');
    ASSERT_EQ(SetDevicePort(&info, long_name.c_str()), 1);
    EXPECT_EQ(std::string(info.port_name), long_name.substr(0, 63));
    EXPECT_EQ(std::string(info.second_port_name), long_name.substr(0, 63));
    EXPECT_EQ(SetDevicePort(nullptr, "COM1"), 0);
    EXPECT_EQ(SetDevicePort(&info, nullptr), 0);
}

TEST(DeviceTableTest, NullRecordsAreRefused) {
    DeviceRecord* found = nullptr;
    EXPECT_EQ(RegisterDevice(nullptr), -1);
    EXPECT_EQ(InstallDeviceOps(nullptr), -1);
    EXPECT_EQ(SendVersionQuery(nullptr), -1);
    EXPECT_EQ(LookupDevice(nullptr, 0), -1);
    EXPECT_EQ(LookupDevice(&found, 100), -1);
    EXPECT_EQ(LookupDevice(&found, -1), -1);
}

TEST(DeviceTableTest, InstallDeviceOpsMakesAFreshRecordAMarlock) {
    DeviceRecord record{};
    ASSERT_EQ(InstallDeviceOps(&record), 1);
    EXPECT_EQ(record.device_type, kMarlockDeviceType);
    EXPECT_NE(record.frame_packet, nullptr);
    EXPECT_NE(record.receive_byte, nullptr);
    EXPECT_NE(record.build_command, nullptr);
    EXPECT_NE(record.decode_packet, nullptr);
    EXPECT_NE(record.send_version_query, nullptr);
}

}  // namespace
