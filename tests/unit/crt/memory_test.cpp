// The Windows build's memcpy, memset, memcmp, strlen and strcmp.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crt/memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(CrtMemoryTest, CopyMovesExactlyTheCountedBytes) {
    const Bytes from = {0x01, 0x80, 0x00, 0xFF, 0x7F};
    struct Case {
        size_t count;
        Bytes want;
    };
    const Case cases[] = {
        {0, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {1, {0x01, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
        {5, {0x01, 0x80, 0x00, 0xFF, 0x7F, 0xAA}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        Bytes to(6, 0xAA);
        EXPECT_EQ(crt::Copy(to.data(), from.data(), c.count), to.data());
        EXPECT_EQ(to, c.want);
    }
}

TEST(CrtMemoryTest, FillStoresTheValuesLowByte) {
    struct Case {
        int value;
        size_t count;
        Bytes want;
    };
    const Case cases[] = {
        {0x00, 0, {0xAA, 0xAA, 0xAA, 0xAA}},
        {0x00, 3, {0x00, 0x00, 0x00, 0xAA}},
        {0x1FF, 2, {0xFF, 0xFF, 0xAA, 0xAA}},
        {-1, 4, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Bytes to(4, 0xAA);
        EXPECT_EQ(crt::Fill(to.data(), c.value, c.count), to.data());
        EXPECT_EQ(to, c.want);
    }
}

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(CrtMemoryTest, CompareOrdersByTheFirstDifferingUnsignedByte) {
    struct Case {
        const char* name;
        Bytes a;
        Bytes b;
        size_t count;
        int sign;
    };
    const Case cases[] = {
        {"equal", {0x21, 0x31}, {0x21, 0x31}, 2, 0},
        {"nothing compared", {0x01}, {0x02}, 0, 0},
        {"difference past the count", {0x21, 0x00}, {0x21, 0x01}, 1, 0},
        {"first byte lower", {0x20, 0xFF}, {0x21, 0x00}, 2, -1},
        {"last byte higher", {0x21, 0x32}, {0x21, 0x31}, 2, 1},
        {"high bit is large, not negative", {0x80}, {0x7F}, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Sign(crt::Compare(c.a.data(), c.b.data(), c.count)), c.sign);
    }
}

TEST(CrtMemoryTest, LengthCountsUpToTheFirstTerminator) {
    EXPECT_EQ(crt::Length(""), 0u);
    EXPECT_EQ(crt::Length("COM1"), 4u);
    EXPECT_EQ(crt::Length("ab\0cd"), 2u);
}

TEST(CrtMemoryTest, CompareTextOrdersLikeStrcmp) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    };
    const Case cases[] = {
        {"", "", 0},
        {"COM1", "COM1", 0},
        {"COM1", "COM2", -1},
        {"COM", "COM1", -1},
        {"COM1", "COM", 1},
        {"", "a", -1},
        {"\x80", "A", 1},
        {"ab\0x", "ab\0y", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(Sign(crt::CompareText(c.a, c.b)), c.sign);
    }
}

}  // namespace
