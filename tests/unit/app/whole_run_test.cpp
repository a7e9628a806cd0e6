// The whole program, from WinMain to its exit code, against a machine described by a .reg
// fixture, the joystick driver stand-in, the headless window manager and, where a
// controller is attached, the controller simulator on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/installer.h"
#include "devlink/device_link_testing.h"
#include "platform/joystick_driver.h"
#include "platform/registry_store.h"
#include "platform/serial_names.h"
#include "platform/window_manager.h"
#include "tests/unit/app/controller_line.h"
#include "tests/unit/devlink/device_log_recorder.h"
#include "tests/unit/joycfg/joycfg_test_support.h"

namespace {

const std::string kFixtures = GYR_SOURCE_DIR "/tests/fixtures/";
const std::string kAppFixtures = GYR_SOURCE_DIR "/tests/unit/app/fixtures/";

// The expected records and registry paths are those the joystick configuration tests
// write out.
using joycfg_test::ExpectValue;
using joycfg_test::OemConfigForPort;
using joycfg_test::TextField;
const std::string& kCurrentSettingsKey = joycfg_test::kCurrentSettings;
const std::string& kTypeSettingsKey = joycfg_test::kTypeSettings;
const std::string& kOemTypeKey = joycfg_test::kOemType;
const std::vector<uint8_t> kFullRangeRecord = joycfg_test::FullRangeRecord();
const std::vector<uint8_t> kTenBitRecord = joycfg_test::TenBitRecord();

const HINSTANCE kInstance = reinterpret_cast<HINSTANCE>(0x00400000);

std::vector<std::string> Sorted(std::vector<std::string> names) {
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    std::sort(names.begin(), names.end(),
              [&](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
    return names;
}

// What a finished install leaves for the joystick driver: joystick 1 configured with the
// given record, and every joystick's type settings naming COM<port_digit>.
void ExpectInstalledRegistry(const std::vector<uint8_t>& joystick1_record, char port_digit) {
    ExpectValue(kCurrentSettingsKey, "Joystick1Configuration", REG_BINARY, joystick1_record);
    ExpectValue(kCurrentSettingsKey, "Joystick1OEMName", REG_SZ, TextField("Tessaline", 260));
    ExpectValue(kCurrentSettingsKey, "Joystick1OEMCallout", REG_SZ, TextField("tesln.vxd", 260));
    EXPECT_EQ(Sorted(RegistryValueNames(kCurrentSettingsKey)),
              (std::vector<std::string>{"Joystick1Configuration", "Joystick1OEMCallout",
                                        "Joystick1OEMName"}));
    for (int joystick = 1; joystick <= 16; ++joystick) {
        std::string prefix = "Joystick" + std::to_string(joystick);
        ExpectValue(kTypeSettingsKey, prefix + "Configuration", REG_BINARY, kFullRangeRecord);
        ExpectValue(kTypeSettingsKey, prefix + "OEMConfiguration", REG_BINARY,
                    OemConfigForPort(port_digit));
    }
    EXPECT_EQ(RegistryValueNames(kTypeSettingsKey).size(), 32u);
    ExpectValue(kOemTypeKey, "OEMDATA", REG_BINARY, kFullRangeRecord);
    ExpectValue(kOemTypeKey, "OEMNAME", REG_SZ, TextField("Brennick Gyrelle", 250));
}

struct RunResult {
    int exit_code;
    std::vector<std::string> opened_ports;  // from the serial channel's "opening" lines
};

// Every COMn leads to a path that does not exist, so an open fails at once, until a test
// puts the simulator's line on one of them.
class WholeRun : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceLinkState();
        ClearSerialDevicePaths();
        for (int n = 1; n <= 9; ++n) {
            std::string name = "COM" + std::to_string(n);
            SetSerialDevicePath(name.c_str(), ("/nonexistent/gyrsetup-test/" + name).c_str());
        }
        ResetRegistryStore();
        ResetJoystickDriver();
        ResetWindowing(WindowingScript{});
    }

    void TearDown() override {
        ResetDeviceLinkState();
        ClearSerialDevicePaths();
    }

    void LoadMachine(const std::string& path) {
        std::string error;
        ASSERT_TRUE(LoadRegistryFile(path, &error)) << error;
    }

    RunResult Run(const WindowingScript& script, int show_command = SW_SHOWNORMAL) {
        ResetWindowing(script);
        DeviceLogRecorder recorder;
        char command_line[] = "";
        int exit_code = WinMain(kInstance, nullptr, command_line, show_command);
        std::string output = recorder.Take();
        RunResult result{exit_code, {}};
        const std::string marker = "UdComOpen:  opening ";
        for (size_t at = output.find(marker); at != std::string::npos;
             at = output.find(marker, at + 1)) {
            size_t start = at + marker.size();
            result.opened_ports.push_back(output.substr(start, output.find('\n', start) - start));
        }
        return result;
    }

    // The simulator's line as COM<port>.
    static void Attach(ControllerLine* controller, int32_t port) {
        ASSERT_TRUE(controller->Start()) << controller->error();
        std::string name = "COM" + std::to_string(port);
        ASSERT_EQ(SetSerialDevicePath(name.c_str(), controller->device_path().c_str()), 1);
    }

    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(OpenRegistryKeyCount(), 0);
        EXPECT_EQ(OpenJoystickDriverCount(), 0);
    }
};

