// Native builds: the names of crt.h over the system's C library.
#include <cstdio>
#include <cstdlib>

#include "crt/crt.h"

int FormatText(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    return length;
}

int FormatTextList(char* buffer, size_t size, const char* format, va_list args) {
    return std::vsnprintf(buffer, size, format, args);
}

void* AllocateBlock(size_t size) { return std::malloc(size); }

void ReleaseBlock(void* block) { std::free(block); }

void WriteStandardOutput(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}
