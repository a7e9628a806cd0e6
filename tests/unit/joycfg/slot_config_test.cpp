#include "joycfg/slot_config.h"

#include <gtest/gtest.h>

#include <functional>

#include "joycfg/driver_notification.h"
#include "joycfg_test_support.h"

namespace {

using namespace joycfg_test;

class SlotConfigTest : public testing::Test {
protected:
    void SetUp() override { LoadMachine("machine_two_ports.reg"); }
    void TearDown() override { EXPECT_EQ(OpenRegistryKeyCount(), 0); }

    // The type settings of slot 0 seeded, nothing else written yet.
    void Seed() {
        ASSERT_EQ(InitSlotTypeSettings(0), 1);
        ClearJoystickDriverCalls();
    }
    // Slot 0's OEM configuration record replaced by raw bytes.
    void StoreOemConfig(const std::vector<uint8_t>& bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kTypeSettings.c_str(), &key), ERROR_SUCCESS);
        RegSetValueExA(key, "Joystick1OEMConfiguration", 0, REG_BINARY, bytes.data(),
                       static_cast<DWORD>(bytes.size()));
        RegCloseKey(key);
    }
};

TEST_F(SlotConfigTest, ClearBlanksTheCurrentSettingsWithFullSizes) {
    EXPECT_EQ(ClearSlotConfig(0), 1);
    ExpectValue(kCurrentSettings, "Joystick1Configuration", REG_BINARY, std::vector<uint8_t>(112, 0));
    ExpectValue(kCurrentSettings, "Joystick1OEMName", REG_SZ, std::vector<uint8_t>(260, 0));
    ExpectValue(kCurrentSettings, "Joystick1OEMCallout", REG_SZ, std::vector<uint8_t>(260, 0));
    EXPECT_EQ(RegistryFlushCount(), 1);

    EXPECT_EQ(ClearSlotConfig(15), 1);
    EXPECT_TRUE(ReadRegistryValue(kCurrentSettings, "Joystick16OEMCallout").found);
}

// The writers that follow keep stored lengths, so the clear must store the full sizes
// whatever was there before.
TEST_F(SlotConfigTest, ClearStoresFullSizesOverShorterValues) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kCurrentSettings.c_str(), &key), ERROR_SUCCESS);
    const std::vector<uint8_t> short_record(50, 0xAA);
    const std::vector<uint8_t> short_name = TextField("Tessaline", 10);
    RegSetValueExA(key, "Joystick1Configuration", 0, REG_BINARY, short_record.data(), 50);
    RegSetValueExA(key, "Joystick1OEMName", 0, REG_SZ, short_name.data(), 10);
    RegSetValueExA(key, "Joystick1OEMCallout", 0, REG_SZ, short_name.data(), 10);
    RegCloseKey(key);

    EXPECT_EQ(ClearSlotConfig(0), 1);
    ExpectValue(kCurrentSettings, "Joystick1Configuration", REG_BINARY, std::vector<uint8_t>(112, 0));
    ExpectValue(kCurrentSettings, "Joystick1OEMName", REG_SZ, std::vector<uint8_t>(260, 0));
    ExpectValue(kCurrentSettings, "Joystick1OEMCallout", REG_SZ, std::vector<uint8_t>(260, 0));

    EXPECT_EQ(WriteSlotConfigTenBit(0), 1);
    ExpectValue(kCurrentSettings, "Joystick1OEMName", REG_SZ, TextField("Tessaline", 260));
}

TEST_F(SlotConfigTest, WritersStoreTheirRecordTypeNameAndCallout) {
    const struct {
        const char* name;
        std::function<int32_t(int32_t)> write;
        std::vector<uint8_t> record;
    } cases[] = {
        {"ten-bit", WriteSlotConfigTenBit, TenBitRecord()},
        {"full-range", WriteSlotConfigFullRange, FullRangeRecord()},
    };
    for (const auto& c : cases) {
        LoadMachine("machine_two_ports.reg");
        ASSERT_EQ(ClearSlotConfig(2), 1);
        EXPECT_EQ(c.write(2), 1) << c.name;
        ExpectValue(kCurrentSettings, "Joystick3Configuration", REG_BINARY, c.record);
        ExpectValue(kCurrentSettings, "Joystick3OEMName", REG_SZ, TextField("Tessaline", 260));
        ExpectValue(kCurrentSettings, "Joystick3OEMCallout", REG_SZ, TextField("tesln.vxd", 260));
        EXPECT_EQ(RegistryFlushCount(), 2) << c.name;
    }
}

