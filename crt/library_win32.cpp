// The C library functions of the Windows build, over crt's own code and kernel32.
#include <windows.h>

#include "crt/crt.h"
#include "crt/format.h"
#include "crt/memory.h"

extern "C" {

void* memcpy(void* to, const void* from, size_t count) { return crt::Copy(to, from, count); }

void* memset(void* to, int value, size_t count) { return crt::Fill(to, value, count); }

int memcmp(const void* a, const void* b, size_t count) { return crt::Compare(a, b, count); }

size_t strlen(const char* text) { return crt::Length(text); }

int strcmp(const char* a, const char* b) { return crt::CompareText(a, b); }

}  // extern "C"

int FormatTextList(char* buffer, size_t size, const char* format, va_list args) {
    return crt::FormatList(buffer, size, format, args);
}

void* AllocateBlock(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void ReleaseBlock(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

void WriteStandardOutput(const char* text) {
    // A GUI program started from Explorer has no standard output; Wine hands on the
    // terminal's or the pipe's.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
    // Standard output is a text stream on Windows: each line ends in CR LF there, as the
    // C runtime's printf wrote it.
    DWORD written = 0;
    const char* start = text;
    for (const char* at = text;; ++at) {
        if (*at != '\n' && *at != 0) continue;
        WriteFile(output, start, static_cast<DWORD>(at - start), &written, nullptr);
        if (*at == 0) return;
        WriteFile(output, "\r\n", 2, &written, nullptr);
        start = at + 1;
    }
}