UserStep Select(int32_t index) { return UserStep{UserAction::kSelectListIndex, index}; }
const UserStep kEnter{UserAction::kPressEnter, 0};
const UserStep kEscape{UserAction::kPressEscape, 0};
const UserStep kClickOk{UserAction::kClickOk, 0};
const UserStep kCloseBox{UserAction::kClickCloseBox, 0};

struct WholeRunCase {
    const char* name;
    std::string fixture;
    int32_t controller_port;  // 0: no controller on any port
    std::vector<UserStep> steps;
    int32_t client_height;  // 0: the empty client area Wine gives the zero-size window
    bool destroy_before_first_paint;
    // What should happen.
    std::vector<std::string> opened_ports;
    int32_t dialog_template;
    std::vector<std::string> list_entries;
    int32_t list_selection;
    int32_t notifications;
    bool joystick1_ten_bit;
    char slot_port_digit;
    int32_t paints;
};

const WholeRunCase kWholeRuns[] = {
    {"NoPortCounted", kFixtures + "machine_no_ports.reg", 0, {kClickOk}, 0, false,
     {}, 101, {}, -1, 5, true, '1', 0},
    {"ControllerOnPortThreeOfFour", kFixtures + "machine_four_ports.reg", 3,
     {kEscape, kCloseBox, kEnter}, 40, false,
     {"COM1", "COM2", "COM3"}, 111, {}, -1, 6, false, '3', 1},
    {"NotFoundUserPicksCom3", kFixtures + "machine_four_ports.reg", 0, {Select(2), kClickOk}, 0,
     false, {"COM1", "COM2", "COM3", "COM4"}, 101, {"COM1", "COM2", "COM3", "COM4"}, 2, 9, true,
     '3', 0},
    {"EscapeIgnoredEnterConfirmsPreselectedPort", kFixtures + "machine_two_ports.reg", 0,
     {kEscape, kCloseBox, kEnter}, 40, false, {"COM1", "COM2", "COM3", "COM4"}, 101,
     {"COM1", "COM2", "COM3", "COM4"}, 0, 9, true, '1', 1},
    // The simulator waits on COM5, but only ports 1 to 4 are counted.
    {"ControllerBeyondTheCountIsNotFound", kFixtures + "machine_two_ports.reg", 5, {kClickOk}, 0,
     false, {"COM1", "COM2", "COM3", "COM4"}, 101, {"COM1", "COM2", "COM3", "COM4"}, 0, 9, true,
     '1', 0},
    {"EightPortsCountedOnlySixNamed", kAppFixtures + "machine_eight_ports.reg", 0,
     {Select(5), kClickOk}, 0, false, {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}, 101,
     {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}, 5, 13, true, '6', 0},
    {"DestroyBeforeFirstPaint", kFixtures + "machine_no_ports.reg", 0, {kEnter}, 40, true,
     {}, 101, {}, -1, 5, true, '1', 0},
};

void PrintTo(const WholeRunCase& c, std::ostream* out) { *out << c.name; }

class WholeRunTable : public WholeRun, public ::testing::WithParamInterface<WholeRunCase> {};

TEST_P(WholeRunTable, InstallsAndExitsWithZero) {
    const WholeRunCase& c = GetParam();
    LoadMachine(c.fixture);
    ControllerLine controller;
    if (c.controller_port != 0) {
        ASSERT_NO_FATAL_FAILURE(Attach(&controller, c.controller_port));
    }
    WindowingScript script;
    script.steps = c.steps;
    script.client_height = c.client_height;
    script.destroy_before_first_paint = c.destroy_before_first_paint;

    RunResult run = Run(script);

    EXPECT_EQ(run.exit_code, 0);
    const WindowingLog& log = GetWindowingLog();
    EXPECT_TRUE(log.problems.empty()) << log.problems.front();
    EXPECT_EQ(run.opened_ports, c.opened_ports);
    ASSERT_EQ(log.dialogs.size(), 1u);
    const ShownDialog& dialog = log.dialogs[0];
    EXPECT_EQ(dialog.template_id, c.dialog_template);
    EXPECT_EQ(dialog.instance, kInstance);
    EXPECT_NE(dialog.owner, nullptr);
    EXPECT_EQ(dialog.init_param, 0);
    EXPECT_EQ(dialog.init_dialog_result, 1);
    EXPECT_TRUE(dialog.ended);
    EXPECT_EQ(dialog.end_result, 2);
    EXPECT_EQ(dialog.list_entries, c.list_entries);
    EXPECT_EQ(dialog.list_selection, c.list_selection);
    // Installed, or COM1 kept from before an empty list: nothing more to tell.
    EXPECT_TRUE(log.message_boxes.empty());
    EXPECT_EQ(JoystickBroadcastCount(), c.notifications);
    std::vector<uint32_t> codes;
    for (int32_t i = 0; i < c.notifications; ++i) codes.insert(codes.end(), {0x903, 0x802});
    EXPECT_EQ(JoystickDriverMessageCodes(), codes);
    EXPECT_EQ(log.paints_dispatched, c.paints);
    ExpectInstalledRegistry(c.joystick1_ten_bit ? kTenBitRecord : kFullRangeRecord,
                            c.slot_port_digit);
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Runs, WholeRunTable, ::testing::ValuesIn(kWholeRuns),
                         [](const auto& info) { return std::string(info.param.name); });