TEST_F(SlotConfigTest, InitCreatesTheTypeSettingsKeyAndSeedsTheSlot) {
    EXPECT_FALSE(RegistryKeyExists(kDriverKey + "\\JoystickSettings"));
    EXPECT_EQ(InitSlotTypeSettings(15), 1);
    ExpectValue(kTypeSettings, "Joystick16Configuration", REG_BINARY, FullRangeRecord());
    ExpectValue(kTypeSettings, "Joystick16OEMConfiguration", REG_BINARY, DefaultOemConfig());
    EXPECT_EQ(RegistrySubkeyNames(kDriverKey),
              (std::vector<std::string>{"CurrentJoystickSettings", "JoystickSettings"}));
    EXPECT_EQ(RegistryFlushCount(), 1);
}

// Each operation on machines that lack a part of the joystick driver's registry. A result
// of 1 is left out where the operation can work there.
struct MissingPartCase {
    const char* operation;
    std::function<int32_t()> run;
    int32_t no_driver;
    int32_t no_driver_key;
    int32_t no_current_settings;
    int32_t no_type_settings;
};

TEST_F(SlotConfigTest, MissingDriverOrKeysEndTheOperationWithNothingWritten) {
    const MissingPartCase cases[] = {
        {"ClearSlotConfig", [] { return ClearSlotConfig(0); }, -1, -1, 0, 1},
        {"WriteSlotConfigTenBit", [] { return WriteSlotConfigTenBit(0); }, 0, 0, 0, 1},
        {"WriteSlotConfigFullRange", [] { return WriteSlotConfigFullRange(0); }, 0, 0, 0, 1},
        {"InitSlotTypeSettings", [] { return InitSlotTypeSettings(0); }, 0, 0, 1, 1},
        {"ResetSlotOemConfig", [] { return ResetSlotOemConfig(0); }, 0, 0, 0, 0},
        {"SetSlotPort", [] { return SetSlotPort(0, 3); }, 0, 0, 0, 0},
        {"SetSlotAxes", [] { return SetSlotAxes(0, "XYZRUV"); }, 0, 0, 0, 0},
        {"GetSlotPort", [] { int32_t port = 0; return GetSlotPort(0, &port); }, 0, 0, 0, 0},
    };
    const std::string no_current_settings = "REGEDIT4\n\n" + KeyLine(kDriverKey);
    for (const MissingPartCase& c : cases) {
        const struct {
            const char* setup;
            int32_t expected;
        } setups[] = {{"no driver", c.no_driver},
                      {"no driver key", c.no_driver_key},
                      {"no current settings", c.no_current_settings},
                      {"no type settings", c.no_type_settings}};
        for (const auto& s : setups) {
            const std::string setup = s.setup;
            if (setup == "no driver key") {
                LoadMachine("machine_no_driver.reg");
            } else if (setup == "no current settings") {
                LoadMachineText(no_current_settings);
            } else {
                LoadMachine("machine_two_ports.reg");
            }
            if (setup == "no driver") SetJoystickDriverPresent(false);
            const std::string before = ExportRegistryText();
            EXPECT_EQ(c.run(), s.expected) << c.operation << ", " << s.setup;
            if (s.expected != 1) {
                EXPECT_EQ(ExportRegistryText(), before) << c.operation << ", " << s.setup;
                EXPECT_EQ(RegistryFlushCount(), 0) << c.operation << ", " << s.setup;
            }
            EXPECT_EQ(OpenRegistryKeyCount(), 0) << c.operation << ", " << s.setup;
            EXPECT_TRUE(JoystickDriverMessageCodes().empty()) << c.operation;
        }
    }
}

