// The Windows serial channel, built natively over a stand-in of the communications calls:
// what a real Windows 95 port may answer that Wine never does.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "comm_stand_in.h"
#include "device_log_recorder.h"

// The channel's header takes the Windows handle type under _WIN32, as the channel itself is
// built here; GoogleTest above must not see it.
#define _WIN32 1
#include "devlink/device_link_testing.h"
#include "devlink/serial_channel.h"
#undef _WIN32

namespace {

using Calls = std::vector<std::string>;

class Win32SerialChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetCommStandIn();
        ResetSerialChannelState();  // also restores the default log sink: record after it
        log.emplace();
        channel.handle = INVALID_HANDLE_VALUE;
        std::snprintf(channel.port_name, sizeof channel.port_name, "COM3");
    }
    void TearDown() override {
        log.reset();
        ResetSerialChannelState();
    }

    ComChannel channel{};
    std::optional<DeviceLogRecorder> log;
};

TEST_F(Win32SerialChannelTest, GetCommStateIsToldTheSizeOfTheDcb) {
    ASSERT_EQ(UdComOpen(&channel), 1);
    // A Windows DCB is 28 bytes; a port driver may refuse or misread a DCB of length 0.
    EXPECT_EQ(Comm().dcb_at_get_comm_state.DCBlength, 28u);
    EXPECT_EQ(Comm().dcb_at_set_comm_state.DCBlength, 28u);
}

TEST_F(Win32SerialChannelTest, AbortOnErrorIsClearedAndTheLineIs9600EightNoneOne) {
    // The previous user of the port left it at 19200 7E2, aborting on errors.
    DCB& previous = Comm().port_state;
    previous.BaudRate = 19200;
    previous.ByteSize = 7;
    previous.Parity = EVENPARITY;
    previous.fParity = 1;
    previous.StopBits = TWOSTOPBITS;
    previous.fBinary = 1;
    previous.fAbortOnError = 1;
    previous.XonLim = 2048;

    ASSERT_EQ(UdComOpen(&channel), 1);
    const DCB& applied = Comm().dcb_at_set_comm_state;
    EXPECT_EQ(applied.fAbortOnError, 0u);
    EXPECT_EQ(applied.BaudRate, 9600u);
    EXPECT_EQ(applied.ByteSize, 8);
    EXPECT_EQ(applied.Parity, NOPARITY);
    EXPECT_EQ(applied.StopBits, ONESTOPBIT);
    // What the line settings do not name stays as the port reported it.
    EXPECT_EQ(applied.fBinary, 1u);
    EXPECT_EQ(applied.XonLim, 2048);
}

