// The little-endian words of the registry records and the device requests.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crt/little_endian.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct WordCase {
    uint32_t value;
    Bytes bytes;
};

const WordCase kWords[] = {
    {0x00000000, {0x00, 0x00, 0x00, 0x00}},
    {0x01880001, {0x01, 0x00, 0x88, 0x01}},
    {0x0000EA60, {0x60, 0xEA, 0x00, 0x00}},
    {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
    {0x80000000, {0x00, 0x00, 0x00, 0x80}},
};

TEST(LittleEndianWordTest, PutWritesLowByteFirstAndOnlyFourBytes) {
    for (const WordCase& c : kWords) {
        SCOPED_TRACE(c.value);
        // One byte either side of an unaligned word stays as it was.
        Bytes buffer(7, 0xAA);
        PutLittleEndianWord(buffer.data() + 1, c.value);
        Bytes want = {0xAA, c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3], 0xAA, 0xAA};
        EXPECT_EQ(buffer, want);
    }
}

TEST(LittleEndianWordTest, GetReadsLowByteFirst) {
    for (const WordCase& c : kWords) {
        SCOPED_TRACE(c.value);
        Bytes buffer = {0x55, c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3], 0x55};
        EXPECT_EQ(GetLittleEndianWord(buffer.data() + 1), c.value);
    }
}

}  // namespace
