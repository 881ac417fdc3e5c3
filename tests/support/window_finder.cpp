#include "window_finder.h"

namespace ql::test {

namespace {

struct Search {
    const WindowQuery* query;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    const WindowQuery& query = *search->query;
    char className[256] = {};
    GetClassNameA(window, className, sizeof className);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (query.className == className && (query.processId == 0 || query.processId == processId) &&
        (!query.visibleOnly || IsWindowVisible(window)) && (!query.title || *query.title == WindowText(window)))
        search->found.push_back(window);
    return TRUE;
}

}  // namespace

std::vector<HWND> FindWindows(const WindowQuery& query) {
    Search search{&query, {}};
    EnumWindows(&Collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForWindow(const WindowQuery& query, DWORD timeoutMs) {
    HWND window = nullptr;
    WaitUntil(
        [&] {
            const std::vector<HWND> found = FindWindows(query);
            window = found.empty() ? nullptr : found.front();
            return window != nullptr;
        },
        timeoutMs);
    return window;
}

bool WaitForNoWindow(const WindowQuery& query, DWORD timeoutMs) {
    return WaitUntil([&] { return FindWindows(query).empty(); }, timeoutMs);
}

std::string WindowText(HWND window) {
    char text[4096] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string MessageText(HWND box) {
    char text[4096] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

std::vector<HWND> WaitForMessageBoxes(DWORD processId, DWORD timeoutMs) {
    std::vector<HWND> boxes;
    WaitUntil(
        [&] {
            boxes = FindWindows({kDialogClass, processId});
            return !boxes.empty() && !MessageText(boxes.front()).empty();
        },
        timeoutMs);
    return boxes;
}

std::optional<MessageBoxSeen> TakeMessageBox(DWORD processId, DWORD timeoutMs, int button) {
    HWND box = WaitForWindow({kDialogClass, processId}, timeoutMs);
    if (box == nullptr) return std::nullopt;
    // The text is read once there is some, the box is gone, or a few seconds passed.
    WaitUntil([&] { return !MessageText(box).empty() || !IsWindow(box); }, 5000);
    MessageBoxSeen seen{WindowText(box), MessageText(box), GetWindow(box, GW_OWNER)};
    PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(button), 0);
    return seen;
}

}  // namespace ql::test
