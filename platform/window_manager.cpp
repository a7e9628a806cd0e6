// The headless window manager of the native build. It keeps one thread's windows, a
// posted-message queue, the quit flag and the paint state of each window, and runs modal
// dialogs against a scripted user, the way user32 would, minus the pixels.
#include "platform/window_manager.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

struct WindowState {
    HWND handle;
    WNDPROC procedure;
    bool visible;
    bool needs_paint;
    bool destroyed;
};

struct ComboBox {
    HWND handle;
    std::vector<std::string> entries;
    int32_t selection;
};

// Only the two templates the installer ships are known: what the model needs of each.
struct TemplateShape {
    int32_t id;
    bool has_close_box;
    int32_t list_control_id;  // 0 when the dialog has no list
};

constexpr TemplateShape kTemplates[] = {
    {101, false, 1014},
    {111, true, 0},
};

constexpr uintptr_t kMainWindowBase = 0x1000;
constexpr uintptr_t kDialogBase = 0x2000;
constexpr uintptr_t kControlBase = 0x3000;
constexpr uintptr_t kIconBase = 0x40000;
constexpr uintptr_t kCursorBase = 0x50000;
constexpr uintptr_t kStockObjectBase = 0x60000;

struct ActiveDialog {
    HWND handle;
    DLGPROC procedure;
    const TemplateShape* shape;
    ComboBox list;
    size_t log_index;
};

struct Model {
    WindowingScript script;
    WindowingLog log;
    std::vector<WindowState> windows;
    std::vector<ActiveDialog*> dialog_stack;
    std::deque<MSG> queue;
    bool quit_posted = false;
    int quit_code = 0;
    size_t next_step = 0;
    uintptr_t dialogs_made = 0;
};

Model& TheModel() {
    static Model model;
    return model;
}

void Problem(const std::string& text) {
    std::fprintf(stderr, "windowing stand-in: %s\n", text.c_str());
    TheModel().log.problems.push_back(text);
}

WindowState* FindWindow(HWND handle) {
    for (WindowState& window : TheModel().windows)
        if (window.handle == handle) return &window;
    return nullptr;
}

ActiveDialog* FindDialog(HWND handle) {
    for (ActiveDialog* dialog : TheModel().dialog_stack)
        if (dialog->handle == handle) return dialog;
    return nullptr;
}

ComboBox* FindComboBox(HWND handle) {
    for (ActiveDialog* dialog : TheModel().dialog_stack)
        if (dialog->shape->list_control_id != 0 && dialog->list.handle == handle)
            return &dialog->list;
    return nullptr;
}

LRESULT CallWindow(WindowState& window, UINT message, WPARAM wparam, LPARAM lparam) {
    TheModel().log.main_window_messages.push_back(message);
    return window.procedure(window.handle, message, wparam, lparam);
}

// A combobox's list compares entries without regard to case, as the sorted list does.
int CompareEntries(const std::string& a, const std::string& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        int ca = std::tolower(static_cast<unsigned char>(a[i]));
        int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
    }
    return static_cast<int>(a.size()) - static_cast<int>(b.size());
}

LRESULT ComboBoxMessage(ComboBox& list, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case CB_ADDSTRING: {
        if (lparam == 0) return CB_ERR;
        std::string text(reinterpret_cast<const char*>(lparam));
        size_t at = list.entries.size();
        for (size_t i = 0; i < list.entries.size(); ++i) {
            if (CompareEntries(text, list.entries[i]) < 0) {
                at = i;
                break;
            }
        }
        list.entries.insert(list.entries.begin() + static_cast<std::ptrdiff_t>(at), text);
        if (list.selection >= static_cast<int32_t>(at)) ++list.selection;
        return static_cast<LRESULT>(at);
    }
    case CB_SETCURSEL: {
        auto index = static_cast<int32_t>(static_cast<uint32_t>(wparam));
        if (index < 0 || index >= static_cast<int32_t>(list.entries.size())) {
            list.selection = CB_ERR;
            return CB_ERR;
        }
        list.selection = index;
        return index;
    }
    case CB_GETCURSEL:
        return list.selection;
    case CB_GETCOUNT:
        return static_cast<LRESULT>(list.entries.size());
    default:
        return 0;
    }
}

void SnapshotDialog(const ActiveDialog& dialog) {
    ShownDialog& record = TheModel().log.dialogs[dialog.log_index];
    record.list_entries = dialog.list.entries;
    record.list_selection = dialog.list.selection;
}

