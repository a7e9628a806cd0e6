#include "joycfg/joystick_records.h"

#include <gtest/gtest.h>

#include "joycfg_test_support.h"

namespace {

using namespace joycfg_test;

TEST(FillHwConfig, FillsTheTableFieldsAndLeavesTheRestZero) {
    uint8_t record[112];
    std::memset(record, 0, sizeof record);
    EXPECT_EQ(FillHwConfigFullRange(record), 1);
    EXPECT_EQ(std::vector<uint8_t>(record, record + 112), FullRangeRecord());

    std::memset(record, 0, sizeof record);
    EXPECT_EQ(FillHwConfigTenBit(record), 1);
    EXPECT_EQ(std::vector<uint8_t>(record, record + 112), TenBitRecord());
    // The centre is fixed at 512 beside 1023, not computed from it.
    EXPECT_EQ(std::vector<uint8_t>(record + 60, record + 64), Hex("00 02 00 00"));
}

TEST(DefaultOemConfig, IsTheTwentyEightDocumentedBytes) {
    EXPECT_EQ(std::vector<uint8_t>(kDefaultOemConfig, kDefaultOemConfig + 28), DefaultOemConfig());
}

TEST(SlotValueNames, CarryTheJoystickNumber) {
    char name[260];
    FormatSlotValueName(kConfigurationTemplate, 0, name);
    EXPECT_STREQ(name, "Joystick1Configuration");
    FormatSlotValueName(kOemConfigurationTemplate, 15, name);
    EXPECT_STREQ(name, "Joystick16OEMConfiguration");
    BuildTypeSettingsPath(name);
    EXPECT_STREQ(name, "JoystickSettings\\Tessaline");
}

class OpenJoystickDriverKeyTest : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(OpenRegistryKeyCount(), 0); }
};

TEST_F(OpenJoystickDriverKeyTest, OpensTheKeyNamedByTheDriver) {
    LoadMachine("machine_two_ports.reg");
    HKEY key = nullptr;
    ASSERT_EQ(OpenJoystickDriverKey(&key), 1);
    EXPECT_EQ(OpenRegistryKeyCount(), 1) << "only the driver key stays open";
    char name[260];
    ASSERT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "CurrentJoystickSettings");
    RegCloseKey(key);
}

TEST_F(OpenJoystickDriverKeyTest, FailsWithoutTouchingTheOutParameter) {
    const struct {
        const char* why;
        const char* fixture;
        bool driver_present;
        const char* reg_key;
    } cases[] = {
        {"no joystick driver", "machine_two_ports.reg", false, "DINPUT.DLL"},
        {"no driver key", "machine_no_driver.reg", true, "DINPUT.DLL"},
        {"driver names another key", "machine_two_ports.reg", true, "MSANALOG.VXD"},
        {"driver names no key at all", "machine_two_ports.reg", true, ""},
        {"no joystick root key", "census/empty.reg", true, "DINPUT.DLL"},
    };
    for (const auto& c : cases) {
        LoadMachine(c.fixture);
        SetJoystickDriverPresent(c.driver_present);
        SetJoystickDriverRegKey(c.reg_key);
        HKEY key = reinterpret_cast<HKEY>(0x77);
        EXPECT_EQ(OpenJoystickDriverKey(&key), 0) << c.why;
        EXPECT_EQ(key, reinterpret_cast<HKEY>(0x77)) << c.why;
        EXPECT_EQ(OpenRegistryKeyCount(), 0) << c.why;
    }
}

TEST_F(OpenJoystickDriverKeyTest, UnterminatedDriverNameIsReadAsItsThirtyTwoCharacters) {
    const std::string long_name(32, 'K');
    LoadMachineText("REGEDIT4\n\n" + KeyLine(kJoystickRoot + "\\" + long_name));
    SetJoystickDriverRegKey(long_name, true);
    HKEY key = nullptr;
    ASSERT_EQ(OpenJoystickDriverKey(&key), 1);
    RegCloseKey(key);
}

// What decides between "the joystick driver is not set up" and "Windows did not keep the
// joystick settings".
TEST_F(OpenJoystickDriverKeyTest, DriverKeysAreThereOnlyWhenEachOpens) {
    const struct {
        const char* why;
        const char* fixture;
        bool driver_present;
        const char* reg_key;
        std::string unopenable;  // a key RegOpenKeyA refuses
        int32_t result;
    } cases[] = {
        {"all there", "machine_two_ports.reg", true, "DINPUT.DLL", "", 1},
        {"no joystick driver", "machine_two_ports.reg", false, "DINPUT.DLL", "", 0},
        {"driver names no key", "machine_two_ports.reg", true, "", "", 0},
        {"no driver key", "machine_no_driver.reg", true, "DINPUT.DLL", "", 0},
        {"joystick root refused", "machine_two_ports.reg", true, "DINPUT.DLL", kJoystickRoot, 0},
        {"driver key refused", "machine_two_ports.reg", true, "DINPUT.DLL", kDriverKey, 0},
        {"current settings refused", "machine_two_ports.reg", true, "DINPUT.DLL",
         kCurrentSettings, 0},
        {"OEM types key refused", "machine_two_ports.reg", true, "DINPUT.DLL", kOemTypes, 0},
        // Only the keys the driver's setup leaves count, not the ones the install makes.
        {"type settings refused", "machine_two_ports.reg", true, "DINPUT.DLL", kTypeSettings, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        LoadMachine(c.fixture);
        SetJoystickDriverPresent(c.driver_present);
        SetJoystickDriverRegKey(c.reg_key);
        if (!c.unopenable.empty()) RefuseRegistryOpens(c.unopenable);
        const std::string before = ExportRegistryText();
        const int32_t flushes = RegistryFlushCount();
        EXPECT_EQ(CheckJoystickDriverKeys(), c.result);
        EXPECT_EQ(OpenRegistryKeyCount(), 0);
        EXPECT_EQ(ExportRegistryText(), before);
        EXPECT_EQ(RegistryFlushCount(), flushes);
    }
    LoadMachineText("REGEDIT4\n\n" + KeyLine(kCurrentSettings));
    EXPECT_EQ(CheckJoystickDriverKeys(), 0) << "no OEM types key";
}

}  // namespace
