#include "joycfg/oem_type.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "joycfg_test_support.h"

namespace {

using namespace joycfg_test;

struct OemText {
    const char* name;
    const char* text;
};

const OemText kExpectedTexts[] = {
    {"OEMCALLOUT", "tesln.vxd"},
    {"OEMNAME", "Brennick Gyrelle"},
    {"OEMXYLabel", "L/R U/D"},
    {"OEMZLabel", "In/Out"},
    {"OEMRLabel", "Pitch"},
    {"OEMULabel", "Yaw"},
    {"OEMVLabel", "Roll"},
    {"OEMTestMoveDesc", "Test the Gyrelle"},
    {"OEMTestButtonDesc", "Only buttons A, B, C and D are shown"},
    {"OEMTestMoveCap", "Ball"},
    {"OEMTestButtonCap", "Buttons"},
    {"OEMTestWinCap", "Test Gyrelle"},
    {"OEMCalWinCap", "Gyrelle Calibration"},
    {"OEMCal1", "Let go of the ball and then press one of buttons A to D"},
    {"OEMCal2", "Push the ball to both extremes in both the X and Y directions and then press one of buttons A to D"},
    {"OEMCal3", "Again, let go of the ball and press one of buttons A to D"},
    {"OEMCal4", "Push and pull the ball to its extremes along the Z axis and then press one of buttons A to D"},
    {"OEMCal5", "Twist the ball as far as it will go in both directions around the X axis and then press one of buttons A to D"},
    {"OEMCal6", "Twist the ball as far as it will go in both directions around the Y axis and then press one of buttons A to D"},
    {"OEMCal7", "Twist the ball as far as it will go in both directions around the Z axis and then press one of buttons A to D"},
    {"OEMCal12", "You have calibrated your Gyrelle. To Test click Test.  To save your calibration settings, click Finish"},
};

class RegisterOemTypeTest : public testing::Test {
protected:
    void SetUp() override { LoadMachine("machine_two_ports.reg"); }
    void TearDown() override { EXPECT_EQ(OpenRegistryKeyCount(), 0); }

    void StoreOemValue(const char* name, DWORD type, const std::vector<uint8_t>& bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kOemType.c_str(), &key), ERROR_SUCCESS);
        RegSetValueExA(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
        RegCloseKey(key);
    }
};

TEST_F(RegisterOemTypeTest, WritesTheRecordAndTheTwentyOneTexts) {
    EXPECT_EQ(RegisterOemType(), 1);
    ExpectValue(kOemType, "OEMDATA", REG_BINARY, FullRangeRecord());
    for (const OemText& entry : kExpectedTexts) {
        ExpectValue(kOemType, entry.name, REG_SZ, TextField(entry.text, 250));
    }
    std::vector<std::string> names = RegistryValueNames(kOemType);
    EXPECT_EQ(names.size(), 22u);
    for (const OemText& entry : kExpectedTexts) {
        EXPECT_NE(std::find(names.begin(), names.end(), entry.name), names.end()) << entry.name;
    }
    EXPECT_EQ(RegistrySubkeyNames(kOemTypes), std::vector<std::string>{"Tessaline"});
    EXPECT_EQ(RegistryFlushCount(), 1);
}

// Where a leading backslash is a bad path name, as on Windows NT and Wine, the type key
// is still created below the OEM types key.
TEST_F(RegisterOemTypeTest, WorksWhereALeadingBackslashIsRefused) {
    SetRegistryLeadingBackslashRefused(true);
    EXPECT_EQ(RegisterOemType(), 1);
    EXPECT_EQ(RegistryValueNames(kOemType).size(), 22u);
}

TEST_F(RegisterOemTypeTest, SecondRunRewritesTheSameValues) {
    ASSERT_EQ(RegisterOemType(), 1);
    const std::string first = ExportRegistryText();
    EXPECT_EQ(RegisterOemType(), 1);
    EXPECT_EQ(ExportRegistryText(), first);
}

TEST_F(RegisterOemTypeTest, ValuesItDoesNotNameSurvive) {
    StoreOemValue("OEMCal8", REG_SZ, TextField("keep me", 8));
    StoreOemValue("OEMCal11", REG_BINARY, Hex("01 02"));
    EXPECT_EQ(RegisterOemType(), 1);
    ExpectValue(kOemType, "OEMCal8", REG_SZ, TextField("keep me", 8));
    ExpectValue(kOemType, "OEMCal11", REG_BINARY, Hex("01 02"));
}

TEST_F(RegisterOemTypeTest, StoredRecordOfAnyLengthIsRewrittenWhole) {
    for (size_t stored : {size_t{0}, size_t{20}, size_t{111}, size_t{113}, size_t{300}}) {
        LoadMachine("machine_two_ports.reg");
        StoreOemValue("OEMDATA", REG_BINARY, std::vector<uint8_t>(stored, 0x55));
        EXPECT_EQ(RegisterOemType(), 1) << stored;
        ExpectValue(kOemType, "OEMDATA", REG_BINARY, FullRangeRecord());
    }
}

TEST_F(RegisterOemTypeTest, MissingOemTypesKeyChangesNothing) {
    LoadMachine("machine_no_driver.reg");
    const std::string before = ExportRegistryText();
    EXPECT_EQ(RegisterOemType(), 0);
    EXPECT_EQ(ExportRegistryText(), before);
    EXPECT_EQ(RegistryFlushCount(), 0);
}

