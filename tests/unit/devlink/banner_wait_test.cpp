// The banner wait of identification, with time driven by the test: the line is a
// pseudo-terminal the test plays, the clock a counter that only idling moves on.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "devlink/device_codes.h"
#include "devlink/device_link_testing.h"
#include "devlink/driver_core.h"
#include "tools/simulator/pty_pair.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t fake_now = 0;
uint32_t idle_calls = 0;
uint32_t longest_idle = 0;
std::function<void(uint32_t)> on_time;  // lets a case make the controller answer late

uint32_t FakeClock() { return fake_now; }

void FakeIdle(ComChannel*, uint32_t milliseconds) {
    ++idle_calls;
    if (milliseconds > longest_idle) longest_idle = milliseconds;
    fake_now += milliseconds;
    if (on_time) on_time(fake_now);
}

// The banner as the controller frames it: "!", the text with bit 7 set, check byte, CR.
Bytes Framed(const std::string& text, bool spoil_check = false) {
    Bytes wire = {0x21};
    uint8_t sum = 0x21;
    for (char c : text) {
        wire.push_back(static_cast<uint8_t>(c) | 0x80);
        sum ^= wire.back();
    }
    wire.push_back(static_cast<uint8_t>((sum & 0x7F) | 0x80) ^ (spoil_check ? 1 : 0));
    wire.push_back(0x0D);
    return wire;
}

class BannerWaitTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceLinkState();
        ASSERT_TRUE(pty.Open());
        record.channel.handle = pty.slave;
        fake_now = 1000;
        idle_calls = 0;
        longest_idle = 0;
        on_time = nullptr;
        SetDeviceLinkClock(FakeClock, FakeIdle);
    }
    void TearDown() override {
        on_time = nullptr;
        ResetDeviceLinkState();
        pty.Close();
    }
    PtyPair pty;
    DeviceRecord record{};
};

struct AnswerCase {
    const char* name;
    Bytes line;  // what the controller has sent by the time the query goes out
    int32_t result;
};

TEST_F(BannerWaitTest, RecognisesTheBannerByItsFirst18Characters) {
    Bytes other_packet = {0x52, 0xE8, 0xE9, 0xD3, 0x0D};  // "R" "hi", good check
    Bytes banner_after_noise = {0x85, 0x13, 0x0D, 0x0D, 0xFF};
    for (uint8_t b : Framed("1 Tessaline (R) V2.10")) banner_after_noise.push_back(b);
    Bytes banner_after_packet = other_packet;
    for (uint8_t b : Framed("1 Tessaline (R) V2.10")) banner_after_packet.push_back(b);
    Bytes banner_ended_by_letter = Framed("1 Tessaline (R) V9");
    banner_ended_by_letter.back() = 0x64;
    Bytes banner_without_letter = Framed("1 Tessaline (R) V2.10");
    banner_without_letter.erase(banner_without_letter.begin());

    const AnswerCase cases[] = {
        {"banner", Framed("1 Tessaline (R) V2.10"), 1},
        {"exactly the 18 characters", Framed("1 Tessaline (R) V"), 1},
        {"anything after them", Framed("1 Tessaline (R) Vxyz?!"), 1},
        {"wrong check byte still accepted", Framed("1 Tessaline (R) V2.10", true), 1},
        {"after noise", banner_after_noise, 1},
        {"after another packet", banner_after_packet, 1},
        {"ended by the next letter", banner_ended_by_letter, 1},
        {"another text", Framed("1 Tessaline (R) X2.10"), 0},
        {"cut short", Framed("1 Tessaline (R) "), 0},
        {"lower case", Framed("1 tessaline (r) v2.10"), 0},
        {"no letter", banner_without_letter, 0},
        {"silence", {}, 0},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        record = DeviceRecord{};
        record.channel.handle = pty.slave;
        pty.Received(0);
        pty.Send(c.line);
        uint32_t start = fake_now;
        EXPECT_EQ(AwaitVersionBanner(&record), c.result);
        EXPECT_EQ(record.device_type, c.result == 1 ? kMarlockDeviceType : 0);
        EXPECT_EQ(pty.Received(), (Bytes{0x3F, 0x0D})) << "the query goes out once";
        if (c.result == 0) {
            EXPECT_EQ(fake_now - start, 1500u);
        }
        tcflush(pty.slave, TCIOFLUSH);
    }
}