// At each JDD_CONFIGCHANGED: how many port opens had been tried, and whether joystick 1's
// configuration was the blank record.
std::vector<std::pair<int32_t, bool>> notices;

void RecordNotice(UINT message) {
    if (message != 0x903) return;
    StoredValue record = ReadRegistryValue(kCurrentSettingsKey, "Joystick1Configuration");
    bool blank = record.found && record.bytes == std::vector<uint8_t>(112, 0);
    notices.emplace_back(SerialDeviceLookupCount(), blank);
}

TEST_F(WholeRun, EachProbeComesAfterJoystickOneWasClearedAndTheDriverTold) {
    LoadMachine(kFixtures + "machine_four_ports.reg");
    ControllerLine controller;
    ASSERT_NO_FATAL_FAILURE(Attach(&controller, 3));
    notices.clear();
    SetJoystickDriverMessageObserver(RecordNotice);
    WindowingScript script;
    script.steps = {kEnter};

    RunResult run = Run(script);

    EXPECT_EQ(run.opened_ports, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    // Start-up; before ports 1, 2 and 3; then the configuration's clear and its completion.
    EXPECT_EQ(notices, (std::vector<std::pair<int32_t, bool>>{
                           {0, true}, {0, true}, {1, true}, {2, true}, {3, true}, {3, false}}));
}

// The install goes through its steps without the joystick driver's keys, or without the
// driver, writing nothing; then the user is told so instead of "installed".
struct NotInstalledCase {
    const char* name;
    bool driver_present;  // the keys are missing either way
    int32_t controller_port;
    std::vector<UserStep> steps;
    std::vector<std::string> opened_ports;
    std::vector<int32_t> dialog_templates;
    int32_t list_selection;  // of the port-selection dialog, when shown
    int32_t notifications;
    std::string caption;
    std::string text;
    std::string fixture = kFixtures + "machine_no_driver.reg";
    bool dialog_fails = false;  // DialogBoxParamA answers -1
};

const NotInstalledCase kNotInstalledCases[] = {
    {"ControllerFound", true, 4, {kClickOk}, {"COM1", "COM2", "COM3", "COM4"}, {}, 0, 7,
     "Gyrelle Detection",
     "The Gyrelle answered on COM4, but it could not be installed: the joystick driver is not "
     "set up. Install the Windows joystick driver (Control Panel, Add New Hardware), then run "
     "GYRSETUP again."},
    {"UserPicksCom3", true, 0, {Select(2), kClickOk, kEnter}, {"COM1", "COM2", "COM3", "COM4"},
     {101}, 2, 9, "Com Port Configuration",
     "COM3 could not be configured: the joystick driver is not set up. Install the Windows "
     "joystick driver (Control Panel, Add New Hardware), then run GYRSETUP again."},
    // No slot can be read, so nothing is preselected and OK chooses no port.
    {"NoDriverNothingChosen", false, 0, {kClickOk, kClickOk}, {"COM1", "COM2", "COM3", "COM4"},
     {101}, -1, 0, "Com Port Configuration",
     "Nothing could be configured: the joystick driver is not set up. Install the Windows "
     "joystick driver (Control Panel, Add New Hardware), then run GYRSETUP again."},
    // The port found, not the last port counted.
    {"ControllerFoundOnCom2", true, 2, {kClickOk}, {"COM1", "COM2"}, {}, 0, 5, "Gyrelle Detection",
     "The Gyrelle answered on COM2, but it could not be installed: the joystick driver is not "
     "set up. Install the Windows joystick driver (Control Panel, Add New Hardware), then run "
     "GYRSETUP again."},
    // The ends of the list: the first entry, and the last port with a name.
    {"UserPicksCom1", true, 0, {Select(0), kClickOk, kEnter}, {"COM1", "COM2", "COM3", "COM4"},
     {101}, 0, 9, "Com Port Configuration",
     "COM1 could not be configured: the joystick driver is not set up. Install the Windows "
     "joystick driver (Control Panel, Add New Hardware), then run GYRSETUP again."},
    {"UserPicksCom6", true, 0, {Select(5), kClickOk, kEnter},
     {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}, {101}, 5, 13, "Com Port Configuration",
     "COM6 could not be configured: the joystick driver is not set up. Install the Windows "
     "joystick driver (Control Panel, Add New Hardware), then run GYRSETUP again.",
     kAppFixtures + "machine_eight_ports_no_driver.reg"},
    // A port list that never came up picked nothing, COM1 no more than any other.
    {"PortListFailsToAppear", true, 0, {kClickOk}, {"COM1", "COM2", "COM3", "COM4"}, {}, 0, 7,
     "Com Port Configuration",
     "Nothing could be configured: the joystick driver is not set up. Install the Windows "
     "joystick driver (Control Panel, Add New Hardware), then run GYRSETUP again.",
     kFixtures + "machine_no_driver.reg", true},
};

void PrintTo(const NotInstalledCase& c, std::ostream* out) { *out << c.name; }

class NotInstalledTable : public WholeRun, public ::testing::WithParamInterface<NotInstalledCase> {};

TEST_P(NotInstalledTable, UserIsToldAndNothingIsWritten) {
    const NotInstalledCase& c = GetParam();
    LoadMachine(c.fixture);
    SetJoystickDriverPresent(c.driver_present);
    ControllerLine controller;
    if (c.controller_port != 0) {
        ASSERT_NO_FATAL_FAILURE(Attach(&controller, c.controller_port));
    }
    const std::string before = ExportRegistryText();
    WindowingScript script;
    script.steps = c.steps;
    script.client_height = 40;
    script.fail_dialogs = c.dialog_fails;

    RunResult run = Run(script);

    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.opened_ports, c.opened_ports);
    const WindowingLog& log = GetWindowingLog();
    EXPECT_TRUE(log.problems.empty()) << log.problems.front();
    std::vector<int32_t> templates;
    for (const ShownDialog& dialog : log.dialogs) {
        templates.push_back(dialog.template_id);
        EXPECT_TRUE(dialog.ended);
        EXPECT_EQ(dialog.list_selection, c.list_selection);
    }
    EXPECT_EQ(templates, c.dialog_templates);
    ASSERT_EQ(log.message_boxes.size(), 1u);
    const ShownMessageBox& box = log.message_boxes[0];
    ASSERT_EQ(log.created_windows.size(), 1u);
    EXPECT_NE(box.owner, nullptr);
    EXPECT_EQ(box.caption, c.caption);
    EXPECT_EQ(box.text, c.text);
    EXPECT_EQ(box.type, 0x30u);  // MB_OK | MB_ICONEXCLAMATION
    // After the port-selection dialog has closed, not over it.
    EXPECT_EQ(box.dialogs_before, static_cast<int32_t>(c.dialog_templates.size()));
    EXPECT_EQ(log.paints_dispatched, 1);
    EXPECT_EQ(JoystickBroadcastCount(), c.notifications);
    EXPECT_EQ(ExportRegistryText(), before);
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(WithoutDriverKeys, NotInstalledTable, ::testing::ValuesIn(kNotInstalledCases),
                         [](const auto& info) { return std::string(info.param.name); });

// An OEM type "Tessaline" that an earlier registration left, with the given record and
// callout, the texts at their full 250 bytes.
void StoreEarlierOemType(const std::vector<uint8_t>& record, const char* callout) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kOemTypeKey.c_str(), &key), ERROR_SUCCESS);
    const std::vector<uint8_t> callout_field = TextField(callout, 250);
    const std::vector<uint8_t> name_field = TextField("Brennick Gyrelle", 250);
    RegSetValueExA(key, "OEMDATA", 0, REG_BINARY, record.data(), 112);
    RegSetValueExA(key, "OEMCALLOUT", 0, REG_SZ, callout_field.data(), 250);
    RegSetValueExA(key, "OEMNAME", 0, REG_SZ, name_field.data(), 250);
    RegCloseKey(key);
}

