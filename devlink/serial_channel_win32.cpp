// The serial channel over the Windows communications API, as Windows 95 offers it.
#include <cstdio>

#include "devlink/device_link_testing.h"
#include "devlink/serial_channel.h"

ComHandle LastComHandle = INVALID_HANDLE_VALUE;

namespace {

const char kLineSettings[] = "baud=9600 parity=N data=8 stop=1";

// Ports opened and not yet closed, so that a test run can free what identification left.
constexpr int kMaxOpenPorts = 128;
HANDLE open_ports[kMaxOpenPorts];
int open_port_count = 0;

void RememberOpenPort(HANDLE handle) {
    if (open_port_count < kMaxOpenPorts) open_ports[open_port_count++] = handle;
}

void ForgetOpenPort(HANDLE handle) {
    for (int i = 0; i < open_port_count; ++i) {
        if (open_ports[i] == handle) {
            open_ports[i] = open_ports[--open_port_count];
            return;
        }
    }
}

void PurgeAll(HANDLE handle) {
    PurgeComm(handle, PURGE_TXABORT);
    PurgeComm(handle, PURGE_RXABORT);
    PurgeComm(handle, PURGE_TXCLEAR);
    PurgeComm(handle, PURGE_RXCLEAR);
}

}  // namespace

int32_t UdComOpen(ComChannel* channel) {
    if (channel == nullptr) return 0;
    printf("UdComOpen:  opening %s\n", channel->port_name);
    fflush(stdout);
    channel->handle = CreateFileA(channel->port_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (channel->handle == INVALID_HANDLE_VALUE) {
        printf("UdComOpen:  CreateFile failed  %d\n", static_cast<int>(GetLastError()));
        fflush(stdout);
        return -1;
    }
    LastComHandle = channel->handle;
    RememberOpenPort(channel->handle);

    DCB control{};
    GetCommState(channel->handle, &control);
    BuildCommDCBA(kLineSettings, &control);
    SetCommState(channel->handle, &control);

    EscapeCommFunction(channel->handle, SETRTS);
    EscapeCommFunction(channel->handle, SETDTR);

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (SetCommTimeouts(channel->handle, &timeouts) != 1) {
        printf("UdComOpen:  error %d setting timeouts\n", static_cast<int>(GetLastError()));
        fflush(stdout);
        return -1;
    }

    UdComSleep(2000);
    PurgeAll(LastComHandle);
    return 1;
}

int32_t UdComReadByte(ComChannel* channel, uint8_t* out) {
    if (channel == nullptr || out == nullptr) return 0;
    if (channel->push_back_flag == 1) {
        channel->push_back_flag = 0;
        *out = channel->pushed_back_byte;
        return 1;
    }
    FlushFileBuffers(channel->handle);
    DWORD read = 0;
    if (!ReadFile(channel->handle, out, 1, &read, nullptr)) return -1;
    return read == 1 ? 1 : -1;
}

int32_t UdComUnreadByte(ComChannel* channel, uint8_t byte) {
    if (channel == nullptr) return 0;
    channel->pushed_back_byte = byte;
    channel->push_back_flag = 1;
    return 1;
}

int32_t UdComWrite(ComChannel* channel, const uint8_t* bytes, int32_t count) {
    if (channel == nullptr || bytes == nullptr || count <= 0) return 0;
    DWORD written = 0;
    if (!WriteFile(channel->handle, bytes, static_cast<DWORD>(count), &written, nullptr)) return -1;
    return written == static_cast<DWORD>(count) ? 1 : -1;
}

int32_t UdComWriteByte(ComChannel* channel, uint8_t byte) {
    if (channel == nullptr) return 0;
    DWORD written = 0;
    if (!WriteFile(channel->handle, &byte, 1, &written, nullptr)) return -1;
    FlushFileBuffers(channel->handle);
    return written == 1 ? 1 : -1;
}

int32_t UdComClose() {
    PurgeAll(LastComHandle);
    if (CloseHandle(LastComHandle) == 0) return -1;
    ForgetOpenPort(LastComHandle);
    return 1;
}

int32_t UdComPortName(int32_t number, char* buffer, int32_t size) {
    if (buffer == nullptr || size <= 0 || number < 0 || number > 4) return 0;
    // At most "COM4" and its NUL; a smaller buffer gets what fits.
    char name[8];
    sprintf(name, "COM%d", static_cast<int>(number));
    int32_t i = 0;
    for (; i + 1 < size && name[i] != '\0'; ++i) buffer[i] = name[i];
    buffer[i] = '\0';
    return 1;
}

void UdComSleep(uint32_t milliseconds) { Sleep(milliseconds); }

uint32_t UdComTickCount() { return GetTickCount(); }

void UdComWaitReadable(ComChannel* channel, uint32_t milliseconds) {
    if (channel == nullptr || channel->push_back_flag == 1) return;
    // Windows 95 has no wait on a port opened without overlapped I/O; the driver buffers
    // what arrives meanwhile, so a short sleep loses nothing.
    Sleep(milliseconds < 2 ? milliseconds : 2);
}

void ResetSerialChannelState() {
    for (int i = 0; i < open_port_count; ++i) CloseHandle(open_ports[i]);
    open_port_count = 0;
    LastComHandle = INVALID_HANDLE_VALUE;
}
