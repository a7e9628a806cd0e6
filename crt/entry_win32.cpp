// The program's entry point in place of a C runtime's start-up: the static constructors,
// then WinMain with what a C runtime would hand it, then ExitProcess with its result.
#include <windows.h>

extern "C" {
// Laid out by the linker: -1, the constructors, then a null.
extern void (*__CTOR_LIST__[])();
void StartProgram();
}

namespace {

void RunStaticConstructors() {
    size_t count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) ++count;
    // The last one listed first, as a C runtime does.
    for (size_t i = count; i >= 1; --i) __CTOR_LIST__[i]();
}

// The command line past the program's own name, which may be quoted, and the blanks after it.
char* ArgumentsOf(char* line) {
    if (*line == '"') {
        ++line;
        while (*line != '\0' && *line != '"') ++line;
        if (*line == '"') ++line;
    } else {
        while (*line != '\0' && *line != ' ' && *line != '\t') ++line;
    }
    while (*line == ' ' || *line == '\t') ++line;
    return line;
}

}  // namespace

void StartProgram() {
    RunStaticConstructors();
    STARTUPINFOA startup;
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const int show_command =
        (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    const int result =
        WinMain(GetModuleHandleA(nullptr), nullptr, ArgumentsOf(GetCommandLineA()), show_command);
    ExitProcess(static_cast<UINT>(result));
}
