// A stand-in of the Windows communications calls that serial_channel_win32.cpp makes, for
// testing that file natively. It answers like a serial port that opens, with a handle of its
// own each time, records each call in order (as text: "EscapeCommFunction SETRTS"), keeps
// the DCB exactly as it reached GetCommState and SetCommState, answers SetCommTimeouts with
// whatever a test sets, hands out the bytes a test puts on the line one read at a time, and
// keeps which handles it opened and which it was asked to close.
#pragma once

#include <string>
#include <vector>

#include "win32_comm/windows.h"

struct CommStandIn {
    // What the port answers.
    bool port_opens = true;
    DWORD open_error = 0;              // GetLastError after a failed open
    DCB port_state{};                  // the port's settings as its previous user left them
    BOOL set_timeouts_answer = 1;      // any BOOL: Windows promises only zero or nonzero
    DWORD set_timeouts_error = 0;      // GetLastError after SetCommTimeouts answered 0
    std::string arriving;              // bytes on the line, not read yet
    BOOL read_answer = 1;              // 0: ReadFile fails, reading nothing

    // What reached it.
    std::vector<std::string> calls;
    std::string opened_name;
    DWORD open_access = 0, open_share_mode = 0, open_creation = 0, open_flags = 0;
    DCB dcb_at_get_comm_state{};       // as the caller handed it in, before it was filled
    DCB dcb_at_set_comm_state{};
    COMMTIMEOUTS timeouts{};
    std::vector<HANDLE> opened;        // what each CreateFileA that succeeded gave, in order
    std::vector<HANDLE> closed;        // what each CloseHandle was given, in order
};

// The handle of the first port that the stand-in opens; each later open gives another.
extern const HANDLE kStandInPort;

// The one stand-in; ResetCommStandIn gives a fresh one.
CommStandIn& Comm();
void ResetCommStandIn();