TEST_F(SlotConfigTest, SlotsOutsideTheSixteenAreRefused) {
    Seed();
    const std::string before = ExportRegistryText();
    for (int32_t slot : {-1, 16, 0x7fffffff}) {
        int32_t port = 9;
        EXPECT_EQ(ClearSlotConfig(slot), 0) << slot;
        EXPECT_EQ(WriteSlotConfigTenBit(slot), 0) << slot;
        EXPECT_EQ(WriteSlotConfigFullRange(slot), 0) << slot;
        EXPECT_EQ(InitSlotTypeSettings(slot), 0) << slot;
        EXPECT_EQ(ResetSlotOemConfig(slot), 0) << slot;
        EXPECT_EQ(SetSlotPort(slot, 2), 0) << slot;
        EXPECT_EQ(SetSlotAxes(slot, "XYZ"), 0) << slot;
        EXPECT_EQ(GetSlotPort(slot, &port), 0) << slot;
        EXPECT_EQ(port, 9);
    }
    EXPECT_EQ(ExportRegistryText(), before);
}

// The stored length decides the written length, within the bounds of what is written.
TEST_F(SlotConfigTest, LengthRuleKeepsTheStoredLengthOnlyWhereNothingIsCutOrOverread) {
    const struct {
        const char* why;
        int stored_name_length;  // -1: no value stored
        std::vector<uint8_t> written_name;
    } cases[] = {
        {"no value: full size", -1, TextField("Tessaline", 260)},
        {"full size", 260, TextField("Tessaline", 260)},
        {"exactly the name and its NUL", 10, TextField("Tessaline", 10)},
        {"the name without its NUL: full size", 9, TextField("Tessaline", 260)},
        {"between name and full size", 20, TextField("Tessaline", 20)},
        {"shorter than the name: full size", 5, TextField("Tessaline", 260)},
        {"empty value: full size", 0, TextField("Tessaline", 260)},
        {"longer than the buffer: full size", 300, TextField("Tessaline", 260)},
    };
    for (const auto& c : cases) {
        LoadMachine("machine_two_ports.reg");
        if (c.stored_name_length >= 0) {
            HKEY key = nullptr;
            ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kCurrentSettings.c_str(), &key), ERROR_SUCCESS);
            const std::vector<uint8_t> filler(static_cast<size_t>(c.stored_name_length), 'x');
            RegSetValueExA(key, "Joystick1OEMName", 0, REG_SZ, filler.data(),
                           static_cast<DWORD>(filler.size()));
            RegCloseKey(key);
        }
        EXPECT_EQ(WriteSlotConfigTenBit(0), 1) << c.why;
        ExpectValue(kCurrentSettings, "Joystick1OEMName", REG_SZ, c.written_name);
    }
}

TEST_F(SlotConfigTest, LengthRuleNeverCutsOrOverrunsTheHardwareRecord) {
    for (int stored : {0, 50, 111, 113, 400}) {
        LoadMachine("machine_two_ports.reg");
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kCurrentSettings.c_str(), &key), ERROR_SUCCESS);
        const std::vector<uint8_t> filler(static_cast<size_t>(stored), 0xAA);
        RegSetValueExA(key, "Joystick1Configuration", 0, REG_BINARY, filler.data(),
                       static_cast<DWORD>(filler.size()));
        RegCloseKey(key);
        EXPECT_EQ(WriteSlotConfigFullRange(0), 1) << stored;
        ExpectValue(kCurrentSettings, "Joystick1Configuration", REG_BINARY, FullRangeRecord());
    }
}

TEST_F(SlotConfigTest, FailingWriteStopsAtOnceWithoutFlushing) {
    RefuseRegistryWrites(kCurrentSettings, "Joystick1OEMName");
    EXPECT_EQ(WriteSlotConfigTenBit(0), 0);
    ExpectValue(kCurrentSettings, "Joystick1Configuration", REG_BINARY, TenBitRecord());
    EXPECT_FALSE(ReadRegistryValue(kCurrentSettings, "Joystick1OEMCallout").found);
    EXPECT_EQ(RegistryFlushCount(), 0);

    // ClearSlotConfig does not look at its writes.
    EXPECT_EQ(ClearSlotConfig(0), 1);
    ExpectValue(kCurrentSettings, "Joystick1OEMCallout", REG_SZ, std::vector<uint8_t>(260, 0));
}