// Each part of what Windows needs, refused in turn; the read-back finds it and names the
// cause, in place of the result dialog or after the port list. Every case also runs with
// texts kept as Windows 9x keeps them.
struct ReadBackCase {
    const char* name;
    const char* fixture;  // in tests/unit/app/fixtures/ when it is there, else in tests/fixtures/
    void (*prepare)();    // the earlier state and the refusals, after the fixture has loaded
    int32_t controller_port;
    std::vector<UserStep> steps;
    std::vector<int32_t> dialog_templates;
    std::string caption;  // empty: the result dialog, and no message box
    std::string text;
    bool dialog_fails = false;  // DialogBoxParamA answers -1
    void (*check)() = nullptr;  // what the registry holds afterwards
};

// An earlier run installed the controller on COM4, and every write to joystick 1's current
// and type settings is refused now.
void RefuseJoystickOneWrites() {
    RefuseRegistryWrites(kCurrentSettingsKey);
    RefuseRegistryWrites(kTypeSettingsKey);
}

void ExpectJoystickOneStillOnCom4() {
    ExpectValue(kCurrentSettingsKey, "Joystick1Configuration", REG_BINARY, kFullRangeRecord);
    ExpectValue(kCurrentSettingsKey, "Joystick1OEMName", REG_SZ, TextField("Tessaline", 10));
    ExpectValue(kTypeSettingsKey, "Joystick1OEMConfiguration", REG_BINARY, OemConfigForPort('4'));
}

// Joystick 1 as the port list's OK configures it for COM3.
void ExpectJoystickOneOnCom3() {
    ExpectValue(kCurrentSettingsKey, "Joystick1Configuration", REG_BINARY, kTenBitRecord);
    ExpectValue(kTypeSettingsKey, "Joystick1OEMConfiguration", REG_BINARY, OemConfigForPort('3'));
}

