// Bounded formatting of our own for the few texts the program builds: "%d", "%s" and "%%".
// wsprintfA takes no buffer size, so the Windows build formats with this.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace crt {

// Writes the text into buffer, cut at size - 1 characters and always terminated; a size of
// 0 writes nothing. Returns the length of the whole text as if nothing were cut, the way
// snprintf does. A null "%s" argument prints "(null)"; any other character after "%" is
// written out with the "%".
int FormatList(char* buffer, size_t size, const char* format, va_list args);
int Format(char* buffer, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace crt
