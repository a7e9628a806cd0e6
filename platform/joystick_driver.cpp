// The joystick driver and the broadcast calls of the native build: answers set by tests,
// every call kept in order.
#include "platform/joystick_driver.h"

#include <cstring>
#include <map>
#include <set>

#include "platform/case_fold.h"

namespace {

struct DriverState {
    bool present = true;
    std::string reg_key = "DINPUT.DLL";
    bool unterminated = false;
    bool opens = true;
    LRESULT answer = 1;
    std::vector<JoystickDriverCall> calls;
    std::set<uintptr_t> open_handles;
    uintptr_t next_handle = 0x2000;
    std::map<std::string, UINT> window_messages;
    int32_t caps_queries = 0;
    void (*observer)(UINT message) = nullptr;
};

DriverState& State() {
    static DriverState state;
    return state;
}

std::string Narrow(LPCWSTR text) {
    std::string narrow;
    if (text == nullptr) return narrow;
    for (; *text != 0; ++text) narrow += static_cast<char>(*text & 0xff);
    return narrow;
}

}  // namespace

void ResetJoystickDriver() { State() = DriverState(); }

void SetJoystickDriverPresent(bool present) { State().present = present; }

void SetJoystickDriverRegKey(const std::string& name, bool unterminated) {
    State().reg_key = name.substr(0, unterminated ? MAXPNAMELEN : MAXPNAMELEN - 1);
    State().unterminated = unterminated;
}

void SetJoystickDriverOpens(bool opens) { State().opens = opens; }

void SetJoystickDriverAnswer(LRESULT answer) { State().answer = answer; }

void SetJoystickDriverMessageObserver(void (*observer)(UINT message)) {
    State().observer = observer;
}

const std::vector<JoystickDriverCall>& JoystickDriverCalls() { return State().calls; }

void ClearJoystickDriverCalls() { State().calls.clear(); }

std::vector<uint32_t> JoystickDriverMessageCodes() {
    std::vector<uint32_t> codes;
    for (const JoystickDriverCall& call : State().calls) {
        if (call.kind == JoystickDriverCall::kMessage) codes.push_back(call.code);
    }
    return codes;
}

int32_t JoystickBroadcastCount() {
    int32_t count = 0;
    for (const JoystickDriverCall& call : State().calls) {
        if (call.kind == JoystickDriverCall::kPost && call.window == HWND_BROADCAST) ++count;
    }
    return count;
}

int32_t OpenJoystickDriverCount() { return static_cast<int32_t>(State().open_handles.size()); }

int32_t JoystickCapsQueryCount() { return State().caps_queries; }

MMRESULT WINAPI joyGetDevCapsA(UINT_PTR joystick_id, LPJOYCAPSA caps, UINT caps_size) {
    DriverState& state = State();
    ++state.caps_queries;
    if (!state.present) return MMSYSERR_NODRIVER;
    if (caps == nullptr || caps_size < sizeof(JOYCAPSA)) return JOYERR_PARMS;
    // Asked for joystick -1 the driver only names itself: the rest is left as it was.
    if (static_cast<uint32_t>(joystick_id) != 0xFFFFFFFFu) std::memset(caps, 0, sizeof(JOYCAPSA));
    if (state.unterminated) {
        std::memset(caps->szRegKey, ' ', sizeof caps->szRegKey);
        std::memcpy(caps->szRegKey, state.reg_key.data(),
                    state.reg_key.size() < sizeof caps->szRegKey ? state.reg_key.size()
                                                                  : sizeof caps->szRegKey);
    } else {
        std::memset(caps->szRegKey, 0, sizeof caps->szRegKey);
        std::memcpy(caps->szRegKey, state.reg_key.c_str(), state.reg_key.size() + 1);
    }
    return JOYERR_NOERROR;
}

HDRVR WINAPI OpenDriver(LPCWSTR driver_name, LPCWSTR section_name, LPARAM param) {
    DriverState& state = State();
    JoystickDriverCall call;
    call.kind = JoystickDriverCall::kOpen;
    call.text = Narrow(driver_name);
    call.section = Narrow(section_name);
    call.param1 = param;
    if (state.opens) {
        const uintptr_t id = state.next_handle;
        state.next_handle += 4;
        state.open_handles.insert(id);
        call.driver = reinterpret_cast<HDRVR>(id);
    }
    state.calls.push_back(call);
    return call.driver;
}

LRESULT WINAPI SendDriverMessage(HDRVR driver, UINT message, LPARAM param1, LPARAM param2) {
    DriverState& state = State();
    const bool open = state.open_handles.count(reinterpret_cast<uintptr_t>(driver)) != 0;
    JoystickDriverCall call;
    call.kind = JoystickDriverCall::kMessage;
    call.driver = driver;
    call.code = message;
    call.param1 = param1;
    call.param2 = param2;
    call.answer = open ? state.answer : 0;
    state.calls.push_back(call);
    if (state.observer != nullptr) state.observer(message);
    return call.answer;
}

LRESULT WINAPI CloseDriver(HDRVR driver, LPARAM param1, LPARAM param2) {
    DriverState& state = State();
    JoystickDriverCall call;
    call.kind = JoystickDriverCall::kClose;
    call.driver = driver;
    call.param1 = param1;
    call.param2 = param2;
    call.answer = state.open_handles.erase(reinterpret_cast<uintptr_t>(driver)) != 0 ? 1 : 0;
    state.calls.push_back(call);
    return call.answer;
}

UINT WINAPI RegisterWindowMessageA(LPCSTR name) {
    DriverState& state = State();
    if (name == nullptr || *name == 0) return 0;
    // Registered messages are numbered from 0xC000, one per name whatever its case.
    auto [entry, added] = state.window_messages.try_emplace(
        FoldCase(name), static_cast<UINT>(0xC000 + state.window_messages.size()));
    JoystickDriverCall call;
    call.kind = JoystickDriverCall::kRegisterMessage;
    call.text = name;
    call.code = entry->second;
    state.calls.push_back(call);
    return entry->second;
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    JoystickDriverCall call;
    call.kind = JoystickDriverCall::kPost;
    call.window = window;
    call.code = message;
    call.param1 = static_cast<int64_t>(wparam);
    call.param2 = lparam;
    State().calls.push_back(call);
    return TRUE;
}
