// The whole installer run natively on the platform stand-ins, for comparison with the
// same run under Wine: a machine from a .reg file, COM ports mapped to devices, a user
// who presses Enter in every dialog, and the registry exported afterwards.
//
//   native_install --fixture FILE --out FILE [--port N=PATH]... [--select INDEX]
//
// Ports 1 to 9 that no --port names lead nowhere. Prints one summary line:
// "exit E notifications N broadcasts B dialogs D problems P".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "app/installer.h"
#include "platform/joystick_driver.h"
#include "platform/registry_store.h"
#include "platform/serial_names.h"
#include "platform/window_manager.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: native_install --fixture FILE --out FILE [--port N=PATH]... "
                 "[--select INDEX]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string fixture;
    std::string out_path;
    std::string ports[10];
    int select_index = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        if (arg == "--fixture") {
            fixture = value;
        } else if (arg == "--out") {
            out_path = value;
        } else if (arg == "--select") {
            select_index = std::atoi(value.c_str());
        } else if (arg == "--port") {
            const size_t equals = value.find('=');
            const int number = equals == 1 ? value[0] - '0' : 0;
            if (number < 1 || number > 9) return Usage();
            ports[number] = value.substr(equals + 1);
        } else {
            return Usage();
        }
    }
    if (fixture.empty() || out_path.empty()) return Usage();

    ResetRegistryStore();
    std::string error;
    if (!LoadRegistryFile(fixture, &error)) {
        std::fprintf(stderr, "native_install: %s: %s\n", fixture.c_str(), error.c_str());
        return 3;
    }
    ResetJoystickDriver();
    ClearSerialDevicePaths();
    for (int n = 1; n <= 9; ++n) {
        const std::string name = "COM" + std::to_string(n);
        // A port without a device must fail to open at once, never fall back to a file.
        const std::string path = ports[n].empty() ? "/nonexistent/native-install/" + name : ports[n];
        SetSerialDevicePath(name.c_str(), path.c_str());
    }
    WindowingScript script;
    if (select_index >= 0) script.steps.push_back({UserAction::kSelectListIndex, select_index});
    script.steps.push_back({UserAction::kPressEnter, 0});
    ResetWindowing(script);

    char command_line[] = "";
    const int exit_code =
        WinMain(reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000)), nullptr,
                command_line, SW_SHOWNORMAL);
    std::fflush(stdout);

    std::ofstream out(out_path, std::ios::binary);
    out << ExportRegistryText();
    out.close();
    if (!out) {
        std::fprintf(stderr, "native_install: cannot write %s\n", out_path.c_str());
        return 3;
    }
    const WindowingLog& log = GetWindowingLog();
    int notifications = 0;
    for (uint32_t code : JoystickDriverMessageCodes())
        if (code == 0x903) ++notifications;
    std::printf("exit %d notifications %d broadcasts %d dialogs %zu problems %zu\n", exit_code,
                notifications, static_cast<int>(JoystickBroadcastCount()), log.dialogs.size(),
                log.problems.size());
    for (const std::string& problem : log.problems) std::printf("problem: %s\n", problem.c_str());
    return 0;
}
