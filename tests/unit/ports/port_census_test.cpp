#include "ports/port_census.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "platform/registry_store.h"

namespace {

struct CensusCase {
    const char* fixture;
    int32_t count;
};

class CensusOfFixture : public testing::TestWithParam<CensusCase> {};

TEST_P(CensusOfFixture, CountsAsTheSurveysDescribe) {
    std::string error;
    ASSERT_TRUE(LoadRegistryFile(std::string("tests/fixtures/") + GetParam().fixture, &error))
        << error;
    const std::string before = ExportRegistryText();
    int32_t count = -7;
    EXPECT_EQ(CountSerialPorts(&count), GetParam().count);
    EXPECT_EQ(count, GetParam().count);
    EXPECT_EQ(OpenRegistryKeyCount(), 0);
    EXPECT_EQ(ExportRegistryText(), before) << "the census only reads";
}

INSTANTIATE_TEST_SUITE_P(
    Setups, CensusOfFixture,
    testing::Values(CensusCase{"census/empty.reg", 0},
                    CensusCase{"census/bios_16550_two_ports.reg", 4},
                    CensusCase{"census/bios_standard_com3.reg", 3},
                    CensusCase{"census/bios_standard_com4.reg", 4},
                    CensusCase{"census/bios_standard_lower_case.reg", 2},
                    CensusCase{"census/bios_standard_trailing_blank.reg", 2},
                    CensusCase{"census/bios_standard_portname_subkey.reg", 1},
                    CensusCase{"census/bios_16550_com5.reg", 2},
                    CensusCase{"census/bios_16550_portname_subkey_com3.reg", 3},
                    CensusCase{"census/serialcomm_without_com1.reg", 0},
                    CensusCase{"census/serialcomm_seven_ports.reg", 6},
                    CensusCase{"census/serialcomm_value_too_long.reg", 1},
                    CensusCase{"census/root_only_0003.reg", 4},
                    CensusCase{"census/root_twelve_instances.reg", 12},
                    CensusCase{"machine_two_ports.reg", 4},
                    CensusCase{"machine_four_ports.reg", 4},
                    CensusCase{"machine_no_driver.reg", 4},
                    CensusCase{"machine_no_ports.reg", 0}),
    [](const testing::TestParamInfo<CensusCase>& info) {
        std::string name = info.param.fixture;
        name = name.substr(0, name.size() - 4);
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        return name;
    });

// The largest survey wins; the others must not add to it.
TEST(CountSerialPorts, TakesTheLargestSurveyNotTheSum) {
    ASSERT_TRUE(LoadRegistryText(
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\n"
        "\"COM1\"=\"COM1\"\n\"COM2\"=\"COM2\"\n\"COM3\"=\"COM3\"\n\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0500\\0000]\n\"PortName\"=\"COM2\"\n\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP0500\\0001]\n"));
    EXPECT_EQ(CountSerialPorts(nullptr), 3);
}

TEST(CountSerialPorts, PortNameWithoutTerminatorStillCompares) {
    // "COM3" stored as four bytes, no NUL, under a 16550 instance that also has the subkey.
    ASSERT_TRUE(LoadRegistryText(
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0501\\0000\\PortName]\n\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0501\\0000]\n\"PortName\"=hex(1):43,4f,4d,33\n"));
    EXPECT_EQ(CountSerialPorts(nullptr), 3);
}

TEST(CountSerialPorts, PortNameFillingTheWholeBufferIsReadSafely) {
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0501\\0000]\n\"PortName\"=hex(1):43,4f,4d,31";
    for (int i = 4; i < 260; ++i) text += ",20";
    ASSERT_TRUE(LoadRegistryText(text + "\n"));
    EXPECT_EQ(CountSerialPorts(nullptr), 2);
}

// An instance key that cannot be opened counts 2 in survey 4 and 3 in survey 6, and its
// "PortName" is not read.
TEST(CountSerialPorts, UnopenableInstancesCountByTheirSurvey) {
    const struct {
        const char* class_key;
        int32_t count;
    } cases[] = {
        {"Enum\\BIOS\\*PNP0500", 2},
        {"Enum\\BIOS\\*PNP0501", 3},
    };
    for (const auto& c : cases) {
        const std::string instance = std::string(c.class_key) + "\\0000";
        ASSERT_TRUE(LoadRegistryText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + instance +
                                     "]\n\"PortName\"=\"COM4\"\n"));
        RefuseRegistryOpens(instance);
        EXPECT_EQ(CountSerialPorts(nullptr), c.count) << c.class_key;
        EXPECT_EQ(OpenRegistryKeyCount(), 0);
    }
}

struct NameCase {
    int32_t port;
    int32_t result;
    const char* name;  // five bytes when result is 1
};

TEST(PortNameFromNumber, NamesOneToSixAndLeavesTheBufferOtherwise) {
    const NameCase cases[] = {
        {1, 1, "COM1"}, {2, 1, "COM2"}, {3, 1, "COM3"}, {4, 1, "COM4"}, {5, 1, "COM5"},
        {6, 1, "COM6"}, {0, 0, nullptr}, {7, 0, nullptr}, {-1, 0, nullptr},
    };
    for (const NameCase& c : cases) {
        char buffer[7] = {'x', 'x', 'x', 'x', 'x', 'x', 'x'};
        EXPECT_EQ(PortNameFromNumber(c.port, buffer), c.result) << c.port;
        if (c.result == 1) {
            EXPECT_EQ(std::memcmp(buffer, c.name, 5), 0) << c.port;
            EXPECT_EQ(buffer[4], '\0');
            EXPECT_EQ(buffer[5], 'x') << "exactly five bytes written";
        } else {
            EXPECT_EQ(std::string(buffer, 7), "xxxxxxx") << c.port;
        }
    }
}

}  // namespace