TEST_F(Win32SerialChannelTest, SetCommTimeoutsSucceedsOnAnyNonzeroAnswer) {
    const Calls opened = {"CreateFileA COM3",
                          "GetCommState",
                          "BuildCommDCBA baud=9600 parity=N data=8 stop=1",
                          "SetCommState",
                          "EscapeCommFunction SETRTS",
                          "EscapeCommFunction SETDTR",
                          "SetCommTimeouts",
                          "Sleep 2000",
                          "PurgeComm PURGE_TXABORT",
                          "PurgeComm PURGE_RXABORT",
                          "PurgeComm PURGE_TXCLEAR",
                          "PurgeComm PURGE_RXCLEAR"};
    const Calls refused(opened.begin(), opened.begin() + 7);
    const struct {
        BOOL answer;
        int32_t result;
        const Calls* calls;
        const char* log;
    } kCases[] = {
        {1, 1, &opened, "UdComOpen:  opening COM3\n"},
        {2, 1, &opened, "UdComOpen:  opening COM3\n"},
        {-1, 1, &opened, "UdComOpen:  opening COM3\n"},
        {0, -1, &refused, "UdComOpen:  opening COM3\nUdComOpen:  error 31 setting timeouts\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "SetCommTimeouts answers " << c.answer);
        ResetCommStandIn();
        Comm().set_timeouts_answer = c.answer;
        Comm().set_timeouts_error = 31;
        log->Take();

        EXPECT_EQ(UdComOpen(&channel), c.result);
        EXPECT_EQ(Comm().calls, *c.calls);
        EXPECT_EQ(log->Take(), c.log);
        // Open and last either way: a refused time-out leaves the port open.
        EXPECT_EQ(channel.handle, kStandInPort);
        EXPECT_EQ(LastComHandle, kStandInPort);
        EXPECT_EQ(Comm().open_access, 0xC0000000u);  // GENERIC_READ | GENERIC_WRITE
        EXPECT_EQ(Comm().open_share_mode, 0u);
        EXPECT_EQ(Comm().open_creation, 3u);  // OPEN_EXISTING
        EXPECT_EQ(Comm().open_flags, 0x20000000u);  // FILE_FLAG_NO_BUFFERING
        EXPECT_EQ(Comm().timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
        EXPECT_EQ(Comm().timeouts.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(Comm().timeouts.ReadTotalTimeoutConstant, 0u);
        EXPECT_EQ(Comm().timeouts.WriteTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(Comm().timeouts.WriteTotalTimeoutConstant, 0u);
    }
}

// UdComClose takes no channel: whatever opened last is what it purges and closes, once.
TEST_F(Win32SerialChannelTest, CloseClosesTheHandleThatWasOpenedOnce) {
    enum What { kOpen, kClose };
    struct Step {
        What what;
        const char* port;   // kOpen: the port, and whether it opens
        bool port_opens;
        int32_t result;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
        std::vector<size_t> closed;  // which of the handles opened reach CloseHandle, in order
    } kCases[] = {
        {"one port, opened and closed",
         {{kOpen, "COM3", true, 1}, {kClose, nullptr, false, 1}},
         {0}},
        {"a second port after the first was closed",
         {{kOpen, "COM3", true, 1}, {kClose, nullptr, false, 1},
          {kOpen, "COM4", true, 1}, {kClose, nullptr, false, 1}},
         {0, 1}},
        {"a port that does not open leaves the one before it to close",
         {{kOpen, "COM3", true, 1}, {kOpen, "COM4", false, -1}, {kClose, nullptr, false, 1}},
         {0}},
        {"a second close of the same port fails",
         {{kOpen, "COM3", true, 1}, {kClose, nullptr, false, 1}, {kClose, nullptr, false, -1}},
         {0, 0}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ResetCommStandIn();
        ResetSerialChannelState();
        log.emplace();
        std::vector<HANDLE> channel_handles;
        for (const Step& step : c.steps) {
            if (step.what == kOpen) {
                ComChannel opening{};
                std::snprintf(opening.port_name, sizeof opening.port_name, "%s", step.port);
                Comm().port_opens = step.port_opens;
                EXPECT_EQ(UdComOpen(&opening), step.result) << step.port;
                if (step.port_opens) channel_handles.push_back(opening.handle);
            } else {
                const size_t calls_before = Comm().calls.size();
                EXPECT_EQ(UdComClose(), step.result);
                const Calls closing(Comm().calls.begin() + calls_before, Comm().calls.end());
                // A close that fails has purged and closed a handle no longer open.
                const char* suffix = step.result == 1 ? "" : " on a stranger handle";
                EXPECT_EQ(closing, (Calls{std::string("PurgeComm PURGE_TXABORT") + suffix,
                                          std::string("PurgeComm PURGE_RXABORT") + suffix,
                                          std::string("PurgeComm PURGE_TXCLEAR") + suffix,
                                          std::string("PurgeComm PURGE_RXCLEAR") + suffix,
                                          std::string("CloseHandle") + suffix}));
            }
        }
        ASSERT_EQ(channel_handles, Comm().opened);
        std::vector<HANDLE> expected;
        for (size_t index : c.closed) expected.push_back(Comm().opened.at(index));
        EXPECT_EQ(Comm().closed, expected);
    }
}

// With the channel's time-outs ReadFile answers at once, and success with no byte read is
// its usual answer when nothing has arrived.
TEST_F(Win32SerialChannelTest, ReadGivesAByteOnlyWhenReadFileBroughtOne) {
    const struct {
        const char* name;
        std::string arriving;
        BOOL read_answer;
        int32_t result;
        uint8_t byte;              // when the result is 1
        std::string left;          // still on the line afterwards
    } kCases[] = {
        {"nothing has arrived", "", 1, -1, 0, ""},
        {"one byte has arrived", "!", 1, 1, 0x21, ""},
        {"two bytes have arrived", "\x21\x31", 1, 1, 0x21, "\x31"},
        {"ReadFile fails", "!", 0, -1, 0, "!"},
    };
    ASSERT_EQ(UdComOpen(&channel), 1);
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Comm().calls.clear();
        Comm().arriving = c.arriving;
        Comm().read_answer = c.read_answer;
        uint8_t byte = 0xA5;

        EXPECT_EQ(UdComReadByte(&channel, &byte), c.result);
        if (c.result == 1) {
            EXPECT_EQ(byte, c.byte);
        }
        EXPECT_EQ(Comm().calls, (Calls{"FlushFileBuffers", "ReadFile 1"}));
        EXPECT_EQ(Comm().arriving, c.left);
    }
}

TEST_F(Win32SerialChannelTest, PushedBackByteIsReadWithoutThePortAndOnlyOnce) {
    ASSERT_EQ(UdComOpen(&channel), 1);
    Comm().calls.clear();
    Comm().arriving = "\x52";
    uint8_t byte = 0;

    ASSERT_EQ(UdComUnreadByte(&channel, 0x21), 1);
    EXPECT_EQ(UdComReadByte(&channel, &byte), 1);
    EXPECT_EQ(byte, 0x21);
    EXPECT_EQ(Comm().calls, Calls{});

    EXPECT_EQ(UdComReadByte(&channel, &byte), 1);
    EXPECT_EQ(byte, 0x52);
    EXPECT_EQ(Comm().calls, (Calls{"FlushFileBuffers", "ReadFile 1"}));
}

}  // namespace
