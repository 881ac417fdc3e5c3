// Message boxes shown by another process: found, read and closed as a user would.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace ql::test {

struct MessageBoxSeen {
    std::string caption;
    std::string text;
};

// Waits for a dialog box of process `processId`, reads its caption and message text, and presses
// its default button. Nothing when none appeared in time.
std::optional<MessageBoxSeen> TakeMessageBox(DWORD processId, DWORD timeoutMs);

}  // namespace ql::test
