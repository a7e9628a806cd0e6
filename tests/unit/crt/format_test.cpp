// The Windows build's formatter: "%d", "%s" and "%%" into fixed buffers, never past them.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "crt/format.h"

namespace {

constexpr char kUntouched = 0x5A;

struct Buffer {
    char bytes[64];
    Buffer() { memset(bytes, kUntouched, sizeof bytes); }
    // Everything from the given index on still holds the fill.
    bool UntouchedFrom(size_t index) const {
        for (size_t i = index; i < sizeof bytes; ++i) {
            if (bytes[i] != kUntouched) return false;
        }
        return true;
    }
};

TEST(CrtFormatTest, NumbersAreFormattedWhole) {
    struct Case {
        const char* format;
        int value;
        const char* want;
    };
    const Case cases[] = {
        {"COM%d", 1, "COM1"},
        {"Joystick%dConfiguration", 16, "Joystick16Configuration"},
        {"UdComOpen:  CreateFile failed  %d\n", 2, "UdComOpen:  CreateFile failed  2\n"},
        {"%d", 0, "0"},
        {"%d", -1, "-1"},
        {"%d", INT_MIN, "-2147483648"},
        {"%d", INT_MAX, "2147483647"},
        {"100%%", 0, "100%"},
        {"%x%u", 0, "%x%u"},  // other conversions are written out as they stand
        {"50%", 0, "50%"},
        {"", 7, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " with " + std::to_string(c.value));
        Buffer buffer;
        EXPECT_EQ(crt::Format(buffer.bytes, sizeof buffer.bytes, c.format, c.value),
                  static_cast<int>(strlen(c.want)));
        EXPECT_STREQ(buffer.bytes, c.want);
    }
}

TEST(CrtFormatTest, TextsAreFormattedWhole) {
    struct Case {
        const char* format;
        const char* first;
        const char* second;
        const char* want;
    };
    const Case cases[] = {
        {"%s%s", "JoystickSettings", "\\Tessaline", "JoystickSettings\\Tessaline"},
        {"UdComOpen:  opening %s\n", "COM1", nullptr, "UdComOpen:  opening COM1\n"},
        {"<%s>", "", nullptr, "<>"},
        {"%s%s", "", "", ""},
        {"%s", nullptr, nullptr, "(null)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        Buffer buffer;
        EXPECT_EQ(crt::Format(buffer.bytes, sizeof buffer.bytes, c.format, c.first, c.second),
                  static_cast<int>(strlen(c.want)));
        EXPECT_STREQ(buffer.bytes, c.want);
    }
}

TEST(CrtFormatTest, TextIsCutAtTheBufferEndAndTerminated) {
    struct Case {
        const char* name;
        size_t size;
        const char* format;
        int value;
        const char* text;
        const char* want;
        int whole_length;
    };
    const Case cases[] = {
        {"fits exactly", 5, "COM%d", 4, nullptr, "COM4", 4},
        {"last digit cut", 5, "COM%d", 12, nullptr, "COM1", 5},
        {"cut inside a negative number", 3, "%d", -45, nullptr, "-4", 3},
        {"only the sign fits", 2, "%d", INT_MIN, nullptr, "-", 11},
        {"cut inside a text", 4, "ab%s", 0, "cdef", "abc", 6},
        {"cut inside the format", 3, "abcdef", 0, nullptr, "ab", 6},
        {"room for the terminator only", 1, "COM%d", 1, nullptr, "", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Buffer buffer;
        const int length = c.text != nullptr
                               ? crt::Format(buffer.bytes, c.size, c.format, c.text)
                               : crt::Format(buffer.bytes, c.size, c.format, c.value);
        EXPECT_EQ(length, c.whole_length);
        EXPECT_STREQ(buffer.bytes, c.want);
        EXPECT_TRUE(buffer.UntouchedFrom(c.size)) << "written past the buffer's end";
    }
}

TEST(CrtFormatTest, ASizeOfZeroWritesNothing) {
    Buffer buffer;
    EXPECT_EQ(crt::Format(buffer.bytes, 0, "COM%d", 3), 4);
    EXPECT_TRUE(buffer.UntouchedFrom(0));
}

}  // namespace
