#include "joycfg/driver_notification.h"

#include <gtest/gtest.h>

#include "joycfg_test_support.h"

namespace {

class NotifyJoystickDriverTest : public testing::Test {
protected:
    void SetUp() override { ResetJoystickDriver(); }
    void TearDown() override { EXPECT_EQ(OpenJoystickDriverCount(), 0); }
};

TEST_F(NotifyJoystickDriverTest, SendsBothMessagesClosesThenBroadcasts) {
    EXPECT_EQ(NotifyJoystickDriver(), 1);
    const auto& calls = JoystickDriverCalls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0].kind, JoystickDriverCall::kOpen);
    EXPECT_EQ(calls[0].text, "DINPUT.DLL");
    EXPECT_EQ(calls[0].section, "Joystick");
    EXPECT_EQ(calls[0].param1, 0);
    const uint32_t codes[] = {0x903, 0x802};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(calls[1 + i].kind, JoystickDriverCall::kMessage);
        EXPECT_EQ(calls[1 + i].code, codes[i]);
        EXPECT_EQ(calls[1 + i].param1, 0);
        EXPECT_EQ(calls[1 + i].param2, 0);
        EXPECT_EQ(calls[1 + i].driver, calls[0].driver);
    }
    EXPECT_EQ(calls[3].kind, JoystickDriverCall::kClose);
    EXPECT_EQ(calls[3].driver, calls[0].driver);
    EXPECT_EQ(calls[4].kind, JoystickDriverCall::kRegisterMessage);
    EXPECT_EQ(calls[4].text, "MSJSTICK_VJOYD_MSGSTR");
    EXPECT_EQ(calls[5].kind, JoystickDriverCall::kPost);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(calls[5].window), 0xFFFFu);
    EXPECT_EQ(calls[5].code, calls[4].code);
    EXPECT_EQ(calls[5].param1, 0);
    EXPECT_EQ(calls[5].param2, 0);
}

TEST_F(NotifyJoystickDriverTest, ResultFollowsTheSecondAnswer) {
    SetJoystickDriverAnswer(0);
    EXPECT_EQ(NotifyJoystickDriver(), 0);
    EXPECT_EQ(JoystickDriverMessageCodes(), (std::vector<uint32_t>{0x903, 0x802}));
    EXPECT_EQ(JoystickBroadcastCount(), 1);

    ClearJoystickDriverCalls();
    SetJoystickDriverAnswer(-5);
    EXPECT_EQ(NotifyJoystickDriver(), 1);
}

TEST_F(NotifyJoystickDriverTest, NothingIsSentWithoutADriver) {
    const struct {
        const char* why;
        bool present;
        bool opens;
        size_t calls;  // the refused open is the one call that shows
    } cases[] = {
        {"no joystick driver", false, true, 0},
        {"driver cannot be opened", true, false, 1},
    };
    for (const auto& c : cases) {
        ResetJoystickDriver();
        SetJoystickDriverPresent(c.present);
        SetJoystickDriverOpens(c.opens);
        EXPECT_EQ(NotifyJoystickDriver(), 0) << c.why;
        EXPECT_EQ(JoystickDriverCalls().size(), c.calls) << c.why;
        EXPECT_TRUE(JoystickDriverMessageCodes().empty()) << c.why;
        EXPECT_EQ(JoystickBroadcastCount(), 0) << c.why;
    }
}

TEST_F(NotifyJoystickDriverTest, UnterminatedDriverNameIsBounded) {
    SetJoystickDriverRegKey("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", true);
    EXPECT_EQ(NotifyJoystickDriver(), 1);
    ASSERT_FALSE(JoystickDriverCalls().empty());
    EXPECT_EQ(JoystickDriverCalls()[0].text, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
}

}  // namespace