// Plays the user's next step into the dialog; false when the script has none left.
bool PlayNextStep(ActiveDialog& dialog) {
    Model& model = TheModel();
    if (model.next_step >= model.script.steps.size()) return false;
    const UserStep step = model.script.steps[model.next_step++];
    HWND handle = dialog.handle;
    switch (step.action) {
    case UserAction::kSelectListIndex:
        if (dialog.shape->list_control_id == 0) {
            Problem("dialog " + std::to_string(dialog.shape->id) + " has no list to select from");
            return true;
        }
        if (step.index < 0 || step.index >= static_cast<int32_t>(dialog.list.entries.size())) {
            Problem("list index " + std::to_string(step.index) + " is not in a list of " +
                    std::to_string(dialog.list.entries.size()) + " entries");
            return true;
        }
        dialog.list.selection = step.index;
        dialog.procedure(handle, WM_COMMAND,
                         MAKEWPARAM(dialog.shape->list_control_id, CBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(dialog.list.handle));
        return true;
    case UserAction::kPressEnter:
        dialog.procedure(handle, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return true;
    case UserAction::kClickOk:
        dialog.procedure(handle, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         static_cast<LPARAM>(kControlBase + IDOK));
        return true;
    case UserAction::kPressEscape:
        dialog.procedure(handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return true;
    case UserAction::kClickCloseBox:
        // Without a system menu the caption has no close box to click.
        if (dialog.shape->has_close_box)
            dialog.procedure(handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return true;
    }
    return true;
}

}  // namespace

void ResetWindowing(const WindowingScript& script) {
    Model& model = TheModel();
    model.script = script;
    model.log = WindowingLog{};
    model.windows.clear();
    model.dialog_stack.clear();
    model.queue.clear();
    model.quit_posted = false;
    model.quit_code = 0;
    model.next_step = 0;
    model.dialogs_made = 0;
}

const WindowingLog& GetWindowingLog() { return TheModel().log; }

HICON StandInSystemIcon(uint16_t id) { return reinterpret_cast<HICON>(kIconBase + id); }

HCURSOR StandInSystemCursor(uint16_t id) { return reinterpret_cast<HCURSOR>(kCursorBase + id); }

ATOM WINAPI RegisterClassA(const WNDCLASSA* window_class) {
    Model& model = TheModel();
    if (window_class == nullptr || window_class->lpszClassName == nullptr ||
        window_class->lpfnWndProc == nullptr || model.script.fail_register_class)
        return 0;
    for (const std::string& name : model.log.registered_class_names)
        if (CompareEntries(name, window_class->lpszClassName) == 0) return 0;
    model.log.registered_classes.push_back(*window_class);
    model.log.registered_class_names.emplace_back(window_class->lpszClassName);
    // The caller's name may not outlive the call; point every record at the kept copies,
    // which may have moved as the list grew.
    for (size_t i = 0; i < model.log.registered_classes.size(); ++i)
        model.log.registered_classes[i].lpszClassName = model.log.registered_class_names[i].c_str();
    return static_cast<ATOM>(0xC000 + model.log.registered_classes.size());
}

HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR icon_name) {
    auto id = reinterpret_cast<uintptr_t>(icon_name);
    if (instance != nullptr || (id >> 16) != 0) return nullptr;
    return StandInSystemIcon(static_cast<uint16_t>(id));
}

HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR cursor_name) {
    auto id = reinterpret_cast<uintptr_t>(cursor_name);
    if (instance != nullptr || (id >> 16) != 0) return nullptr;
    return StandInSystemCursor(static_cast<uint16_t>(id));
}

HGDIOBJ WINAPI GetStockObject(int object) {
    if (object < 0 || object > 19) return nullptr;
    return reinterpret_cast<HGDIOBJ>(kStockObjectBase + static_cast<uintptr_t>(object));
}

HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR window_name, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
    Model& model = TheModel();
    CreatedWindow created{class_name ? class_name : "", window_name ? window_name : "",
                          ex_style, style, x, y, width, height, parent, menu, instance, param};
    model.log.created_windows.push_back(created);
    if (model.script.fail_create_window || class_name == nullptr) return nullptr;
    const WNDCLASSA* window_class = nullptr;
    for (size_t i = 0; i < model.log.registered_classes.size(); ++i)
        if (CompareEntries(model.log.registered_class_names[i], class_name) == 0)
            window_class = &model.log.registered_classes[i];
    if (window_class == nullptr) return nullptr;

    HWND handle = reinterpret_cast<HWND>(kMainWindowBase + model.windows.size());
    model.windows.push_back(WindowState{handle, window_class->lpfnWndProc,
                                        (style & WS_VISIBLE) != 0, true, false});
    CREATESTRUCTA creation{param, instance, menu, parent, height, width, y, x,
                           static_cast<LONG>(style), window_name, class_name, ex_style};
    auto creation_param = reinterpret_cast<LPARAM>(&creation);
    // Windows sends both creation messages before CreateWindowEx returns.
    if (CallWindow(model.windows.back(), WM_NCCREATE, 0, creation_param) == 0) return nullptr;
    WindowState* window = FindWindow(handle);
    if (CallWindow(*window, WM_CREATE, 0, creation_param) == -1) {
        window = FindWindow(handle);
        window->destroyed = true;
        CallWindow(*window, WM_DESTROY, 0, 0);
        return nullptr;
    }
    return handle;
}

