// The native table that maps port names to device paths.
#include <gtest/gtest.h>

#include <string>

#include "platform/serial_names.h"

namespace {

class SerialNamesTest : public ::testing::Test {
protected:
    void TearDown() override { ClearSerialDevicePaths(); }
};

TEST_F(SerialNamesTest, NamesMapToPathsWithoutRegardToCase) {
    ASSERT_EQ(SetSerialDevicePath("COM1", "/dev/pts/7"), 1);
    ASSERT_EQ(SetSerialDevicePath("COM2", "/dev/ttyS1"), 1);
    EXPECT_STREQ(FindSerialDevicePath("COM1"), "/dev/pts/7");
    EXPECT_STREQ(FindSerialDevicePath("com1"), "/dev/pts/7");
    EXPECT_STREQ(FindSerialDevicePath("COM2"), "/dev/ttyS1");
    EXPECT_EQ(FindSerialDevicePath("COM3"), nullptr);
    EXPECT_EQ(FindSerialDevicePath(nullptr), nullptr);
}

TEST_F(SerialNamesTest, EntriesAreReplacedRemovedAndCleared) {
    SetSerialDevicePath("COM1", "/dev/pts/7");
    SetSerialDevicePath("COM1", "/dev/pts/9");
    EXPECT_STREQ(FindSerialDevicePath("COM1"), "/dev/pts/9");
    SetSerialDevicePath("COM2", "/dev/pts/3");
    EXPECT_EQ(SetSerialDevicePath("COM1", ""), 1);
    EXPECT_EQ(FindSerialDevicePath("COM1"), nullptr);
    EXPECT_STREQ(FindSerialDevicePath("COM2"), "/dev/pts/3");
    ClearSerialDevicePaths();
    EXPECT_EQ(FindSerialDevicePath("COM2"), nullptr);
}

TEST_F(SerialNamesTest, RefusesWhatTheTableCannotHold) {
    EXPECT_EQ(SetSerialDevicePath(nullptr, "/dev/pts/1"), 0);
    EXPECT_EQ(SetSerialDevicePath("", "/dev/pts/1"), 0);
    EXPECT_EQ(SetSerialDevicePath(std::string(64, 'C').c_str(), "/dev/pts/1"), 0);
    EXPECT_EQ(SetSerialDevicePath("COM1", std::string(300, 'p').c_str()), 0);
    int accepted = 0;
    for (int i = 0; i < 100; ++i) accepted += SetSerialDevicePath(("PORT" + std::to_string(i)).c_str(), "/x");
    EXPECT_LT(accepted, 100);
    EXPECT_STREQ(FindSerialDevicePath("PORT0"), "/x");
}

}  // namespace
