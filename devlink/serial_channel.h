// The serial channel: a port opened by name at 9600 baud 8N1 with RTS and DTR raised,
// reads that never wait, one byte of push-back, and close. One implementation per
// platform (serial_channel_win32.cpp, serial_channel_posix.cpp), chosen at build time.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include "platform/win32.h"
typedef HANDLE ComHandle;
#else
typedef int ComHandle;  // file descriptor; -1 when not open
#endif

// Handle of the most recently opened port: UdComOpen sets it after a successful open,
// UdComClose purges and closes through it.
extern ComHandle LastComHandle;

// The channel fields that every DeviceRecord embeds.
struct ComChannel {
    uint8_t pushed_back_byte;
    int32_t push_back_flag;
    char port_name[64];
    ComHandle handle;
};

int32_t UdComOpen(ComChannel* channel);
int32_t UdComReadByte(ComChannel* channel, uint8_t* out);
int32_t UdComUnreadByte(ComChannel* channel, uint8_t byte);
int32_t UdComWrite(ComChannel* channel, const uint8_t* bytes, int32_t count);
int32_t UdComWriteByte(ComChannel* channel, uint8_t byte);
// Purges and closes the most recently opened port, whichever channel opened it.
int32_t UdComClose();
int32_t UdComPortName(int32_t number, char* buffer, int32_t size);
void UdComSleep(uint32_t milliseconds);

// Milliseconds of a free-running clock that wraps at 32 bits (GetTickCount on Windows);
// only differences of two readings mean anything.
uint32_t UdComTickCount();
// Waits up to the given time for a byte to arrive on the channel, and returns early when
// one does; where the platform cannot tell, it sleeps a couple of milliseconds at most.
// Lets a reader that found nothing idle instead of spinning.
void UdComWaitReadable(ComChannel* channel, uint32_t milliseconds);
