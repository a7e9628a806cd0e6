// The serial channel: a port opened by name at 9600 baud 8N1 with RTS and DTR raised,
// reads that never wait, one byte of push-back, and close. One implementation per
// platform (serial_channel_win32.cpp, serial_channel_posix.cpp), chosen at build time.
//
// Results: 1 done; 0 a missing argument (null channel or buffer, a count or number out
// of range), nothing touched; -1 the port failed. Only UdComOpen logs, and only its
// three lines: "opening", "CreateFile failed" and "error ... setting timeouts".
// Order: UdComOpen, then reads and writes on that channel, then UdComClose.
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

// Opens channel->port_name exclusively and sets the line up; costs a 2000 ms settle
// wait, after which both directions are purged. 1 open: the handle is in the channel and
// in LastComHandle. -1 when the port cannot be opened (missing, held elsewhere, not a
// serial line): the channel's handle is invalid and LastComHandle keeps the earlier port.
// -1 also when the time-outs cannot be set, and then the port stays open and last.
int32_t UdComOpen(ComChannel* channel);
// Never waits. 1 a byte in *out: the pushed-back one first (the port untouched, the
// push-back used up), else one from the port. -1 nothing has arrived, or the read failed.
int32_t UdComReadByte(ComChannel* channel, uint8_t* out);
// Keeps the byte for the next read, replacing any byte already kept; always 1.
int32_t UdComUnreadByte(ComChannel* channel, uint8_t byte);
// 1 every byte went out; -1 the write failed or fell short. Nothing is drained after it.
int32_t UdComWrite(ComChannel* channel, const uint8_t* bytes, int32_t count);
// 1 the byte went out and has been drained to the line; -1 the write failed.
int32_t UdComWriteByte(ComChannel* channel, uint8_t byte);
// Purges and closes the most recently opened port, whichever channel opened it, and
// gives up its exclusive hold. 1 closed; -1 the close failed. LastComHandle still names
// the closed port afterwards, so only one close may follow each open.
int32_t UdComClose();
// Writes "COM<number>" for 0 to 4, cut to fit the buffer. 1 written; 0 otherwise, with
// the buffer untouched.
int32_t UdComPortName(int32_t number, char* buffer, int32_t size);
// Sleeps the whole time, with no regard to the ports.
void UdComSleep(uint32_t milliseconds);

// Milliseconds of a free-running clock that wraps at 32 bits (GetTickCount on Windows);
// only differences of two readings mean anything.
uint32_t UdComTickCount();
// Waits up to the given time for a byte to arrive on the channel, and returns early when
// one does or a byte is pushed back; where the platform cannot tell, it sleeps a couple
// of milliseconds at most. A line that can never deliver (hung up, broken) never ends the
// wait early. Lets a reader that found nothing idle instead of spinning.
void UdComWaitReadable(ComChannel* channel, uint32_t milliseconds);