TEST_F(BannerWaitTest, SilentLineIdlesInShortStepsUntilTheBudgetIsSpent) {
    EXPECT_EQ(AwaitVersionBanner(&record), 0);
    EXPECT_EQ(fake_now - 1000, 1500u);
    EXPECT_LE(longest_idle, 5u);
    EXPECT_GE(idle_calls, 300u);
}

TEST_F(BannerWaitTest, BudgetHoldsAcrossTheClockWrapping) {
    fake_now = 0xFFFFFF00u;
    EXPECT_EQ(AwaitVersionBanner(&record), 0);
    EXPECT_EQ(fake_now - 0xFFFFFF00u, 1500u);
}

struct LateCase {
    const char* name;
    uint32_t answer_after_ms;
    int32_t result;
};

TEST_F(BannerWaitTest, LateAnswerCountsOnlyWithinTheBudget) {
    const LateCase cases[] = {
        {"after 500 ms", 500, 1},
        {"just in time", 1490, 1},
        {"too late", 1600, 0},
    };
    for (const LateCase& c : cases) {
        SCOPED_TRACE(c.name);
        record = DeviceRecord{};
        record.channel.handle = pty.slave;
        tcflush(pty.slave, TCIOFLUSH);
        uint32_t start = fake_now;
        bool sent = false;
        on_time = [&](uint32_t now) {
            if (!sent && now - start >= c.answer_after_ms) {
                sent = true;
                pty.Send(Framed("1 Tessaline (R) V2.10"));
            }
        };
        EXPECT_EQ(AwaitVersionBanner(&record), c.result);
        on_time = nullptr;
    }
}

TEST_F(BannerWaitTest, NullRecordIsRefused) { EXPECT_EQ(AwaitVersionBanner(nullptr), -1); }

// Lines that deliver nothing, waited on with the real idle. Every turn of the wait then
// lets at least a millisecond pass, so the 1500 ms budget holds at most about 1500 turns
// (a turn reads the clock once), where a wait that spins turns hundreds of thousands of
// times. Counting clock reads tells the two apart without timing anything.
uint32_t clock_reads = 0;

uint32_t CountingClock() {
    ++clock_reads;
    return UdComTickCount();
}

struct IdleCase {
    const char* name;
    void (*spoil)(PtyPair& pty);  // makes the line silent, hung up or broken
};

void PrintTo(const IdleCase& c, std::ostream* out) { *out << c.name; }

class BannerWaitIdleTest : public ::testing::TestWithParam<IdleCase> {
protected:
    void SetUp() override {
        ResetDeviceLinkState();
        ASSERT_TRUE(pty.Open());
        clock_reads = 0;
        SetDeviceLinkClock(CountingClock, nullptr);
    }
    void TearDown() override {
        ResetDeviceLinkState();
        pty.Close();
    }
    PtyPair pty;
};

TEST_P(BannerWaitIdleTest, LineThatDeliversNothingIsWaitedOnIdly) {
    DeviceRecord record{};
    record.channel.handle = pty.slave;
    GetParam().spoil(pty);
    EXPECT_EQ(AwaitVersionBanner(&record), 0);
    EXPECT_LE(clock_reads, 2000u) << "the wait spun instead of idling";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BannerWaitIdleTest,
    ::testing::Values(
        IdleCase{"silent", [](PtyPair&) {}},
        IdleCase{"hung_up_before_the_banner",
                 [](PtyPair& pty) {
                     close(pty.master);
                     pty.master = -1;
                 }},
        IdleCase{"hung_up_during_the_banner",
                 [](PtyPair& pty) {
                     pty.Send({0x21, 0xB1, 0xA0, 0xD4, 0xE5});  // "!" and "1 Te"
                     close(pty.master);
                     pty.master = -1;
                 }},
        IdleCase{"broken",
                 [](PtyPair& pty) {
                     close(pty.master);
                     close(pty.slave);  // the handle now names no open file
                     pty.master = pty.slave = -1;
                 }}),
    [](const testing::TestParamInfo<IdleCase>& info) { return std::string(info.param.name); });

}  // namespace