TEST_F(SlotConfigTest, FailingTypeSettingsWritesEndWithZero) {
    const struct {
        const char* why;
        bool seeded;  // InitSlotTypeSettings ran before the refusal
        const char* refused_value;  // empty: the whole key
        std::function<int32_t()> run;
    } cases[] = {
        {"type settings key cannot be created", false, "", [] { return InitSlotTypeSettings(0); }},
        {"record refused", false, "Joystick1Configuration", [] { return InitSlotTypeSettings(0); }},
        {"OEM record refused", false, "Joystick1OEMConfiguration", [] { return InitSlotTypeSettings(0); }},
        {"reset refused", true, "Joystick1OEMConfiguration", [] { return ResetSlotOemConfig(0); }},
        {"port refused", true, "Joystick1OEMConfiguration", [] { return SetSlotPort(0, 2); }},
        {"axes refused", true, "Joystick1OEMConfiguration", [] { return SetSlotAxes(0, "XY"); }},
    };
    for (const auto& c : cases) {
        LoadMachine("machine_two_ports.reg");
        if (c.seeded) {
            ASSERT_EQ(InitSlotTypeSettings(0), 1);
        }
        const int32_t flushes = RegistryFlushCount();
        RefuseRegistryWrites(kTypeSettings, c.refused_value);
        EXPECT_EQ(c.run(), 0) << c.why;
        EXPECT_EQ(RegistryFlushCount(), flushes) << c.why;
        EXPECT_EQ(OpenRegistryKeyCount(), 0) << c.why;
    }
}

TEST_F(SlotConfigTest, ValuesWrittenBeforeAFailingWriteStay) {
    RefuseRegistryWrites(kTypeSettings, "Joystick1OEMConfiguration");
    EXPECT_EQ(InitSlotTypeSettings(0), 0);
    ExpectValue(kTypeSettings, "Joystick1Configuration", REG_BINARY, FullRangeRecord());
    EXPECT_FALSE(ReadRegistryValue(kTypeSettings, "Joystick1OEMConfiguration").found);
}

TEST_F(SlotConfigTest, SetSlotPortChangesOnlyThePortName) {
    Seed();
    EXPECT_EQ(SetSlotPort(0, 3), 1);
    ExpectValue(kTypeSettings, "Joystick1OEMConfiguration", REG_BINARY,
                Hex("D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 33 00 58 59 5A 52 55 56 00"));
    int32_t port = 0;
    EXPECT_EQ(GetSlotPort(0, &port), 1);
    EXPECT_EQ(port, 3);

    for (int32_t bad : {0, 7, -1}) {
        const std::string before = ExportRegistryText();
        EXPECT_EQ(SetSlotPort(0, bad), 0) << bad;
        EXPECT_EQ(ExportRegistryText(), before) << bad;
    }
}

TEST_F(SlotConfigTest, GetSlotPortReadsEachOfTheSixNamesAndNoSeventh) {
    const struct {
        const char* port_field;  // bytes 16 to 20
        int32_t port;            // 42: left as it was
    } cases[] = {
        {"43 4F 4D 31 00", 1}, {"43 4F 4D 32 00", 2}, {"43 4F 4D 33 00", 3},
        {"43 4F 4D 34 00", 4}, {"43 4F 4D 35 00", 5}, {"43 4F 4D 36 00", 6},
        {"43 4F 4D 37 00", 42},
    };
    Seed();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port_field);
        std::vector<uint8_t> record = DefaultOemConfig();
        const std::vector<uint8_t> field = Hex(c.port_field);
        std::copy(field.begin(), field.end(), record.begin() + 16);
        StoreOemConfig(record);
        int32_t port = 42;
        EXPECT_EQ(GetSlotPort(0, &port), 1);
        EXPECT_EQ(port, c.port);
    }
}