const ReadBackCase kReadBackCases[] = {
    {"CalloutRefused", "machine_four_ports.reg",
     [] { RefuseRegistryWrites(kCurrentSettingsKey, "Joystick1OEMCallout"); }, 3, {kEnter}, {},
     "Gyrelle Detection",
     "The Gyrelle answered on COM3, but it could not be installed: Windows did not keep the "
     "joystick settings. Run GYRSETUP again."},
    {"TypeRefusedControllerFound", "machine_four_ports.reg",
     [] { RefuseRegistryWrites(kOemTypeKey); }, 3, {kEnter}, {}, "Gyrelle Detection",
     "The Gyrelle answered on COM3, but it could not be installed: Windows did not keep the "
     "Brennick Gyrelle joystick type. Run GYRSETUP again."},
    // Joystick 1 holds the port picked, so the port is not what failed.
    {"TypeRefusedPortPicked", "machine_four_ports.reg",
     [] { RefuseRegistryWrites(kOemTypeKey); }, 0, {Select(2), kClickOk, kEnter}, {101},
     "Com Port Configuration",
     "The Gyrelle could not be installed: Windows did not keep the Brennick Gyrelle joystick "
     "type. Run GYRSETUP again."},
    // Joystick 1 did not take the port picked either, so the port is named; the type, the
    // first cause, is the reason given.
    {"TypeAndJoystickOneRefusedUserPicksCom3", "machine_installed_on_com4.reg",
     [] {
         RefuseRegistryWrites(kOemTypeKey);
         RefuseJoystickOneWrites();
     },
     0, {Select(2), kClickOk, kEnter}, {101}, "Com Port Configuration",
     "COM3 could not be configured: Windows did not keep the Brennick Gyrelle joystick type. "
     "Run GYRSETUP again.", false, ExpectJoystickOneStillOnCom4},
    // Joystick 1 takes the port picked, but without the OEM types key the joystick driver is
    // not set up: that is what the user must put right, not the type.
    {"OemTypesKeyMissingUserPicksCom3", "machine_four_ports_without_oem_types.reg", [] {}, 0,
     {Select(2), kClickOk, kEnter}, {101}, "Com Port Configuration",
     "COM3 could not be configured: the joystick driver is not set up. Install the Windows "
     "joystick driver (Control Panel, Add New Hardware), then run GYRSETUP again.", false,
     ExpectJoystickOneOnCom3},
    {"TypeRefusedOverAnEarlierOneWithOtherValues", "machine_four_ports.reg",
     [] {
         StoreEarlierOemType(joycfg_test::TenBitRecord(), "other.vxd");
         RefuseRegistryWrites(kOemTypeKey);
     },
     3, {kEnter}, {}, "Gyrelle Detection",
     "The Gyrelle answered on COM3, but it could not be installed: Windows did not keep the "
     "Brennick Gyrelle joystick type. Run GYRSETUP again."},
    // What the earlier registration holds is what this run would have written.
    {"TypeRefusedOverAnEarlierOneWithTheseValues", "machine_four_ports.reg",
     [] {
         StoreEarlierOemType(joycfg_test::FullRangeRecord(), "tesln.vxd");
         RefuseRegistryWrites(kOemTypeKey);
     },
     3, {kEnter}, {111}, "", ""},
    // What joystick 1 holds from before is not what this run configured.
    {"EarlierInstallOnCom4ControllerOnCom3", "machine_installed_on_com4.reg",
     RefuseJoystickOneWrites, 3, {kEnter}, {}, "Gyrelle Detection",
     "The Gyrelle answered on COM3, but it could not be installed: Windows did not keep the "
     "joystick settings. Run GYRSETUP again.", false, ExpectJoystickOneStillOnCom4},
    // The earlier run's COM4 is preselected; the user picks COM3.
    {"EarlierInstallOnCom4UserPicksCom3", "machine_installed_on_com4.reg",
     RefuseJoystickOneWrites, 0, {Select(2), kClickOk, kEnter}, {101}, "Com Port Configuration",
     "COM3 could not be configured: Windows did not keep the joystick settings. Run GYRSETUP "
     "again.", false, ExpectJoystickOneStillOnCom4},
    {"EarlierInstallOnCom4PortListFailsToAppear", "machine_installed_on_com4.reg",
     RefuseJoystickOneWrites, 0, {kEnter}, {}, "Com Port Configuration",
     "Nothing could be configured: Windows did not keep the joystick settings. Run GYRSETUP "
     "again.", true, ExpectJoystickOneStillOnCom4},
    // Joystick 1 still holds COM1 from before: a lower port than the one that answered.
    {"EarlierInstallOnALowerPort", "machine_installed_on_com4.reg",
     [] {
         HKEY key = nullptr;
         ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kTypeSettingsKey.c_str(), &key), ERROR_SUCCESS);
         const std::vector<uint8_t> com1 = OemConfigForPort('1');
         RegSetValueExA(key, "Joystick1OEMConfiguration", 0, REG_BINARY, com1.data(), 28);
         RegCloseKey(key);
         RefuseJoystickOneWrites();
     },
     3, {kEnter}, {}, "Gyrelle Detection",
     "The Gyrelle answered on COM3, but it could not be installed: Windows did not keep the "
     "joystick settings. Run GYRSETUP again."},
};

void PrintTo(const ReadBackCase& c, std::ostream* out) { *out << c.name; }

class ReadBackTable : public WholeRun,
                      public ::testing::WithParamInterface<std::tuple<ReadBackCase, bool>> {};

