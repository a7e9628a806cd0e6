// Test-facing side of the joystick driver stand-in: what joyGetDevCapsA, OpenDriver and
// SendDriverMessage answer, and the ordered record of every driver and broadcast call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

struct JoystickDriverCall {
    enum Kind {
        kOpen,             // OpenDriver; text = driver name, section = section name
        kMessage,          // SendDriverMessage; code, param1, param2, answer
        kClose,            // CloseDriver; param1, param2
        kRegisterMessage,  // RegisterWindowMessageA; text = name, code = id handed out
        kPost,             // PostMessageA; window, code = message, param1 = wParam, param2 = lParam
    };
    Kind kind = kOpen;
    std::string text;
    std::string section;
    uint32_t code = 0;
    int64_t param1 = 0;
    int64_t param2 = 0;
    int64_t answer = 0;
    HDRVR driver = nullptr;
    HWND window = nullptr;
};

// A present driver whose key is "DINPUT.DLL", that opens and answers every message with 1;
// the call record is emptied and every driver handle forgotten.
void ResetJoystickDriver();
// Whether joyGetDevCapsA succeeds (otherwise it answers MMSYSERR_NODRIVER).
void SetJoystickDriverPresent(bool present);
// The szRegKey that joyGetDevCapsA reports; at most 31 characters are kept. With
// unterminated set, the first 32 characters fill szRegKey with no NUL (a shorter name is
// padded with blanks), as a faulty driver might leave it.
void SetJoystickDriverRegKey(const std::string& name, bool unterminated = false);
void SetJoystickDriverOpens(bool opens);
// What SendDriverMessage answers to every message.
void SetJoystickDriverAnswer(LRESULT answer);
// Called with each message the driver receives, as it arrives, so that a test can look at
// the rest of the machine at that moment; a reset removes it.
void SetJoystickDriverMessageObserver(void (*observer)(UINT message));

const std::vector<JoystickDriverCall>& JoystickDriverCalls();
void ClearJoystickDriverCalls();
// Codes of the driver messages sent, in order.
std::vector<uint32_t> JoystickDriverMessageCodes();
// PostMessageA calls made to HWND_BROADCAST.
int32_t JoystickBroadcastCount();
// Driver handles opened and not closed.
int32_t OpenJoystickDriverCount();
// joyGetDevCapsA calls since the last reset.
int32_t JoystickCapsQueryCount();
