#include "crt/format.h"

#include "crt/crt.h"

namespace crt {

namespace {

// Counts every character offered and stores those that fit before the terminator's place.
struct Output {
    char* buffer;
    size_t size;
    size_t length;

    void Put(char c) {
        if (length + 1 < size) buffer[length] = c;
        ++length;
    }
    void PutText(const char* text) {
        while (*text != '\0') Put(*text++);
    }
};

void PutDecimal(Output* out, int value) {
    // Negated as unsigned so that the most negative int has a magnitude to print.
    unsigned magnitude = static_cast<unsigned>(value);
    if (value < 0) {
        out->Put('-');
        magnitude = 0u - magnitude;
    }
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0) out->Put(digits[--count]);
}

}  // namespace

int FormatList(char* buffer, size_t size, const char* format, va_list args) {
    Output out{buffer, size, 0};
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out.Put(*p);
            continue;
        }
        const char conversion = p[1];
        if (conversion == 'd') {
            PutDecimal(&out, va_arg(args, int));
        } else if (conversion == 's') {
            const char* text = va_arg(args, const char*);
            out.PutText(text != nullptr ? text : "(null)");
        } else if (conversion == '%') {
            out.Put('%');
        } else {
            out.Put('%');
            if (conversion == '\0') break;
            out.Put(conversion);
        }
        ++p;
    }
    if (size > 0) buffer[out.length < size ? out.length : size - 1] = '\0';
    return static_cast<int>(out.length);
}

int Format(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = FormatList(buffer, size, format, args);
    va_end(args);
    return length;
}

}  // namespace crt

// The program's own entry to formatting, over whichever FormatTextList the build has.
int FormatText(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = FormatTextList(buffer, size, format, args);
    va_end(args);
    return length;
}