TEST_P(ReadBackTable, NamesWhatWindowsDidNotKeep) {
    const ReadBackCase& c = std::get<0>(GetParam());
    const std::string fixture = std::string(c.fixture);
    const bool own_fixture = std::ifstream(kAppFixtures + fixture).good();
    LoadMachine((own_fixture ? kAppFixtures : kFixtures) + fixture);
    SetRegistryTextsKeptAtTheirLength(std::get<1>(GetParam()));
    ASSERT_NO_FATAL_FAILURE(c.prepare());
    ControllerLine controller;
    if (c.controller_port != 0) {
        ASSERT_NO_FATAL_FAILURE(Attach(&controller, c.controller_port));
    }
    WindowingScript script;
    script.steps = c.steps;
    script.client_height = 40;
    script.fail_dialogs = c.dialog_fails;

    RunResult run = Run(script);

    EXPECT_EQ(run.exit_code, 0);
    const WindowingLog& log = GetWindowingLog();
    EXPECT_TRUE(log.problems.empty()) << log.problems.front();
    std::vector<int32_t> templates;
    for (const ShownDialog& dialog : log.dialogs) templates.push_back(dialog.template_id);
    EXPECT_EQ(templates, c.dialog_templates);
    if (c.check != nullptr) c.check();
    if (c.caption.empty()) {
        EXPECT_TRUE(log.message_boxes.empty());
    } else {
        ASSERT_EQ(log.message_boxes.size(), 1u);
        const ShownMessageBox& box = log.message_boxes[0];
        EXPECT_EQ(box.caption, c.caption);
        EXPECT_EQ(box.text, c.text);
        EXPECT_EQ(box.type, 0x30u);  // MB_OK | MB_ICONEXCLAMATION
        EXPECT_EQ(box.dialogs_before, static_cast<int32_t>(c.dialog_templates.size()));
    }
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ReadBackTable,
    ::testing::Combine(::testing::ValuesIn(kReadBackCases), ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_Windows9xTexts" : "_NtTexts");
    });

// Joystick 1's OEM configuration record and hardware record at each JDD_CONFIGCHANGED.
std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> joystick1_at_notices;

void RecordJoystickOneAtNotice(UINT message) {
    if (message != 0x903) return;
    joystick1_at_notices.emplace_back(
        ReadRegistryValue(kTypeSettingsKey, "Joystick1OEMConfiguration").bytes,
        ReadRegistryValue(kCurrentSettingsKey, "Joystick1Configuration").bytes);
}

// The driver reads joystick 1 when it is told; the port written into all sixteen slots after
// that notice does not reach it.
TEST_F(WholeRun, DriverIsLastToldOfJoystickOneOnThePortConfigured) {
    struct Case {
        const char* name;
        int32_t controller_port;
        std::vector<UserStep> steps;
        std::vector<uint8_t> record;
    };
    const Case cases[] = {
        {"controller found on COM3", 3, {kEnter}, kFullRangeRecord},
        {"COM3 picked from the list", 0, {Select(2), kClickOk}, kTenBitRecord},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();  // each case on a fresh machine, with no line attached
        LoadMachine(kFixtures + "machine_four_ports.reg");
        joystick1_at_notices.clear();
        SetJoystickDriverMessageObserver(RecordJoystickOneAtNotice);
        ControllerLine controller;
        if (c.controller_port != 0) {
            ASSERT_NO_FATAL_FAILURE(Attach(&controller, c.controller_port));
        }
        WindowingScript script;
        script.steps = c.steps;

        Run(script);

        ASSERT_FALSE(joystick1_at_notices.empty());
        EXPECT_EQ(joystick1_at_notices.back().first, OemConfigForPort('3'));
        EXPECT_EQ(joystick1_at_notices.back().second, c.record);
    }
}

// Where the keys are there but a part of the install did not take, the read-back says so.
TEST_F(WholeRun, TypeThatCouldNotBeRegisteredIsNotReportedInstalled) {
    LoadMachine(kFixtures + "machine_four_ports.reg");
    RefuseRegistryOpens(joycfg_test::kOemTypes);
    ControllerLine controller;
    ASSERT_NO_FATAL_FAILURE(Attach(&controller, 2));
    WindowingScript script;
    script.steps = {kEnter};

    Run(script);

    const WindowingLog& log = GetWindowingLog();
    EXPECT_TRUE(log.dialogs.empty());
    ASSERT_EQ(log.message_boxes.size(), 1u);
    EXPECT_EQ(log.message_boxes[0].caption, "Gyrelle Detection");
    // The rest of the install still went through, the port into every slot included.
    ExpectValue(kTypeSettingsKey, "Joystick16OEMConfiguration", REG_BINARY, OemConfigForPort('2'));
}

// Each slot's OEM configuration record at the moment the result dialog ended.
std::vector<std::vector<uint8_t>> records_at_dialog_end;
size_t trace_at_dialog_end = 0;

void RecordAtDialogEnd(int32_t template_id) {
    if (template_id != 111) return;
    records_at_dialog_end.clear();
    for (int joystick = 1; joystick <= 16; ++joystick) {
        records_at_dialog_end.push_back(
            ReadRegistryValue(kTypeSettingsKey, "Joystick" + std::to_string(joystick) +
                                                    "OEMConfiguration").bytes);
    }
    trace_at_dialog_end = RegistryCalls().size();
}

