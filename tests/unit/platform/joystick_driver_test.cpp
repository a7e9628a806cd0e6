#include "platform/joystick_driver.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

class JoystickDriverTest : public testing::Test {
protected:
    void SetUp() override { ResetJoystickDriver(); }
};

TEST_F(JoystickDriverTest, CapsRecordHasTheWin32Layout) {
    EXPECT_EQ(sizeof(JOYCAPSA), 404u);
    EXPECT_EQ(offsetof(JOYCAPSA, szRegKey), 112u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(HWND_BROADCAST), 0xFFFFu);
}

TEST_F(JoystickDriverTest, CapsNameTheDriverKeyOrFail) {
    JOYCAPSA caps;
    std::memset(&caps, 0x5A, sizeof caps);
    ASSERT_EQ(joyGetDevCapsA(static_cast<UINT_PTR>(-1), &caps, sizeof caps), 0u);
    EXPECT_STREQ(caps.szRegKey, "DINPUT.DLL");

    SetJoystickDriverRegKey("MSANALOG.VXD");
    ASSERT_EQ(joyGetDevCapsA(static_cast<UINT_PTR>(-1), &caps, sizeof caps), 0u);
    EXPECT_STREQ(caps.szRegKey, "MSANALOG.VXD");

    SetJoystickDriverRegKey("ABC", true);
    ASSERT_EQ(joyGetDevCapsA(static_cast<UINT_PTR>(-1), &caps, sizeof caps), 0u);
    EXPECT_EQ(std::memchr(caps.szRegKey, 0, sizeof caps.szRegKey), nullptr);
    EXPECT_EQ(std::string(caps.szRegKey, 3), "ABC");

    EXPECT_NE(joyGetDevCapsA(static_cast<UINT_PTR>(-1), &caps, 100), 0u);
    SetJoystickDriverPresent(false);
    EXPECT_NE(joyGetDevCapsA(static_cast<UINT_PTR>(-1), &caps, sizeof caps), 0u);
    EXPECT_EQ(JoystickCapsQueryCount(), 5);
}

TEST_F(JoystickDriverTest, CallsAreRecordedInOrder) {
    SetJoystickDriverAnswer(0);
    HDRVR driver = OpenDriver(L"DINPUT.DLL", L"Joystick", 0);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(OpenJoystickDriverCount(), 1);
    EXPECT_EQ(SendDriverMessage(driver, 0x903, 0, 0), 0);
    CloseDriver(driver, 0, 0);
    const UINT id = RegisterWindowMessageA("MSJSTICK_VJOYD_MSGSTR");
    EXPECT_GE(id, 0xC000u);
    EXPECT_EQ(RegisterWindowMessageA("msjstick_vjoyd_msgstr"), id);
    PostMessageA(HWND_BROADCAST, id, 0, 0);
    PostMessageA(reinterpret_cast<HWND>(0x40), id, 0, 0);

    const auto& calls = JoystickDriverCalls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0].kind, JoystickDriverCall::kOpen);
    EXPECT_EQ(calls[0].text, "DINPUT.DLL");
    EXPECT_EQ(calls[0].section, "Joystick");
    EXPECT_EQ(calls[1].kind, JoystickDriverCall::kMessage);
    EXPECT_EQ(calls[1].code, 0x903u);
    EXPECT_EQ(calls[2].kind, JoystickDriverCall::kClose);
    EXPECT_EQ(calls[3].kind, JoystickDriverCall::kRegisterMessage);
    EXPECT_EQ(calls[3].text, "MSJSTICK_VJOYD_MSGSTR");
    EXPECT_EQ(calls[5].kind, JoystickDriverCall::kPost);
    EXPECT_EQ(calls[5].code, id);
    EXPECT_EQ(JoystickBroadcastCount(), 1);
    EXPECT_EQ(JoystickDriverMessageCodes(), std::vector<uint32_t>{0x903});
    EXPECT_EQ(OpenJoystickDriverCount(), 0);
}

TEST_F(JoystickDriverTest, RefusedOpenGivesNoHandle) {
    SetJoystickDriverOpens(false);
    EXPECT_EQ(OpenDriver(L"DINPUT.DLL", L"Joystick", 0), nullptr);
    EXPECT_EQ(OpenJoystickDriverCount(), 0);
    ASSERT_EQ(JoystickDriverCalls().size(), 1u);
    EXPECT_EQ(JoystickDriverCalls()[0].driver, nullptr);
}

}  // namespace