TEST_F(SlotConfigTest, GetSlotPortLeavesThePortWhenNoNameMatches) {
    const struct {
        const char* why;
        const char* port_field;  // bytes 16 to 20
    } cases[] = {
        {"COM7", "43 4F 4D 37 00"},
        {"lower case", "63 6F 6D 32 00"},
        {"no terminator", "43 4F 4D 32 20"},
        {"empty", "00 00 00 00 00"},
    };
    Seed();
    for (const auto& c : cases) {
        std::vector<uint8_t> record = DefaultOemConfig();
        const std::vector<uint8_t> field = Hex(c.port_field);
        std::copy(field.begin(), field.end(), record.begin() + 16);
        StoreOemConfig(record);
        int32_t port = 42;
        EXPECT_EQ(GetSlotPort(0, &port), 1) << c.why;
        EXPECT_EQ(port, 42) << c.why;
    }
    EXPECT_EQ(GetSlotPort(0, nullptr), 0);
}

std::vector<uint8_t> Head(std::vector<uint8_t> bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

// What the install reads back before it tells the user "installed": what it wrote last to
// joystick 1, here the ten-bit configuration for COM4, and nothing else.
TEST_F(SlotConfigTest, CheckSlotInstalledWantsWhatWasWrittenLast) {
    const struct {
        const char* why;
        std::vector<uint8_t> oem_name;  // empty: the configure sequence's own
        std::vector<uint8_t> record;    // empty: the configure sequence's own
        const char* port_field;         // bytes 16 to 20 of the OEM record
        int32_t port;                   // asked for
        bool ten_bit;                   // asked for
        int32_t result;
        std::vector<uint8_t> oem_callout = {};  // empty: the configure sequence's own
    } cases[] = {
        {"configured for COM4", {}, {}, "43 4F 4D 34 00", 4, true, 1},
        {"callout kept at its length plus one", {}, {}, "43 4F 4D 34 00", 4, true, 1,
         TextField("tesln.vxd", 10)},
        {"callout blank", {}, {}, "43 4F 4D 34 00", 4, true, 0, TextField("", 260)},
        {"another callout", {}, {}, "43 4F 4D 34 00", 4, true, 0, TextField("tesln.vxe", 260)},
        {"callout without its NUL", {}, {}, "43 4F 4D 34 00", 4, true, 0, TextField("tesln.vxd", 9)},
        // An earlier install on a lower port is no more this run's than one on a higher.
        {"a lower port than asked", {}, {}, "43 4F 4D 31 00", 4, true, 0},
        {"name kept at its length plus one", TextField("Tessaline", 10), {}, "43 4F 4D 34 00", 4,
         true, 1},
        {"name blank", TextField("", 260), {}, "43 4F 4D 34 00", 4, true, 0},
        {"another type", TextField("Tessaline2", 260), {}, "43 4F 4D 34 00", 4, true, 0},
        {"name cut short", TextField("Tessaline", 9), {}, "43 4F 4D 34 00", 4, true, 0},
        {"another port than asked", {}, {}, "43 4F 4D 34 00", 3, true, 0},
        {"no port named", {}, {}, "43 4F 4D 37 00", 4, true, 0},
        {"no port named, none asked", {}, {}, "43 4F 4D 37 00", 0, true, 0},
        {"full range asked, ten-bit stored", {}, {}, "43 4F 4D 34 00", 4, false, 0},
        {"full range stored and asked", {}, FullRangeRecord(), "43 4F 4D 34 00", 4, false, 1},
        {"record blank", {}, std::vector<uint8_t>(112, 0), "43 4F 4D 34 00", 4, true, 0},
        {"record cut short", {}, Head(TenBitRecord(), 111), "43 4F 4D 34 00", 4, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        LoadMachine("machine_two_ports.reg");
        Seed();
        ConfigureSlotTenBit(0, 4, "XYZRUV");
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kCurrentSettings.c_str(), &key), ERROR_SUCCESS);
        if (!c.oem_name.empty()) {
            RegSetValueExA(key, "Joystick1OEMName", 0, REG_SZ, c.oem_name.data(),
                           static_cast<DWORD>(c.oem_name.size()));
        }
        if (!c.record.empty()) {
            RegSetValueExA(key, "Joystick1Configuration", 0, REG_BINARY, c.record.data(),
                           static_cast<DWORD>(c.record.size()));
        }
        if (!c.oem_callout.empty()) {
            RegSetValueExA(key, "Joystick1OEMCallout", 0, REG_SZ, c.oem_callout.data(),
                           static_cast<DWORD>(c.oem_callout.size()));
        }
        RegCloseKey(key);
        std::vector<uint8_t> record = DefaultOemConfig();
        const std::vector<uint8_t> field = Hex(c.port_field);
        std::copy(field.begin(), field.end(), record.begin() + 16);
        StoreOemConfig(record);
        const std::string before = ExportRegistryText();
        const int32_t flushes = RegistryFlushCount();
        EXPECT_EQ(CheckSlotInstalled(0, c.port, c.ten_bit), c.result);
        EXPECT_EQ(ExportRegistryText(), before);
        EXPECT_EQ(RegistryFlushCount(), flushes);
    }
    for (const char* machine : {"machine_no_driver.reg", "machine_no_ports.reg"}) {
        LoadMachine(machine);
        EXPECT_EQ(CheckSlotInstalled(0, 1, false), 0) << machine;
    }
}