// The port goes into all sixteen slots once the user has pressed OK, not before.
TEST_F(WholeRun, PortReachesAllSlotsAfterTheResultDialogsOk) {
    LoadMachine(kFixtures + "machine_four_ports.reg");
    ControllerLine controller;
    ASSERT_NO_FATAL_FAILURE(Attach(&controller, 3));
    records_at_dialog_end.clear();
    WindowingScript script;
    script.steps = {kClickOk};
    script.on_dialog_end = RecordAtDialogEnd;

    Run(script);

    // Joystick 1 names COM3 from its own configuration; the others still the seeded COM1.
    std::vector<std::vector<uint8_t>> expected(16, OemConfigForPort('1'));
    expected[0] = OemConfigForPort('3');
    EXPECT_EQ(records_at_dialog_end, expected);
    std::vector<std::string> writes_after;
    const std::vector<RegistryCall>& calls = RegistryCalls();
    for (size_t i = trace_at_dialog_end; i < calls.size(); ++i) {
        if (calls[i].kind == RegistryCall::kSet) writes_after.push_back(calls[i].value_name);
    }
    std::vector<std::string> expected_writes;
    for (int joystick = 1; joystick <= 16; ++joystick) {
        expected_writes.push_back("Joystick" + std::to_string(joystick) + "OEMConfiguration");
    }
    EXPECT_EQ(writes_after, expected_writes);
    ExpectInstalledRegistry(kFullRangeRecord, '3');
}

TEST_F(WholeRun, ControllerOnPortTwoAfterSilentPortOne) {
    LoadMachine(kFixtures + "machine_two_ports.reg");
    ControllerLine silent;
    ControllerLine controller;
    ASSERT_TRUE(silent.Start(/*silent=*/true)) << silent.error();
    ASSERT_TRUE(controller.Start()) << controller.error();
    ASSERT_EQ(SetSerialDevicePath("COM1", silent.device_path().c_str()), 1);
    ASSERT_EQ(SetSerialDevicePath("COM2", controller.device_path().c_str()), 1);
    WindowingScript script;
    script.steps = {kClickOk};

    RunResult run = Run(script);

    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.opened_ports, (std::vector<std::string>{"COM1", "COM2"}));
    ASSERT_EQ(GetWindowingLog().dialogs.size(), 1u);
    EXPECT_EQ(GetWindowingLog().dialogs[0].template_id, 111);
    EXPECT_EQ(JoystickBroadcastCount(), 1 + 2 + 2);
    ExpectInstalledRegistry(kFullRangeRecord, '2');
    ExpectNothingLeftOpen();
    // The port that answered was closed again; the silent one stays open until the end.
    EXPECT_TRUE(controller.IsFree());
    EXPECT_FALSE(silent.IsFree());
}

TEST_F(WholeRun, MainWindowIsTheZeroSizeOverlappedWindowOfTheInstallerClass) {
    LoadMachine(kFixtures + "machine_no_ports.reg");
    WindowingScript script;
    script.steps = {kClickOk};

    RunResult run = Run(script, SW_SHOWDEFAULT);

    EXPECT_EQ(run.exit_code, 0);
    const WindowingLog& log = GetWindowingLog();
    ASSERT_EQ(log.registered_classes.size(), 1u);
    const WNDCLASSA& window_class = log.registered_classes[0];
    EXPECT_EQ(window_class.style, 0x0003u);  // CS_HREDRAW | CS_VREDRAW
    EXPECT_EQ(window_class.lpfnWndProc, &MainWindowProc);
    EXPECT_EQ(window_class.cbClsExtra, 0);
    EXPECT_EQ(window_class.cbWndExtra, 0);
    EXPECT_EQ(window_class.hInstance, kInstance);
    EXPECT_EQ(window_class.hIcon, StandInSystemIcon(106));
    EXPECT_EQ(window_class.hCursor, StandInSystemCursor(32512));
    EXPECT_EQ(window_class.hbrBackground, reinterpret_cast<HBRUSH>(GetStockObject(0)));
    EXPECT_EQ(window_class.lpszMenuName, nullptr);
    EXPECT_STREQ(window_class.lpszClassName, "Tessaline Joystick Test Program");

    ASSERT_EQ(log.created_windows.size(), 1u);
    const CreatedWindow& window = log.created_windows[0];
    EXPECT_EQ(window.class_name, "Tessaline Joystick Test Program");
    EXPECT_EQ(window.title, "Gyrelle Detection Program");
    EXPECT_EQ(window.ex_style, 0u);
    EXPECT_EQ(window.style, 0x00CF0000u);  // overlapped window, not yet visible
    EXPECT_EQ(window.x, static_cast<int>(0x80000000));
    EXPECT_EQ(window.y, static_cast<int>(0x80000000));
    EXPECT_EQ(window.width, 0);
    EXPECT_EQ(window.height, 0);
    EXPECT_EQ(window.parent, nullptr);
    EXPECT_EQ(window.menu, nullptr);
    EXPECT_EQ(window.instance, kInstance);
    EXPECT_EQ(window.param, nullptr);
    EXPECT_EQ(log.show_commands, (std::vector<int>{SW_SHOWDEFAULT}));
}

