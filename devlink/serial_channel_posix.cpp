// The serial channel over a POSIX device path: a real serial port or a pseudo-terminal.
// Port names are looked up in the serial-name table, so "COM1" can stand for a pty.
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "devlink/device_link_testing.h"
#include "devlink/device_log.h"
#include "devlink/serial_channel.h"
#include "devlink/serial_channel_common.h"
#include "platform/serial_names.h"

ComHandle LastComHandle = -1;

namespace {

// The four purges of the Windows channel come down to one flush of both directions here.
void PurgeBothDirections(int fd) { tcflush(fd, TCIOFLUSH); }

void ConfigureLine(int fd) {
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
}

void RaiseModemLine(int fd, int line) {
    // A pseudo-terminal has no modem lines and refuses; that is no reason to fail.
    ioctl(fd, TIOCMBIS, &line);
}

// A descriptor of the terminal at path, held against every other opener; -1 with errno
// set when there is none. Only terminals are opened: a file or a pipe that merely bears
// a port's name must never receive the controller's query.
int OpenLineExclusively(const char* path) {
    struct stat info {};
    if (stat(path, &info) != 0) return -1;
    if (!S_ISCHR(info.st_mode)) {
        errno = ENOTTY;
        return -1;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    int error = 0;
    if (!isatty(fd)) {
        error = ENOTTY;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // TIOCEXCL does not bind root; the lock refuses a second opener whoever it is,
        // as the Windows share mode 0 does.
        error = errno;
    }
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    // Exclusive mode belongs to the line, not to this descriptor: set on a refused open
    // it would shut ordinary users out of the holder's line.
    ioctl(fd, TIOCEXCL);
    return fd;
}

// Exclusive mode outlives the descriptor, so it is cleared before every close.
int CloseLine(int fd) {
    ioctl(fd, TIOCNXCL);
    return close(fd);
}

}  // namespace

int32_t UdComOpen(ComChannel* channel) {
    if (channel == nullptr) return 0;
    LogDeviceLine("UdComOpen:  opening %s\n", channel->port_name);

    const char* path = FindSerialDevicePath(channel->port_name);
    if (path == nullptr) path = channel->port_name;
    int fd = OpenLineExclusively(path);
    channel->handle = fd;
    if (fd < 0) {
        // The Windows build's words, with errno for GetLastError(): the tests read the same
        // three lines from both builds, so open() keeps the name CreateFile here.
        LogDeviceLine("UdComOpen:  CreateFile failed  %d\n", errno);
        return -1;
    }
    LastComHandle = fd;
    RememberOpenPort(fd);

    ConfigureLine(fd);
    RaiseModemLine(fd, TIOCM_RTS);
    RaiseModemLine(fd, TIOCM_DTR);

    // The counterpart of the read time-outs: every read returns at once with what is there.
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        LogDeviceLine("UdComOpen:  error %d setting timeouts\n", errno);
        return -1;
    }

    UdComSleep(2000);
    PurgeBothDirections(LastComHandle);
    return 1;
}

int32_t UdComReadByte(ComChannel* channel, uint8_t* out) {
    if (channel == nullptr || out == nullptr) return 0;
    if (TakePushedBackByte(channel, out)) return 1;
    tcdrain(channel->handle);
    ssize_t got = read(channel->handle, out, 1);
    return got == 1 ? 1 : -1;
}

int32_t UdComWrite(ComChannel* channel, const uint8_t* bytes, int32_t count) {
    if (channel == nullptr || bytes == nullptr || count <= 0) return 0;
    ssize_t written = write(channel->handle, bytes, static_cast<size_t>(count));
    if (written < 0) return -1;
    return written == count ? 1 : -1;
}

int32_t UdComWriteByte(ComChannel* channel, uint8_t byte) {
    if (channel == nullptr) return 0;
    ssize_t written = write(channel->handle, &byte, 1);
    if (written < 0) return -1;
    tcdrain(channel->handle);
    return written == 1 ? 1 : -1;
}

int32_t UdComClose() {
    PurgeBothDirections(LastComHandle);
    if (CloseLine(LastComHandle) != 0) return -1;
    ForgetOpenPort(LastComHandle);
    return 1;
}

void UdComSleep(uint32_t milliseconds) {
    timespec rest{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

uint32_t UdComTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

void UdComWaitReadable(ComChannel* channel, uint32_t milliseconds) {
    if (channel == nullptr) return;
    if (channel->push_back_flag == 1) return;
    pollfd watch{channel->handle, POLLIN, 0};
    int ready = poll(&watch, 1, static_cast<int>(milliseconds));
    // Anything but POLLIN alone is a hung-up or broken line. It reports at once and for
    // good, a hung-up one with POLLIN beside POLLHUP although every read finds nothing;
    // sleep on it instead of spinning.
    if (ready < 0 || (ready > 0 && watch.revents != POLLIN)) UdComSleep(milliseconds);
}

void ResetSerialChannelState() {
    CloseOpenPorts([](ComHandle handle) { CloseLine(handle); });
    LastComHandle = -1;
    SetDeviceLogSink(nullptr);
}
