// Windows of other processes, found as a user sees them: top-level windows by class, title and
// process on the calling thread's desktop, and among them dialog boxes, message boxes and open
// popup menus; waited for, read, and answered.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ql::test {

inline constexpr char kDialogClass[] = "#32770";  // dialog boxes, message boxes among them
inline constexpr char kMenuClass[] = "#32768";    // popup menus while they are open

// Polls `condition` until it holds (true) or `timeoutMs` has passed (false); asks at least once.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(25);
    }
    return true;
}

// Which top-level windows to find: of a class, of one process or of any (0), visible ones only or
// all, of one title or of any.
struct WindowQuery {
    WindowQuery(std::string className, DWORD processId = 0, bool visibleOnly = true,
                std::optional<std::string> title = std::nullopt)
        : className(std::move(className)), processId(processId), visibleOnly(visibleOnly), title(std::move(title)) {}
    std::string className;
    DWORD processId;
    bool visibleOnly;
    std::optional<std::string> title;
};

std::vector<HWND> FindWindows(const WindowQuery& query);
// The first window found within the time, or null.
HWND WaitForWindow(const WindowQuery& query, DWORD timeoutMs);
// True once no window is found, within the time.
bool WaitForNoWindow(const WindowQuery& query, DWORD timeoutMs);

std::string WindowText(HWND window);
// The message text of a message box: its static control 0xFFFF.
std::string MessageText(HWND box);

// The dialog boxes of process `processId` once one is open with its message text in place (a box
// can be visible before its text control is filled); what there is when the time is up.
std::vector<HWND> WaitForMessageBoxes(DWORD processId, DWORD timeoutMs);

struct MessageBoxSeen {
    std::string caption;
    std::string text;
    HWND owner = nullptr;  // the window that owns the box, null for none
};

// Waits for a dialog box of process `processId`, reads its caption and message text, and presses
// `button` (IDOK: the default button of an OK box). Nothing when none appeared in time.
std::optional<MessageBoxSeen> TakeMessageBox(DWORD processId, DWORD timeoutMs, int button = IDOK);

}  // namespace ql::test
