// The two dialog procedures on their own, each shown through the headless dialog manager
// over a registry prepared by the slot operations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/installer.h"
#include "joycfg/slot_config.h"
#include "platform/joystick_driver.h"
#include "platform/registry_store.h"
#include "platform/window_manager.h"

namespace {

const std::string kTypeSettingsKey =
    "System\\CurrentControlSet\\Control\\MediaResources\\Joystick\\DINPUT.DLL\\JoystickSettings\\"
    "Tessaline";

const UserStep kEnter{UserAction::kPressEnter, 0};
const UserStep kEscape{UserAction::kPressEscape, 0};
const UserStep kClickOk{UserAction::kClickOk, 0};
const UserStep kCloseBox{UserAction::kClickCloseBox, 0};

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistryStore();
        ResetJoystickDriver();
        std::string error;
        ASSERT_TRUE(LoadRegistryFile(GYR_SOURCE_DIR "/tests/fixtures/machine_four_ports.reg", &error))
            << error;
        for (int32_t slot = 0; slot < 16; ++slot) ASSERT_EQ(InitSlotTypeSettings(slot), 1);
    }

    static INT_PTR Show(int32_t template_id, DLGPROC procedure, std::vector<UserStep> steps) {
        WindowingScript script;
        script.steps = std::move(steps);
        ResetWindowing(script);
        return DialogBoxParamA(nullptr, MAKEINTRESOURCEA(template_id), nullptr, procedure, 0);
    }

    static std::vector<uint8_t> PortField(int joystick) {
        StoredValue value =
            ReadRegistryValue(kTypeSettingsKey, "Joystick" + std::to_string(joystick) + "OEMConfiguration");
        if (value.bytes.size() < 21) return {};
        return std::vector<uint8_t>(value.bytes.begin() + 16, value.bytes.begin() + 21);
    }
};

TEST_F(DialogTest, PortListPreselectsThePortStoredForJoystickOne) {
    ASSERT_EQ(SetSlotPort(0, 2), 1);

    INT_PTR result = Show(101, PortSelectDialogProc, {kEnter});

    EXPECT_EQ(result, 2);
    const ShownDialog& dialog = GetWindowingLog().dialogs.at(0);
    EXPECT_EQ(dialog.list_entries, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_EQ(dialog.list_selection, 1);
    for (int joystick = 1; joystick <= 16; ++joystick)
        EXPECT_EQ(PortField(joystick), (std::vector<uint8_t>{0x43, 0x4F, 0x4D, 0x32, 0x00}))
            << "joystick " << joystick;
}

TEST_F(DialogTest, OnlyOkEndsEitherDialog) {
    struct Case {
        const char* name;
        int32_t template_id;
        DLGPROC procedure;
        std::vector<UserStep> steps;
        bool ended;
    };
    const Case cases[] = {
        {"result: Esc", 111, ResultDialogProc, {kEscape}, false},
        {"result: close box", 111, ResultDialogProc, {kCloseBox}, false},
        {"result: OK button", 111, ResultDialogProc, {kClickOk}, true},
        {"result: Enter", 111, ResultDialogProc, {kEnter}, true},
        {"port list: Esc", 101, PortSelectDialogProc, {kEscape}, false},
        {"port list: selection alone", 101, PortSelectDialogProc, {{UserAction::kSelectListIndex, 3}}, false},
        {"port list: OK button", 101, PortSelectDialogProc, {kClickOk}, true},
        {"port list: Enter", 101, PortSelectDialogProc, {kEnter}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        INT_PTR result = Show(c.template_id, c.procedure, c.steps);
        const WindowingLog& log = GetWindowingLog();
        ASSERT_EQ(log.dialogs.size(), 1u);
        EXPECT_EQ(log.dialogs[0].ended, c.ended);
        EXPECT_EQ(log.dialogs[0].init_dialog_result, 1);
        if (c.ended) {
            EXPECT_EQ(result, 2);
            EXPECT_TRUE(log.problems.empty());
        } else {
            // The stand-in gives up once the user has nothing more to do.
            EXPECT_EQ(result, -1);
            EXPECT_EQ(log.problems.size(), 1u);
        }
    }
}

TEST_F(DialogTest, ProceduresAnswerCommandsAsHandledOrNot) {
    struct Case {
        const char* name;
        DLGPROC procedure;
        UINT message;
        WPARAM wparam;
        INT_PTR answer;
    };
    // A notification whose low word is IDOK is not the OK command.
    const WPARAM ok_with_notification = (1u << 16) | 1u;
    const Case cases[] = {
        {"result: IDCANCEL", ResultDialogProc, 0x0111, 2, 0},
        {"result: IDOK with a notification code", ResultDialogProc, 0x0111, ok_with_notification, 0},
        {"result: other message", ResultDialogProc, 0x0010, 0, 0},
        {"port list: IDCANCEL", PortSelectDialogProc, 0x0111, 2, 1},
        {"port list: IDOK with a notification code", PortSelectDialogProc, 0x0111, ok_with_notification, 1},
        {"port list: other message", PortSelectDialogProc, 0x0010, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetWindowing(WindowingScript{});
        std::string before = ExportRegistryText();
        HWND dialog = reinterpret_cast<HWND>(0x1234);
        EXPECT_EQ(c.procedure(dialog, c.message, c.wparam, 0), c.answer);
        EXPECT_EQ(ExportRegistryText(), before);
        EXPECT_TRUE(GetWindowingLog().problems.empty());
    }
}

}  // namespace
