#include "tray_harness.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <stdexcept>

#include "ql/unique_handle.h"
#include "ql/product_names.h"

namespace ql::test {

namespace {


template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(25);
    }
    return true;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

DWORD ProcessOf(HWND window) {
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    return id;
}

struct WindowSearch {
    const std::string* className;
    DWORD processId;
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter) {
    auto* s = reinterpret_cast<WindowSearch*>(parameter);
    if (ClassOf(window) == *s->className && (s->processId == 0 || ProcessOf(window) == s->processId) &&
        (!s->visibleOnly || IsWindowVisible(window)))
        s->found.push_back(window);
    return TRUE;
}

// Top-level windows of `className` (of one process, or of any when processId is 0).
std::vector<HWND> TopLevel(const std::string& className, DWORD processId, bool visibleOnly) {
    WindowSearch search{&className, processId, visibleOnly, {}};
    EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

struct Pixels {
    RECT area{};
    std::vector<std::uint32_t> bgr;  // 0x00RRGGBB, row by row from the top
};

// The notification area as it is on the screen.
Pixels CaptureTray() {
    Pixels pixels;
    HWND tray = FindWindowA("Shell_TrayWnd", nullptr);
    if (tray == nullptr || !GetWindowRect(tray, &pixels.area)) return pixels;
    const int width = pixels.area.right - pixels.area.left, height = pixels.area.bottom - pixels.area.top;
    if (width <= 0 || height <= 0) return pixels;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, pixels.area.left, pixels.area.top, SRCCOPY);
        GdiFlush();
        const auto* data = static_cast<const std::uint32_t*>(bits);
        pixels.bgr.assign(data, data + static_cast<size_t>(width) * height);
        for (auto& p : pixels.bgr) p &= 0xFFFFFF;
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

constexpr std::uint32_t kNavy = 0x000080, kCyan = 0x00FFFF;

}  // namespace

bool UseDesktop(const std::string& name) {
    HDESK handle = OpenDesktopA(name.c_str(), 0, FALSE, GENERIC_ALL);
    return handle != nullptr && SetThreadDesktop(handle);
}

const std::string& TrayDesktop() {
    static const std::string name = [] {
        const std::string desktop = "QLTray" + std::to_string(GetCurrentProcessId());
        // Wine's explorer runs the desktop with the X11 driver; it ends by itself once the last
        // process on the desktop has gone.
        std::string explorer = "explorer.exe /desktop=" + desktop + ",800x600,x11";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessA(nullptr, explorer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            throw std::runtime_error("cannot start explorer for the tray desktop");
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        if (!WaitUntil([&] { return UseDesktop(desktop); }, kUiTimeoutMs))
            throw std::runtime_error("cannot use desktop " + desktop);
        if (!WaitUntil([] { return FindWindowA("Shell_TrayWnd", nullptr) != nullptr; }, kUiTimeoutMs))
            throw std::runtime_error("no notification area on desktop " + desktop);
        return desktop;
    }();
    return name;
}

Child StartOnTrayDesktop(const std::string& commandLine) {
    Child::Options options;
    options.captureOutput = false;
    options.desktop = TrayDesktop();
    return Child(commandLine, options);
}

std::vector<HWND> MonitorWindows(DWORD processId) {
    std::vector<HWND> found;
    for (HWND window : TopLevel(ql::kTrayClassName, processId, false)) {
        char title[64] = {};
        GetWindowTextA(window, title, sizeof title);
        if (lstrcmpA(title, ql::kTrayWindowTitle) == 0) found.push_back(window);
    }
    return found;
}

HWND WaitForMonitorWindow(DWORD processId, DWORD timeoutMs) {
    HWND window = nullptr;
    WaitUntil(
        [&] {
            auto windows = MonitorWindows(processId);
            window = windows.empty() ? nullptr : windows.front();
            return window != nullptr;
        },
        timeoutMs);
    return window;
}

bool IconExists(HWND monitor) {
    NOTIFYICONDATAA record{};
    record.cbSize = sizeof record;
    record.hWnd = monitor;
    record.uID = 1;
    return Shell_NotifyIconA(NIM_MODIFY, &record) != FALSE;
}

bool DeleteIcon(HWND monitor) {
    NOTIFYICONDATAA record{};
    record.cbSize = sizeof record;
    record.hWnd = monitor;
    record.uID = 1;
    return Shell_NotifyIconA(NIM_DELETE, &record) != FALSE;
}

const char* ToString(TrayPicture picture) {
    switch (picture) {
    case TrayPicture::None: return "no icon";
    case TrayPicture::NotLoggedIn: return "not logged in";
    case TrayPicture::LoggedIn: return "logged in";
    }
    return "?";
}

TrayPicture ReadTrayPicture() {
    const Pixels pixels = CaptureTray();
    size_t navy = 0, cyan = 0;
    for (std::uint32_t p : pixels.bgr) {
        navy += p == kNavy;
        cyan += p == kCyan;
    }
    // The figure has some 120 navy pixels; the logged-in background some 100 cyan ones.
    if (navy < 50) return TrayPicture::None;
    return cyan >= 50 ? TrayPicture::LoggedIn : TrayPicture::NotLoggedIn;
}

bool WaitForTrayPicture(TrayPicture expected, DWORD timeoutMs) {
    return WaitUntil([&] { return ReadTrayPicture() == expected; }, timeoutMs);
}

HWND WaitForPopupMenu(DWORD processId, DWORD timeoutMs) {
    HWND popup = nullptr;
    WaitUntil(
        [&] {
            auto found = TopLevel("#32768", processId, true);
            popup = found.empty() ? nullptr : found.front();
            return popup != nullptr;
        },
        timeoutMs);
    return popup;
}

bool PopupMenuOpen(DWORD processId) { return !TopLevel("#32768", processId, true).empty(); }

bool WaitForPopupMenuClosed(DWORD processId, DWORD timeoutMs) {
    return WaitUntil([&] { return !PopupMenuOpen(processId); }, timeoutMs);
}

void PickMenuItem(HWND popup, int item) {
    // The menu's own loop reads the keys from its thread's queue; separators are skipped.
    for (int i = 0; i < item; ++i) PostMessageA(popup, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(popup, WM_KEYDOWN, VK_RETURN, 0);
}

void CloseMenu(HWND popup) { PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0); }

std::vector<HWND> DialogBoxes(DWORD processId) { return TopLevel("#32770", processId, true); }

bool WaitForNoProcessOf(const std::vector<std::string>& programs, DWORD timeoutMs) {
    auto runsOne = [&](DWORD processId) {
        UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        if (!process) return false;
        char path[MAX_PATH * 4] = {};
        DWORD length = sizeof path;
        if (!QueryFullProcessImageNameA(process.get(), 0, path, &length)) return false;
        for (const std::string& program : programs)
            if (lstrcmpiA(path, program.c_str()) == 0) return true;
        return false;
    };
    return WaitUntil(
        [&] {
            UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
            if (!snapshot) return false;
            PROCESSENTRY32 entry{};
            entry.dwSize = sizeof entry;
            for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry))
                if (runsOne(entry.th32ProcessID)) return false;
            return true;
        },
        timeoutMs);
}

}  // namespace ql::test
