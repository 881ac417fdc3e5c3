// Shared steps of the launcher tests: start a launcher in a product tree, wait for the application
// double, close things down.
#pragma once

#include <windows.h>

#include <string>

#include "child_process.h"
#include "printers.h"
#include "sandbox.h"
#include "ql/product_names.h"

namespace ql::test {

// Generous bounds for things that normally take well under a second (32-bit runs go through qemu).
inline constexpr DWORD kStartTimeoutMs = 30000;

inline Child StartLauncher(const ProductTree& tree, const std::string& arguments, bool suspended = false) {
    Child::Options options;
    options.captureOutput = false;  // the Java process inherits the launcher's handles
    options.suspended = suspended;
    return Child(tree.LauncherCommand(arguments), options);
}

// The monitor window of the running first instance, waiting for it to appear.
inline HWND WaitForMonitorWindow(DWORD timeoutMs = kStartTimeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (HWND window = FindWindowA(ql::kMonitorClassName, ql::kMonitorWindowTitle)) return window;
        if (GetTickCount64() >= deadline) return nullptr;
        Sleep(25);
    }
}

// `text` with the window field at the place of the "#" in `expected` written as "#", so that the two
// compare equal when only that field differs. The field is the number of whatever window was in
// front when the launcher started: a signed decimal.
inline std::string MarkWindow(std::string text, const std::string& expected) {
    const std::size_t at = expected.find('#');
    if (at == std::string::npos || at >= text.size()) return text;
    const std::size_t digits = at + (text[at] == '-');
    std::size_t end = digits;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end > digits) text.replace(at, end - at, "#");
    return text;
}

// The application double's main window (it exits with code 0 on WM_CLOSE).
inline HWND FindApplicationWindow() { return FindWindowA("QLTestJavaMain", nullptr); }

// What the launcher's status query answers: 0 or 1, or -1 when there is no monitor window.
inline LRESULT QueryStatus() {
    HWND monitor = FindWindowA(ql::kMonitorClassName, ql::kMonitorWindowTitle);
    if (monitor == nullptr) return -1;
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(monitor, RegisterWindowMessageA(ql::kStatusMessageName), 0, 0, SMTO_NORMAL, 10000,
                             &result))
        return -1;
    return static_cast<LRESULT>(result);
}

}  // namespace ql::test
