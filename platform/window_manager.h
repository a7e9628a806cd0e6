// Test-facing side of the headless window manager behind CreateWindowExA, DialogBoxParamA
// and their siblings: the script of the user a test plays, and the log of what the program
// asked of the windowing system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

// What the scripted user does while a dialog or a message box is up, one step at a time.
// A message box takes Enter, Esc, its OK button and its close box, and answers IDOK to
// each, as an MB_OK box does.
enum class UserAction {
    kSelectListIndex,  // picks entry `index` of the port list (control 1014)
    kPressEnter,       // presses the default button: WM_COMMAND IDOK
    kPressEscape,      // WM_COMMAND IDCANCEL
    kClickOk,          // clicks the OK button: WM_COMMAND IDOK from the button
    kClickCloseBox,    // the caption's close box: IDCANCEL where the dialog has one
};

struct UserStep {
    UserAction action;
    int32_t index;  // for kSelectListIndex only
};

struct WindowingScript {
    // The user's steps, consumed in order across all dialogs of the run.
    std::vector<UserStep> steps;
    // Client area the main window gets once shown; Wine gives a window created with zero
    // width and height a 108 x 0 client area.
    int32_t client_width = 108;
    int32_t client_height = 0;
    // Delivers WM_DESTROY to the main window when the message loop first waits.
    bool destroy_before_first_paint = false;
    bool fail_register_class = false;
    bool fail_create_window = false;
    // GetMessageA answers -1, as for a bad window or message pointer.
    bool fail_get_message = false;
    // DialogBoxParamA answers -1 at once, as when the template cannot be loaded or the
    // dialog not made; the procedure is not called and no dialog is logged.
    bool fail_dialogs = false;
    // Called as a dialog ends (EndDialog), so that a test can look at the rest of the
    // machine at that moment.
    void (*on_dialog_end)(int32_t template_id) = nullptr;
};

struct ShownDialog {
    int32_t template_id;
    HINSTANCE instance;
    HWND owner;
    LPARAM init_param;
    INT_PTR init_dialog_result;  // what the procedure answered to WM_INITDIALOG
    std::vector<std::string> list_entries;  // port list when the dialog ended
    int32_t list_selection;                 // CB_ERR when nothing was selected
    bool ended;
    INT_PTR end_result;  // the value passed to EndDialog
};

struct ShownMessageBox {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
    int32_t dialogs_before;  // dialogs shown before this box appeared
    int answer;              // what MessageBoxA returned
};

struct CreatedWindow {
    std::string class_name;
    std::string title;
    DWORD ex_style;
    DWORD style;
    int x, y, width, height;
    HWND parent;
    HMENU menu;
    HINSTANCE instance;
    LPVOID param;
};

struct WindowingLog {
    std::vector<WNDCLASSA> registered_classes;
    std::vector<std::string> registered_class_names;
    std::vector<CreatedWindow> created_windows;
    std::vector<uint32_t> main_window_messages;  // every message the window procedure got
    std::vector<int> show_commands;
    std::vector<ShownDialog> dialogs;
    std::vector<ShownMessageBox> message_boxes;
    int32_t paints_dispatched = 0;
    // Anything the script could not play or the program did that Windows would refuse or
    // hang on; a run that went as scripted leaves this empty.
    std::vector<std::string> problems;
};

// Forgets every class, window, dialog and queued message, and takes a new script.
void ResetWindowing(const WindowingScript& script);
const WindowingLog& GetWindowingLog();
// What LoadIconA and LoadCursorA hand out for a system resource id (no module).
HICON StandInSystemIcon(uint16_t id);
HCURSOR StandInSystemCursor(uint16_t id);