BOOL WINAPI ShowWindow(HWND handle, int show_command) {
    WindowState* window = FindWindow(handle);
    if (window == nullptr || window->destroyed) return FALSE;
    TheModel().log.show_commands.push_back(show_command);
    bool was_visible = window->visible;
    if (show_command != SW_HIDE) window->visible = true;
    return was_visible ? TRUE : FALSE;
}

BOOL WINAPI GetClientRect(HWND handle, LPRECT rect) {
    WindowState* window = FindWindow(handle);
    if (window == nullptr || window->destroyed || rect == nullptr) return FALSE;
    rect->left = 0;
    rect->top = 0;
    rect->right = TheModel().script.client_width;
    rect->bottom = TheModel().script.client_height;
    return TRUE;
}

BOOL WINAPI IsWindowVisible(HWND handle) {
    WindowState* window = FindWindow(handle);
    return window != nullptr && !window->destroyed && window->visible ? TRUE : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG message, HWND, UINT, UINT) {
    Model& model = TheModel();
    if (message == nullptr || model.script.fail_get_message) return -1;
    if (model.script.destroy_before_first_paint && model.log.paints_dispatched == 0) {
        model.script.destroy_before_first_paint = false;
        for (WindowState& window : model.windows) {
            if (window.destroyed) continue;
            window.destroyed = true;
            window.visible = false;
            // A message sent from elsewhere is delivered inside the waiting GetMessage.
            CallWindow(window, WM_DESTROY, 0, 0);
        }
    }
    *message = MSG{};
    if (!model.queue.empty()) {
        *message = model.queue.front();
        model.queue.pop_front();
        return TRUE;
    }
    if (model.quit_posted) {
        model.quit_posted = false;
        message->message = WM_QUIT;
        message->wParam = static_cast<WPARAM>(model.quit_code);
        return FALSE;
    }
    bool has_client_area = model.script.client_width > 0 && model.script.client_height > 0;
    for (WindowState& window : model.windows) {
        if (window.destroyed || !window.visible || !window.needs_paint || !has_client_area)
            continue;
        message->hwnd = window.handle;
        message->message = WM_PAINT;
        return TRUE;
    }
    // A real thread would now sleep for ever; the stand-in reports it and gives up.
    Problem("GetMessageA would wait for ever: no message queued, no quit, nothing to paint");
    return -1;
}

// Nothing here produces character messages, so there is nothing to translate.
BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG* message) {
    if (message == nullptr) return 0;
    WindowState* window = FindWindow(message->hwnd);
    if (window == nullptr || window->destroyed) return 0;
    if (message->message == WM_PAINT) ++TheModel().log.paints_dispatched;
    return CallWindow(*window, message->message, message->wParam, message->lParam);
}

LRESULT WINAPI DefWindowProcA(HWND handle, UINT message, WPARAM, LPARAM) {
    WindowState* window = FindWindow(handle);
    switch (message) {
    case WM_NCCREATE:
        return TRUE;
    case WM_PAINT:
        // The default paint validates the whole window, so no further paint is due.
        if (window != nullptr) window->needs_paint = false;
        return 0;
    default:
        return 0;
    }
}

