#include "message_box.h"

namespace ql::test {

namespace {

struct Search {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindDialogOf(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[32] = {};
    GetClassNameA(window, className, sizeof className);
    if (owner == search->processId && lstrcmpA(className, "#32770") == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

std::string TextOf(HWND window) {
    char text[4096] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

}  // namespace

std::optional<MessageBoxSeen> TakeMessageBox(DWORD processId, DWORD timeoutMs, int button) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    Search search{processId, nullptr};
    while (EnumWindows(&FindDialogOf, reinterpret_cast<LPARAM>(&search)), search.found == nullptr) {
        if (GetTickCount64() >= deadline) return std::nullopt;
        Sleep(25);
    }
    // The message text of a message box is its static control 0xFFFF. A box can be visible before
    // its text is in place: it is read once there is some, the box is gone, or a few seconds passed.
    char text[4096] = {};
    const ULONGLONG textDeadline = GetTickCount64() + 5000;
    while (GetDlgItemTextA(search.found, 0xFFFF, text, sizeof text) == 0 && IsWindow(search.found) &&
           GetTickCount64() < textDeadline)
        Sleep(10);
    MessageBoxSeen seen;
    seen.caption = TextOf(search.found);
    seen.text = text;
    seen.owner = GetWindow(search.found, GW_OWNER);
    PostMessageA(search.found, WM_COMMAND, static_cast<WPARAM>(button), 0);
    return seen;
}

}  // namespace ql::test
