// The serial channel over the Windows communications API, as Windows 95 offers it.
#include "devlink/device_link_testing.h"
#include "devlink/device_log.h"
#include "devlink/serial_channel.h"
#include "devlink/serial_channel_common.h"

ComHandle LastComHandle = INVALID_HANDLE_VALUE;

namespace {

const char kLineSettings[] = "baud=9600 parity=N data=8 stop=1";

void PurgeAll(HANDLE handle) {
    PurgeComm(handle, PURGE_TXABORT);
    PurgeComm(handle, PURGE_RXABORT);
    PurgeComm(handle, PURGE_TXCLEAR);
    PurgeComm(handle, PURGE_RXCLEAR);
}

}  // namespace

int32_t UdComOpen(ComChannel* channel) {
    if (channel == nullptr) return 0;
    LogDeviceLine("UdComOpen:  opening %s\n", channel->port_name);
    channel->handle = CreateFileA(channel->port_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (channel->handle == INVALID_HANDLE_VALUE) {
        LogDeviceLine("UdComOpen:  CreateFile failed  %d\n", static_cast<int>(GetLastError()));
        return -1;
    }
    LastComHandle = channel->handle;

    DCB control{};
    control.DCBlength = sizeof(DCB);
    GetCommState(channel->handle, &control);
    BuildCommDCBA(kLineSettings, &control);
    // The port keeps whatever its previous user set. Left on, a framing error while the
    // controller powers up on DTR and RTS would stop every read until ClearCommError.
    control.fAbortOnError = 0;
    SetCommState(channel->handle, &control);

    EscapeCommFunction(channel->handle, SETRTS);
    EscapeCommFunction(channel->handle, SETDTR);

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    // A BOOL promises only nonzero for success, not 1.
    if (SetCommTimeouts(channel->handle, &timeouts) == 0) {
        LogDeviceLine("UdComOpen:  error %d setting timeouts\n", static_cast<int>(GetLastError()));
        return -1;
    }

    UdComSleep(2000);
    PurgeAll(LastComHandle);
    return 1;
}

int32_t UdComReadByte(ComChannel* channel, uint8_t* out) {
    if (channel == nullptr || out == nullptr) return 0;
    if (TakePushedBackByte(channel, out)) return 1;
    FlushFileBuffers(channel->handle);
    DWORD read = 0;
    if (!ReadFile(channel->handle, out, 1, &read, nullptr)) return -1;
    return read == 1 ? 1 : -1;
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

// No test process runs the Windows build (its unit test runs this file over a stand-in of
// the ports), so it keeps no list of open ports to close here: the process's end closes them.
void ResetSerialChannelState() {
    LastComHandle = INVALID_HANDLE_VALUE;
    SetDeviceLogSink(nullptr);
}