void WINAPI PostQuitMessage(int exit_code) {
    Model& model = TheModel();
    model.quit_posted = true;
    model.quit_code = exit_code;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND owner,
                               DLGPROC dialog_proc, LPARAM init_param) {
    Model& model = TheModel();
    auto name = reinterpret_cast<uintptr_t>(template_name);
    if ((name >> 16) != 0) {
        Problem("dialog template asked for by a string name");
        return -1;
    }
    const TemplateShape* shape = nullptr;
    for (const TemplateShape& candidate : kTemplates)
        if (static_cast<uintptr_t>(candidate.id) == name) shape = &candidate;
    if (shape == nullptr) {
        Problem("no dialog template " + std::to_string(name));
        return -1;
    }
    if (dialog_proc == nullptr) {
        Problem("dialog " + std::to_string(name) + " shown without a procedure");
        return -1;
    }
    if (model.script.fail_dialogs) return -1;
    ++model.dialogs_made;
    ActiveDialog dialog{reinterpret_cast<HWND>(kDialogBase + model.dialogs_made), dialog_proc,
                        shape,
                        ComboBox{reinterpret_cast<HWND>(kControlBase + 0x100 * model.dialogs_made +
                                                        static_cast<uintptr_t>(shape->list_control_id)),
                                 {}, CB_ERR},
                        model.log.dialogs.size()};
    model.log.dialogs.push_back(
        ShownDialog{shape->id, instance, owner, init_param, 0, {}, CB_ERR, false, 0});
    model.dialog_stack.push_back(&dialog);

    INT_PTR init_result = dialog_proc(dialog.handle, WM_INITDIALOG, 0, init_param);
    model.log.dialogs[dialog.log_index].init_dialog_result = init_result;
    while (!model.log.dialogs[dialog.log_index].ended) {
        if (!PlayNextStep(dialog)) {
            Problem("the script ran out while dialog " + std::to_string(shape->id) +
                    " was still up");
            break;
        }
    }
    SnapshotDialog(dialog);
    model.dialog_stack.pop_back();
    const ShownDialog& record = model.log.dialogs[dialog.log_index];
    return record.ended ? record.end_result : -1;
}

BOOL WINAPI EndDialog(HWND handle, INT_PTR result) {
    ActiveDialog* dialog = FindDialog(handle);
    if (dialog == nullptr) {
        Problem("EndDialog for a window that is no dialog");
        return FALSE;
    }
    ShownDialog& record = TheModel().log.dialogs[dialog->log_index];
    if (record.ended) return TRUE;
    record.ended = true;
    record.end_result = result;
    SnapshotDialog(*dialog);
    if (TheModel().script.on_dialog_end != nullptr) TheModel().script.on_dialog_end(record.template_id);
    return TRUE;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    Model& model = TheModel();
    model.log.message_boxes.push_back(ShownMessageBox{owner, text != nullptr ? text : "",
                                                      caption != nullptr ? caption : "Error", type,
                                                      static_cast<int32_t>(model.log.dialogs.size()),
                                                      0});
    ShownMessageBox& record = model.log.message_boxes.back();
    if (owner != nullptr && FindWindow(owner) == nullptr && FindDialog(owner) == nullptr) {
        Problem("message box owned by a window that does not exist");
    }
    if (model.next_step >= model.script.steps.size()) {
        Problem("the script ran out while a message box was up");
        return 0;
    }
    const UserStep step = model.script.steps[model.next_step++];
    if (step.action == UserAction::kSelectListIndex) {
        Problem("a message box has no list to select from");
        return 0;
    }
    // An MB_OK box has one button; Esc and the close box answer it too.
    record.answer = IDOK;
    return IDOK;
}

HWND WINAPI GetDlgItem(HWND handle, int control_id) {
    ActiveDialog* dialog = FindDialog(handle);
    if (dialog == nullptr) return nullptr;
    if (dialog->shape->list_control_id != 0 && control_id == dialog->shape->list_control_id)
        return dialog->list.handle;
    return nullptr;
}

LRESULT WINAPI SendMessageA(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
    if (ComboBox* list = FindComboBox(handle)) return ComboBoxMessage(*list, message, wparam, lparam);
    if (ActiveDialog* dialog = FindDialog(handle))
        return dialog->procedure(handle, message, wparam, lparam);
    if (WindowState* window = FindWindow(handle)) {
        if (window->destroyed) return 0;
        return CallWindow(*window, message, wparam, lparam);
    }
    return 0;
}
