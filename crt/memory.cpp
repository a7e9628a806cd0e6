#include "crt/memory.h"

// These loops must stay loops: built with -fno-tree-loop-distribute-patterns, since the
// compiler would otherwise turn them into calls to memcpy and memset, which are these.
namespace crt {

void* Copy(void* to, const void* from, size_t count) {
    unsigned char* out = static_cast<unsigned char*>(to);
    const unsigned char* in = static_cast<const unsigned char*>(from);
    for (size_t i = 0; i < count; ++i) out[i] = in[i];
    return to;
}

void* Fill(void* to, int value, size_t count) {
    unsigned char* out = static_cast<unsigned char*>(to);
    const unsigned char byte = static_cast<unsigned char>(value);
    for (size_t i = 0; i < count; ++i) out[i] = byte;
    return to;
}

int Compare(const void* a, const void* b, size_t count) {
    const unsigned char* left = static_cast<const unsigned char*>(a);
    const unsigned char* right = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < count; ++i) {
        if (left[i] != right[i]) return left[i] < right[i] ? -1 : 1;
    }
    return 0;
}

size_t Length(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

int CompareText(const char* a, const char* b) {
    const unsigned char* left = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* right = reinterpret_cast<const unsigned char*>(b);
    size_t i = 0;
    while (left[i] != '\0' && left[i] == right[i]) ++i;
    if (left[i] == right[i]) return 0;
    return left[i] < right[i] ? -1 : 1;
}

}  // namespace crt
