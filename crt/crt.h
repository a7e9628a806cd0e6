// The C library as the program uses it, behind one header. The Windows build has none of
// its own (no C runtime DLL comes with Windows 95): crt/ supplies these there. Native
// builds keep the system's C library behind the same names.
#pragma once

#include <cstdarg>
#include <cstddef>

#ifdef _WIN32
// Also what the compiler calls on its own for record copies and zeroing.
extern "C" {
void* memcpy(void* to, const void* from, size_t count);
void* memset(void* to, int value, size_t count);
int memcmp(const void* a, const void* b, size_t count);
size_t strlen(const char* text);
int strcmp(const char* a, const char* b);
}
#else
#include <cstring>
#endif

// Formats "%d", "%s" and "%%" into a fixed buffer: cut at size - 1 characters, always
// terminated, and the whole text's length returned, as snprintf does.
int FormatText(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int FormatTextList(char* buffer, size_t size, const char* format, va_list args);

// A heap block, or null. Not malloc by name, so that the compiler cannot merge an
// allocation and the zeroing after it into a calloc that does not exist here.
void* AllocateBlock(size_t size);
void ReleaseBlock(void* block);

// Writes the text to standard output at once; nothing when the process has none.
void WriteStandardOutput(const char* text);
