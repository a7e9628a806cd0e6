// The order of the calls at the registry and driver boundary, read from the stand-ins'
// traces: the driver reads the store when it is told, so what was written, closed and
// flushed before each notification matters as much as what the store ends up holding.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "joycfg/oem_type.h"
#include "joycfg/slot_config.h"
#include "joycfg_test_support.h"

namespace {

using namespace joycfg_test;

std::vector<std::string> TraceLines(size_t from = 0) {
    std::vector<std::string> lines;
    const std::vector<RegistryCall>& calls = RegistryCalls();
    for (size_t i = from; i < calls.size(); ++i) lines.push_back(DescribeRegistryCall(calls[i]));
    return lines;
}

class RegistryOrderTest : public testing::Test {
protected:
    void SetUp() override { LoadMachine("machine_two_ports.reg"); }
    void TearDown() override { EXPECT_EQ(OpenRegistryKeyCount(), 0); }
};

// Every writer that succeeds closes the key it wrote and only then flushes the store, once,
// as its last two calls; nothing is written after the close.
TEST_F(RegistryOrderTest, EveryWriterClosesItsKeyThenFlushes) {
    const struct {
        const char* writer;
        std::function<int32_t()> run;
        const std::string& key;
    } cases[] = {
        {"RegisterOemType", [] { return RegisterOemType(); }, kOemType},
        {"InitSlotTypeSettings", [] { return InitSlotTypeSettings(4); }, kTypeSettings},
        {"ClearSlotConfig", [] { return ClearSlotConfig(0); }, kCurrentSettings},
        {"WriteSlotConfigTenBit", [] { return WriteSlotConfigTenBit(0); }, kCurrentSettings},
        {"WriteSlotConfigFullRange", [] { return WriteSlotConfigFullRange(0); }, kCurrentSettings},
        {"ResetSlotOemConfig", [] { return ResetSlotOemConfig(0); }, kTypeSettings},
        {"SetSlotPort", [] { return SetSlotPort(0, 2); }, kTypeSettings},
        {"SetSlotAxes", [] { return SetSlotAxes(0, "XYZ"); }, kTypeSettings},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.writer);
        LoadMachine("machine_two_ports.reg");
        ASSERT_EQ(InitSlotTypeSettings(0), 1);
        ClearRegistryCalls();

        EXPECT_EQ(c.run(), 1);

        const std::vector<std::string> lines = TraceLines();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[lines.size() - 2], "close " + c.key);
        EXPECT_EQ(lines.back(), "flush HKLM");
        int sets = 0;
        for (size_t i = 0; i + 2 < lines.size(); ++i) {
            EXPECT_NE(lines[i].rfind("flush", 0), 0u) << "flushed before the close: " << lines[i];
            if (lines[i].rfind("set ", 0) == 0) {
                ++sets;
                EXPECT_EQ(lines[i].rfind("set " + c.key + " ", 0), 0u) << lines[i];
            }
        }
        EXPECT_GT(sets, 0);
    }
}

// The writes, flushes and notifications of one configure sequence, in the order they
// happened: what the driver could read at each notice.
std::vector<std::string> sequence;
size_t sequence_trace_seen = 0;
std::vector<uint8_t> joystick1_at_first_notice;
bool first_notice_seen = false;

void TakeWritesUpToNow() {
    const std::vector<RegistryCall>& calls = RegistryCalls();
    for (; sequence_trace_seen < calls.size(); ++sequence_trace_seen) {
        const RegistryCall& call = calls[sequence_trace_seen];
        if (call.kind == RegistryCall::kSet || call.kind == RegistryCall::kFlush) {
            sequence.push_back(DescribeRegistryCall(call));
        }
    }
}

void RecordNotice(UINT message) {
    if (message != 0x903) return;
    TakeWritesUpToNow();
    sequence.push_back("notify");
    if (!first_notice_seen) {
        first_notice_seen = true;
        joystick1_at_first_notice =
            ReadRegistryValue(kCurrentSettings, "Joystick1Configuration").bytes;
    }
}

// Clear, notify, write the record and the two names, set the port, set the axes, notify:
// so the driver sees joystick 1 blank first, then complete.
TEST_F(RegistryOrderTest, ConfigureSequencesClearNotifyWriteSetPortSetAxesNotify) {
    const std::string cur = "set " + kCurrentSettings + " ";
    const std::string type = "set " + kTypeSettings + " Joystick1OEMConfiguration 28";
    const std::vector<std::string> expected = {
        cur + "Joystick1Configuration 112", cur + "Joystick1OEMName 260",
        cur + "Joystick1OEMCallout 260",    "flush HKLM",
        "notify",
        cur + "Joystick1Configuration 112", cur + "Joystick1OEMName 260",
        cur + "Joystick1OEMCallout 260",    "flush HKLM",
        type,                               "flush HKLM",
        type,                               "flush HKLM",
        "notify",
    };
    const struct {
        const char* name;
        int32_t (*configure)(int32_t, int32_t, const char*);
        bool configured_before;  // joystick 1 already set up for COM1, as the dialog finds it
    } cases[] = {
        {"ten-bit from blank", ConfigureSlotTenBit, false},
        {"ten-bit over COM1's configuration", ConfigureSlotTenBit, true},
        {"full-range from blank", ConfigureSlotFullRange, false},
        {"full-range over COM1's configuration", ConfigureSlotFullRange, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoadMachine("machine_two_ports.reg");
        ASSERT_EQ(InitSlotTypeSettings(0), 1);
        if (c.configured_before) {
            ConfigureSlotFullRange(0, 1, "XYZRUV");
            ASSERT_EQ(ReadRegistryValue(kCurrentSettings, "Joystick1Configuration").bytes,
                      FullRangeRecord());
        }
        sequence.clear();
        sequence_trace_seen = RegistryCalls().size();
        first_notice_seen = false;
        joystick1_at_first_notice.clear();
        SetJoystickDriverMessageObserver(RecordNotice);

        c.configure(0, 3, "XYZRUV");

        TakeWritesUpToNow();
        EXPECT_EQ(sequence, expected);
        EXPECT_EQ(joystick1_at_first_notice, std::vector<uint8_t>(112, 0));
        SetJoystickDriverMessageObserver(nullptr);
    }
}

}  // namespace
