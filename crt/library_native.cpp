// Native builds: the names of crt.h over the system's C library.
#include <cstdio>
#include <cstdlib>

#include "crt/crt.h"

int FormatTextList(char* buffer, size_t size, const char* format, va_list args) {
    return std::vsnprintf(buffer, size, format, args);
}

void* AllocateBlock(size_t size) { return std::malloc(size); }

void ReleaseBlock(void* block) { std::free(block); }

void WriteStandardOutput(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}