TEST_F(SlotConfigTest, RecordsOfTheWrongLengthAreLeftAlone) {
    const struct {
        const char* why;
        std::vector<uint8_t> stored;
    } cases[] = {
        {"29 bytes", Hex("D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 31 00 58 59 5A 52 55 56 00 77")},
        {"20 bytes", Hex("D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 31")},
        {"empty", {}},
    };
    for (const auto& c : cases) {
        // An earlier full read leaves COM5 in the working copy; none of it may be used now.
        LoadMachine("machine_two_ports.reg");
        Seed();
        ASSERT_EQ(SetSlotPort(0, 5), 1);
        int32_t port = 0;
        ASSERT_EQ(GetSlotPort(0, &port), 1);
        StoreOemConfig(c.stored);
        const std::string before = ExportRegistryText();
        port = 42;
        EXPECT_EQ(SetSlotPort(0, 2), 0) << c.why;
        EXPECT_EQ(SetSlotAxes(0, "XYZ"), 0) << c.why;
        EXPECT_EQ(GetSlotPort(0, &port), 0) << c.why;
        EXPECT_EQ(port, 42) << c.why;
        EXPECT_EQ(ExportRegistryText(), before) << c.why;
    }
}

TEST_F(SlotConfigTest, MissingRecordEndsThePortAndAxisOperations) {
    LoadMachineText("REGEDIT4\n\n" + KeyLine(kTypeSettings));
    int32_t port = 42;
    EXPECT_EQ(SetSlotPort(0, 2), 0);
    EXPECT_EQ(SetSlotAxes(0, "XYZ"), 0);
    EXPECT_EQ(GetSlotPort(0, &port), 0);
    EXPECT_EQ(port, 42);
    EXPECT_TRUE(RegistryValueNames(kTypeSettings).empty());
}

TEST_F(SlotConfigTest, SetSlotAxesWritesTheLettersAndTheirNulOnly) {
    const struct {
        const char* letters;
        int32_t result;
        const char* record;
    } cases[] = {
        {"XYZRUV", 1, "D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 31 00 58 59 5A 52 55 56 00"},
        {"XY", 1, "D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 31 00 58 59 00 52 55 56 00"},
        {"", 1, "D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 31 00 00 59 5A 52 55 56 00"},
        {"XYZRUVW", 0, "D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 31 00 58 59 5A 52 55 56 00"},
        {nullptr, 0, "D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 31 00 58 59 5A 52 55 56 00"},
    };
    for (const auto& c : cases) {
        LoadMachine("machine_two_ports.reg");
        Seed();
        const int32_t flushes = RegistryFlushCount();
        EXPECT_EQ(SetSlotAxes(0, c.letters), c.result) << (c.letters ? c.letters : "null");
        ExpectValue(kTypeSettings, "Joystick1OEMConfiguration", REG_BINARY, Hex(c.record));
        EXPECT_EQ(RegistryFlushCount(), flushes + c.result);
    }
}

