// Memory and text primitives of our own. The Windows build has no C library: its memcpy,
// memset, memcmp, strlen and strcmp are these. They build natively too, for the unit tests.
#pragma once

#include <cstddef>

namespace crt {

// The regions must not overlap.
void* Copy(void* to, const void* from, size_t count);
void* Fill(void* to, int value, size_t count);
// Compares as unsigned bytes: below zero, zero or above zero as a sorts before, with or after b.
int Compare(const void* a, const void* b, size_t count);
size_t Length(const char* text);
int CompareText(const char* a, const char* b);

}  // namespace crt
