#include "tray_harness.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <stdexcept>

#include "ql/unique_handle.h"
#include "ql/product_names.h"

namespace ql::test {

namespace {

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

WindowQuery MonitorWindow(DWORD processId) {
    return {ql::kTrayClassName, processId, false, ql::kTrayWindowTitle};
}

// The monitor's icon (its window, id 1) told `message` with nothing else set.
static bool NotifyIcon(HWND monitor, DWORD message) {
    NOTIFYICONDATAA record{};
    record.cbSize = sizeof record;
    record.hWnd = monitor;
    record.uID = 1;
    return Shell_NotifyIconA(message, &record) != FALSE;
}

bool IconExists(HWND monitor) { return NotifyIcon(monitor, NIM_MODIFY); }

bool DeleteIcon(HWND monitor) { return NotifyIcon(monitor, NIM_DELETE); }

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
