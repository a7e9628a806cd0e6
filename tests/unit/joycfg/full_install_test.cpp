// The registry that the install leaves behind, from a machine with its joystick driver.
#include <gtest/gtest.h>

#include <string>

#include "joycfg/driver_notification.h"
#include "joycfg/oem_type.h"
#include "joycfg/slot_config.h"
#include "joycfg_test_support.h"
#include "ports/port_census.h"

namespace {

using namespace joycfg_test;

// The install's own order: register the type, seed all slots, clear and notify, probe
// (nothing answers here), reset, configure joystick 1 for the port, then every slot.
void RunInstall(int32_t port) {
    RegisterOemType();
    for (int32_t slot = 0; slot < 16; ++slot) InitSlotTypeSettings(slot);
    ClearSlotConfig(0);
    NotifyJoystickDriver();
    int32_t count = 0;
    CountSerialPorts(&count);
    for (int32_t probed = 1; probed <= count; ++probed) {
        ClearSlotConfig(0);
        NotifyJoystickDriver();
    }
    ResetSlotOemConfig(0);
    ConfigureSlotFullRange(0, port, "XYZRUV");
    for (int32_t slot = 0; slot < 16; ++slot) SetSlotPort(slot, port);
}

TEST(FullInstall, LeavesEverySlotTheCurrentSettingsAndTheOemTypeByteForByte) {
    LoadMachine("machine_two_ports.reg");
    RunInstall(2);
    EXPECT_EQ(OpenRegistryKeyCount(), 0);
    EXPECT_EQ(OpenJoystickDriverCount(), 0);

    for (int joystick = 1; joystick <= 16; ++joystick) {
        const std::string prefix = "Joystick" + std::to_string(joystick);
        ExpectValue(kTypeSettings, prefix + "Configuration", REG_BINARY, FullRangeRecord());
        ExpectValue(kTypeSettings, prefix + "OEMConfiguration", REG_BINARY,
                    Hex("D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 32 00 58 59 5A 52 55 56 00"));
    }
    EXPECT_EQ(RegistryValueNames(kTypeSettings).size(), 32u);
    ExpectValue(kCurrentSettings, "Joystick1Configuration", REG_BINARY, FullRangeRecord());
    ExpectValue(kCurrentSettings, "Joystick1OEMName", REG_SZ, TextField("Tessaline", 260));
    ExpectValue(kCurrentSettings, "Joystick1OEMCallout", REG_SZ, TextField("tesln.vxd", 260));
    EXPECT_EQ(RegistryValueNames(kCurrentSettings).size(), 3u);
    ExpectValue(kOemType, "OEMDATA", REG_BINARY, FullRangeRecord());
    EXPECT_EQ(RegistryValueNames(kOemType).size(), 22u);

    // Start-up, four probes (the census counts 4 here) and two in the configuration.
    EXPECT_EQ(JoystickBroadcastCount(), 1 + 4 + 2);
    EXPECT_EQ(JoystickDriverMessageCodes().size(), 2u * (1 + 4 + 2));

    // A second run over the result gives the same registry.
    const std::string first = ExportRegistryText();
    RunInstall(2);
    EXPECT_EQ(ExportRegistryText(), first);
}

TEST(FullInstall, WithoutTheDriverTouchesOnlyWhatItCan) {
    LoadMachine("machine_no_driver.reg");
    SetJoystickDriverPresent(false);
    const std::string before = ExportRegistryText();
    RunInstall(1);
    EXPECT_EQ(ExportRegistryText(), before);
    EXPECT_TRUE(JoystickDriverCalls().empty());
    EXPECT_EQ(OpenRegistryKeyCount(), 0);
}

}  // namespace