// The program must end by itself whatever the window manager does with its window.
struct ExitCase {
    const char* name;
    int32_t client_width;
    int32_t client_height;
    int show_command;
    bool destroy_before_first_paint;
    int32_t paints;
};

const ExitCase kExitCases[] = {
    {"FirstPaint", 108, 40, SW_SHOWNORMAL, false, 1},
    {"EmptyClientArea", 108, 0, SW_SHOWNORMAL, false, 0},
    {"NoClientAreaAtAll", 0, 0, SW_SHOWNORMAL, false, 0},
    {"StartedHidden", 108, 40, SW_HIDE, false, 0},
    {"DestroyedBeforeFirstPaint", 108, 40, SW_SHOWNORMAL, true, 0},
    {"DestroyedWithEmptyClientArea", 108, 0, SW_SHOWNORMAL, true, 0},
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

class ExitTable : public WholeRun, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitTable, EndsWithExitCodeZero) {
    const ExitCase& c = GetParam();
    LoadMachine(kFixtures + "machine_no_ports.reg");
    WindowingScript script;
    script.steps = {kClickOk};
    script.client_width = c.client_width;
    script.client_height = c.client_height;
    script.destroy_before_first_paint = c.destroy_before_first_paint;

    RunResult run = Run(script, c.show_command);

    EXPECT_EQ(run.exit_code, 0);
    const WindowingLog& log = GetWindowingLog();
    EXPECT_TRUE(log.problems.empty()) << log.problems.front();
    EXPECT_EQ(log.paints_dispatched, c.paints);
    bool destroyed = std::find(log.main_window_messages.begin(), log.main_window_messages.end(),
                               0x0002u) != log.main_window_messages.end();
    EXPECT_EQ(destroyed, c.destroy_before_first_paint);
    ASSERT_EQ(log.dialogs.size(), 1u);
    EXPECT_TRUE(log.dialogs[0].ended);
}

INSTANTIATE_TEST_SUITE_P(Exits, ExitTable, ::testing::ValuesIn(kExitCases),
                         [](const auto& info) { return std::string(info.param.name); });

// An early end says why on standard output, the log that a Wine run keeps.
TEST_F(WholeRun, EarlyEndsSayWhyAndExitNonZero) {
    struct Case {
        const char* name;
        bool fail_register_class;
        bool fail_create_window;
        bool fail_get_message;
        std::string line;
    };
    const Case cases[] = {
        {"class not registered", true, false, false,
         "WinMain: the main window could not be created; exit code 1\n"},
        {"window refused", false, true, false,
         "WinMain: the main window could not be created; exit code 1\n"},
        {"message loop fails", false, false, true,
         "WinMain: GetMessage failed before the quit message; exit code 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadMachine(kFixtures + "machine_no_ports.reg");
        ResetJoystickDriver();
        std::string before = ExportRegistryText();
        WindowingScript script;
        script.steps = {kClickOk};
        script.fail_register_class = c.fail_register_class;
        script.fail_create_window = c.fail_create_window;
        script.fail_get_message = c.fail_get_message;

        ::testing::internal::CaptureStdout();
        RunResult run = Run(script);
        const std::string output = ::testing::internal::GetCapturedStdout();

        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(output, c.line);
        if (c.fail_get_message) {
            // The install ran inside the window's creation, before the loop.
            ASSERT_EQ(GetWindowingLog().dialogs.size(), 1u);
            ExpectInstalledRegistry(kTenBitRecord, '1');
        } else {
            EXPECT_TRUE(GetWindowingLog().dialogs.empty());
            EXPECT_EQ(ExportRegistryText(), before);
            EXPECT_EQ(JoystickBroadcastCount(), 0);
        }
    }
}

TEST_F(WholeRun, ClassAlreadyRegisteredStillServesTheWindow) {
    LoadMachine(kFixtures + "machine_no_ports.reg");
    WindowingScript script;
    script.steps = {kClickOk};
    ResetWindowing(script);
    WNDCLASSA earlier = {};
    earlier.lpfnWndProc = MainWindowProc;
    earlier.hInstance = kInstance;
    earlier.lpszClassName = "Tessaline Joystick Test Program";
    ASSERT_NE(RegisterClassA(&earlier), 0);

    DeviceLogRecorder recorder;
    char command_line[] = "";
    int exit_code = WinMain(kInstance, nullptr, command_line, SW_SHOWNORMAL);

    EXPECT_EQ(exit_code, 0);
    ASSERT_EQ(GetWindowingLog().dialogs.size(), 1u);
    ExpectInstalledRegistry(kTenBitRecord, '1');
}

TEST_F(WholeRun, ProbeOfUnnamedPortOpensNothing) {
    for (int32_t port : {0, -1, 7, 8, 100}) {
        SCOPED_TRACE(port);
        DeviceLogRecorder recorder;
        int32_t found = ProbePort(port);
        std::string output = recorder.Take();
        EXPECT_EQ(found, 0);
        EXPECT_EQ(output, "");
    }
}

}  // namespace
