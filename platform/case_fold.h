// Registry key and value names and registered window message names match whatever their
// ASCII case, as on Windows; the stand-ins compare them in this folded form.
#pragma once

#include <string>

inline std::string FoldCase(const std::string& text) {
    std::string folded = text;
    for (char& c : folded) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
}
