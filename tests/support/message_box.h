// Message boxes shown by another process: found, read and closed as a user would.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace ql::test {

struct MessageBoxSeen {
    std::string caption;
    std::string text;
    HWND owner = nullptr;  // the window that owns the box, null for none
};

// Waits for a dialog box of process `processId`, reads its caption and message text, and presses
// `button` (IDOK: the default button of an OK box). Nothing when none appeared in time.
std::optional<MessageBoxSeen> TakeMessageBox(DWORD processId, DWORD timeoutMs, int button = IDOK);

}  // namespace ql::test