TEST_F(SlotConfigTest, ResetRestoresTheDefaultRecord) {
    Seed();
    ASSERT_EQ(SetSlotPort(0, 6), 1);
    ASSERT_EQ(SetSlotAxes(0, "X"), 1);
    EXPECT_EQ(ResetSlotOemConfig(0), 1);
    ExpectValue(kTypeSettings, "Joystick1OEMConfiguration", REG_BINARY, DefaultOemConfig());
}

// Slot 0's OEM configuration record as the registry held it at each JDD_CONFIGCHANGED.
std::vector<std::vector<uint8_t>> oem_config_at_notice;

void RecordOemConfigAtNotice(UINT message) {
    if (message != 0x903) return;
    oem_config_at_notice.push_back(ReadRegistryValue(kTypeSettings, "Joystick1OEMConfiguration").bytes);
}

// The driver reads the configuration when it is told, so the second notice must come after
// the port and the axis letters were written, and the first before.
TEST_F(SlotConfigTest, DriverIsToldAfterThePortAndAxesAreWritten) {
    const struct {
        const char* name;
        int32_t (*configure)(int32_t, int32_t, const char*);
    } cases[] = {{"ten-bit", ConfigureSlotTenBit}, {"full-range", ConfigureSlotFullRange}};
    // The seeded record, then port "COM4" and the letters "RUV" with their NUL over "XYZR".
    const std::vector<uint8_t> before = DefaultOemConfig();
    const std::vector<uint8_t> after =
        Hex("D0 07 00 00 60 EA 00 00 FF FF FF FF FF FF FF FF 43 4F 4D 34 00 52 55 56 00 55 56 00");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoadMachine("machine_two_ports.reg");
        Seed();
        oem_config_at_notice.clear();
        SetJoystickDriverMessageObserver(RecordOemConfigAtNotice);
        EXPECT_EQ(c.configure(0, 4, "RUV"), 0);
        EXPECT_EQ(oem_config_at_notice, (std::vector<std::vector<uint8_t>>{before, after}));
    }
}

TEST_F(SlotConfigTest, SequencesNotifyTwiceAndAlwaysReturnZero) {
    const struct {
        const char* name;
        std::function<int32_t(int32_t, int32_t, const char*)> configure;
        std::vector<uint8_t> record;
    } cases[] = {
        {"ten-bit", ConfigureSlotTenBit, TenBitRecord()},
        {"full-range", ConfigureSlotFullRange, FullRangeRecord()},
    };
    for (const auto& c : cases) {
        LoadMachine("machine_two_ports.reg");
        Seed();
        EXPECT_EQ(c.configure(0, 4, "XYZRUV"), 0) << c.name;
        ExpectValue(kCurrentSettings, "Joystick1Configuration", REG_BINARY, c.record);
        ExpectValue(kCurrentSettings, "Joystick1OEMName", REG_SZ, TextField("Tessaline", 260));
        ExpectValue(kCurrentSettings, "Joystick1OEMCallout", REG_SZ, TextField("tesln.vxd", 260));
        ExpectValue(kTypeSettings, "Joystick1OEMConfiguration", REG_BINARY, OemConfigForPort('4'));
        EXPECT_EQ(JoystickDriverMessageCodes(), (std::vector<uint32_t>{0x903, 0x802, 0x903, 0x802}));
        EXPECT_EQ(JoystickBroadcastCount(), 2);
    }
    // Every step runs and the result stays 0 when all of them fail.
    LoadMachine("machine_no_driver.reg");
    SetJoystickDriverPresent(false);
    EXPECT_EQ(ConfigureSlotFullRange(0, 1, "XYZRUV"), 0);
    EXPECT_TRUE(JoystickDriverCalls().empty());
}

}  // namespace
