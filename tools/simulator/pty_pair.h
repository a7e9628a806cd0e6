// A pseudo-terminal made by its caller, a test or the benchmark, which plays the far end
// on the master and hands the slave to the device link as an already open line: that
// spares the settle wait of a real open.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string slave_path;

    bool Open() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        const char* name = ptsname(master);
        if (name == nullptr) return false;
        slave_path = name;
        slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave < 0) return false;
        termios settings{};
        tcgetattr(slave, &settings);
        cfmakeraw(&settings);
        tcsetattr(slave, TCSANOW, &settings);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        return true;
    }

    void Close() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
        slave = master = -1;
    }

    // Sends bytes towards the device link and waits until they can be read on the slave.
    void Send(const std::vector<uint8_t>& bytes) {
        if (!bytes.empty()) {
            ssize_t written = write(master, bytes.data(), bytes.size());
            (void)written;
        }
        WaitReadable(slave, 500);
    }

    // What the device link wrote, collected for up to the given time.
    std::vector<uint8_t> Received(int wait_ms = 50) {
        std::vector<uint8_t> bytes;
        WaitReadable(master, wait_ms);
        uint8_t chunk[256];
        for (;;) {
            ssize_t got = read(master, chunk, sizeof(chunk));
            if (got <= 0) break;
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }

    static void WaitReadable(int fd, int wait_ms) {
        pollfd watch{fd, POLLIN, 0};
        poll(&watch, 1, wait_ms);
    }
};