TEST_F(RegisterOemTypeTest, FailuresEndAtOnceWithoutFlushing) {
    const struct {
        const char* why;
        const char* refused_value;  // empty: the whole OEM type key
        const char* last_written;   // nullptr: nothing written
        const char* first_missing;
    } cases[] = {
        {"key cannot be created", "", nullptr, "OEMDATA"},
        {"record refused", "OEMDATA", nullptr, "OEMCALLOUT"},
        {"a text refused", "OEMCal3", "OEMCal2", "OEMCal4"},
    };
    for (const auto& c : cases) {
        LoadMachine("machine_two_ports.reg");
        RefuseRegistryWrites(kOemType, c.refused_value);
        EXPECT_EQ(RegisterOemType(), 0) << c.why;
        if (c.last_written != nullptr) {
            EXPECT_TRUE(ReadRegistryValue(kOemType, c.last_written).found) << c.why;
        } else {
            EXPECT_TRUE(RegistryValueNames(kOemType).empty()) << c.why;
        }
        EXPECT_FALSE(ReadRegistryValue(kOemType, c.first_missing).found) << c.why;
        EXPECT_EQ(RegistryFlushCount(), 0) << c.why;
        EXPECT_EQ(OpenRegistryKeyCount(), 0) << c.why;
    }
}

// The read-back of the registration: OEMDATA whole, and the callout and display name as the
// text and its NUL at the start of a value at least that long, in either way of storing
// texts. Each case stores the three values as a registration leaves them, with one changed
// or left out.
TEST_F(RegisterOemTypeTest, CheckOemTypeComparesTheRecordTheCalloutAndTheName) {
    const struct {
        const char* why;
        const char* name;  // nullptr: nothing changed
        DWORD type;
        std::vector<uint8_t> stored;
        bool missing;  // the value is left out instead
        int32_t result;
        bool nt_only = false;  // Windows 9x adds the NUL itself
    } cases[] = {
        {"as registered", nullptr, REG_NONE, {}, false, 1},
        {"callout at its length plus one", "OEMCALLOUT", REG_SZ, TextField("tesln.vxd", 10), false, 1},
        {"callout without its NUL", "OEMCALLOUT", REG_SZ, TextField("tesln.vxd", 9), false, 0, true},
        {"another callout", "OEMCALLOUT", REG_SZ, TextField("tesln.vxe", 250), false, 0},
        {"callout with more behind it", "OEMCALLOUT", REG_SZ, TextField("tesln.vxd2", 250), false, 0},
        {"callout missing", "OEMCALLOUT", REG_SZ, {}, true, 0},
        {"name at its length plus one", "OEMNAME", REG_SZ, TextField("Brennick Gyrelle", 17), false, 1},
        {"another name", "OEMNAME", REG_SZ, TextField("Brennick Gyrelle 2", 250), false, 0},
        {"name missing", "OEMNAME", REG_SZ, {}, true, 0},
        {"ten-bit record", "OEMDATA", REG_BINARY, TenBitRecord(), false, 0},
        {"record one byte short", "OEMDATA", REG_BINARY,
         [] { auto r = FullRangeRecord(); r.pop_back(); return r; }(), false, 0},
        {"record with a byte more", "OEMDATA", REG_BINARY,
         [] { auto r = FullRangeRecord(); r.push_back(0); return r; }(), false, 0},
        {"record missing", "OEMDATA", REG_BINARY, {}, true, 0},
        // Texts the read-back does not need may say anything.
        {"another label", "OEMULabel", REG_SZ, TextField("Twist", 250), false, 1},
    };
    const struct {
        const char* name;
        DWORD type;
        std::vector<uint8_t> bytes;
    } registered[] = {
        {"OEMDATA", REG_BINARY, FullRangeRecord()},
        {"OEMCALLOUT", REG_SZ, TextField("tesln.vxd", 250)},
        {"OEMNAME", REG_SZ, TextField("Brennick Gyrelle", 250)},
    };
    for (bool windows_9x_texts : {false, true}) {
        for (const auto& c : cases) {
            if (c.nt_only && windows_9x_texts) continue;
            SCOPED_TRACE(std::string(c.why) + (windows_9x_texts ? ", 9x texts" : ", NT texts"));
            LoadMachine("machine_two_ports.reg");
            SetRegistryTextsKeptAtTheirLength(windows_9x_texts);
            for (const auto& value : registered) {
                if (c.name == nullptr || std::string(c.name) != value.name) {
                    StoreOemValue(value.name, value.type, value.bytes);
                }
            }
            if (c.name != nullptr && !c.missing) StoreOemValue(c.name, c.type, c.stored);
            const std::string before = ExportRegistryText();
            EXPECT_EQ(CheckOemType(), c.result);
            EXPECT_EQ(ExportRegistryText(), before);
        }
    }
    for (const char* machine : {"machine_no_driver.reg", "machine_two_ports.reg"}) {
        LoadMachine(machine);
        EXPECT_EQ(CheckOemType(), 0) << machine << ": nothing registered";
    }
    // What the registration writes passes its own read-back, however texts are stored.
    for (bool windows_9x_texts : {false, true}) {
        LoadMachine("machine_two_ports.reg");
        SetRegistryTextsKeptAtTheirLength(windows_9x_texts);
        ASSERT_EQ(RegisterOemType(), 1);
        EXPECT_EQ(CheckOemType(), 1) << windows_9x_texts;
    }
}

}  // namespace
