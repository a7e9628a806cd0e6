// The communications calls over one pretend port; see comm_stand_in.h.
#include "comm_stand_in.h"

#include <algorithm>
#include <sstream>

static_assert(sizeof(DCB) == 28, "the DCB must keep Windows' layout");

const HANDLE kStandInPort = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x44));

namespace {

CommStandIn stand_in;
DWORD last_error = 0;

bool IsOpen(HANDLE handle) {
    const auto& opened = stand_in.opened;
    const auto& closed = stand_in.closed;
    return std::find(opened.begin(), opened.end(), handle) != opened.end() &&
           std::find(closed.begin(), closed.end(), handle) == closed.end();
}

// Every call names the handle it acts on; one that is not open is written into the record.
void Record(HANDLE handle, const std::string& call) {
    stand_in.calls.push_back(IsOpen(handle) ? call : call + " on a stranger handle");
}

std::string EscapeName(DWORD function) {
    switch (function) {
        case SETRTS: return "SETRTS";
        case SETDTR: return "SETDTR";
        default: return std::to_string(function);
    }
}

std::string PurgeNames(DWORD flags) {
    static const struct {
        DWORD flag;
        const char* name;
    } kNames[] = {{PURGE_TXABORT, "PURGE_TXABORT"},
                  {PURGE_RXABORT, "PURGE_RXABORT"},
                  {PURGE_TXCLEAR, "PURGE_TXCLEAR"},
                  {PURGE_RXCLEAR, "PURGE_RXCLEAR"}};
    std::string names;
    for (const auto& entry : kNames) {
        if ((flags & entry.flag) == 0) continue;
        if (!names.empty()) names += "|";
        names += entry.name;
    }
    return names;
}

// The keys of a mode text that the channel uses ("baud=9600 parity=N data=8 stop=1"); like
// Windows, only the members that the text names change. Anything else makes it fail.
bool ApplyDefinition(const std::string& definition, DCB* dcb) {
    std::istringstream words(definition);
    std::string word;
    while (words >> word) {
        const auto equals = word.find('=');
        if (equals == std::string::npos) return false;
        const std::string key = word.substr(0, equals), value = word.substr(equals + 1);
        if (key == "baud") {
            dcb->BaudRate = static_cast<DWORD>(std::stoul(value));
        } else if (key == "data") {
            dcb->ByteSize = static_cast<BYTE>(std::stoul(value));
        } else if (key == "parity") {
            const std::string letters = "NOEMS";
            const auto at = letters.find(value);
            if (value.size() != 1 || at == std::string::npos) return false;
            dcb->Parity = static_cast<BYTE>(at);
            dcb->fParity = at != NOPARITY;
        } else if (key == "stop") {
            if (value == "1") dcb->StopBits = ONESTOPBIT;
            else if (value == "1.5") dcb->StopBits = ONE5STOPBITS;
            else if (value == "2") dcb->StopBits = TWOSTOPBITS;
            else return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

CommStandIn& Comm() { return stand_in; }

void ResetCommStandIn() {
    stand_in = CommStandIn{};
    last_error = 0;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES,
                          DWORD creation, DWORD flags, HANDLE) {
    stand_in.calls.push_back(std::string("CreateFileA ") + name);
    stand_in.opened_name = name;
    stand_in.open_access = access;
    stand_in.open_share_mode = share_mode;
    stand_in.open_creation = creation;
    stand_in.open_flags = flags;
    if (!stand_in.port_opens) {
        last_error = stand_in.open_error;
        return INVALID_HANDLE_VALUE;
    }
    const intptr_t first = reinterpret_cast<intptr_t>(kStandInPort);
    const HANDLE handle = reinterpret_cast<HANDLE>(
        first + 4 * static_cast<intptr_t>(stand_in.opened.size()));
    stand_in.opened.push_back(handle);
    return handle;
}

// Closing a handle that is not open (a second time, say) fails, as on Windows.
BOOL WINAPI CloseHandle(HANDLE handle) {
    Record(handle, "CloseHandle");
    const bool was_open = IsOpen(handle);
    stand_in.closed.push_back(handle);
    if (!was_open) {
        last_error = 6;  // ERROR_INVALID_HANDLE
        return 0;
    }
    return 1;
}

DWORD WINAPI GetLastError() { return last_error; }

BOOL WINAPI GetCommState(HANDLE handle, LPDCB dcb) {
    Record(handle, "GetCommState");
    stand_in.dcb_at_get_comm_state = *dcb;
    // Fills in the port's settings and leaves the length the caller declared.
    const DWORD declared_length = dcb->DCBlength;
    *dcb = stand_in.port_state;
    dcb->DCBlength = declared_length;
    return 1;
}

BOOL WINAPI BuildCommDCBA(LPCSTR definition, LPDCB dcb) {
    stand_in.calls.push_back(std::string("BuildCommDCBA ") + definition);
    return ApplyDefinition(definition, dcb);
}

BOOL WINAPI SetCommState(HANDLE handle, LPDCB dcb) {
    Record(handle, "SetCommState");
    stand_in.dcb_at_set_comm_state = *dcb;
    return 1;
}

BOOL WINAPI EscapeCommFunction(HANDLE handle, DWORD function) {
    Record(handle, "EscapeCommFunction " + EscapeName(function));
    return 1;
}

BOOL WINAPI SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    Record(handle, "SetCommTimeouts");
    stand_in.timeouts = *timeouts;
    if (stand_in.set_timeouts_answer == 0) last_error = stand_in.set_timeouts_error;
    return stand_in.set_timeouts_answer;
}

BOOL WINAPI PurgeComm(HANDLE handle, DWORD flags) {
    Record(handle, "PurgeComm " + PurgeNames(flags));
    return 1;
}

BOOL WINAPI FlushFileBuffers(HANDLE handle) {
    Record(handle, "FlushFileBuffers");
    return 1;
}

// With the channel's time-outs a read returns at once with what has arrived, possibly
// nothing, and every write goes out whole.
BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED) {
    Record(handle, "ReadFile " + std::to_string(count));
    *read = 0;
    if (stand_in.read_answer == 0) return 0;
    const size_t taken = std::min<size_t>(count, stand_in.arriving.size());
    std::copy_n(stand_in.arriving.begin(), taken, static_cast<char*>(buffer));
    stand_in.arriving.erase(0, taken);
    *read = static_cast<DWORD>(taken);
    return 1;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID, DWORD count, LPDWORD written, LPOVERLAPPED) {
    Record(handle, "WriteFile " + std::to_string(count));
    *written = count;
    return 1;
}

// The channel's settle wait is recorded, not slept.
void WINAPI Sleep(DWORD milliseconds) {
    stand_in.calls.push_back("Sleep " + std::to_string(milliseconds));
}

DWORD WINAPI GetTickCount() { return 0; }
