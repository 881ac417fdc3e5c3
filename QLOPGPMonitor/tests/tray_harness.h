// What the tray monitor tests need around the monitor: a desktop with a real notification area,
// and the monitor's icon, menu and windows seen from outside, as a user would see them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "window_finder.h"

namespace ql::test {

// Generous bounds for things that normally take well under a second (32-bit runs go through qemu).
inline constexpr DWORD kUiTimeoutMs = 30000;

// The tests' own desktop, run by Wine's explorer with the X11 driver on the display in DISPLAY
// (the test prefix keeps its null driver for every other desktop, and the null driver has no
// notification area). Made on first use; the calling thread is moved onto it, so it must be the
// thread that runs the tests, before it has any window.
const std::string& TrayDesktop();

// Moves the calling thread onto an existing desktop (before it has any window).
bool UseDesktop(const std::string& name);

// A program started on the tray desktop (without output capture: the launcher's children inherit).
Child StartOnTrayDesktop(const std::string& commandLine);

// The monitor's hidden window, by its class and title, of one process or of any (processId 0).
WindowQuery MonitorWindow(DWORD processId = 0);

// The icon (window, id 1) as the notification area knows it, asked and changed from this process
// exactly as its owner would: a modify that changes nothing succeeds only for an icon that exists.
bool IconExists(HWND monitor);
bool DeleteIcon(HWND monitor);

// What the notification area shows, read from the screen: the figure drawn in navy on cyan (logged
// in), the figure on the taskbar's own colour (not logged in), or no figure at all.
enum class TrayPicture { None, NotLoggedIn, LoggedIn };
const char* ToString(TrayPicture picture);
TrayPicture ReadTrayPicture();
bool WaitForTrayPicture(TrayPicture expected, DWORD timeoutMs = kUiTimeoutMs);

// True once no process runs any of `programs` (full paths; the recording doubles end at once).
bool WaitForNoProcessOf(const std::vector<std::string>& programs, DWORD timeoutMs = kUiTimeoutMs);

}  // namespace ql::test
