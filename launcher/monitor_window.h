// The first instance's hidden monitor window: later launchers hand their requests to it, the tray
// monitor asks it whether a user is logged on, and a second thread ends the launcher with the Java
// application.
#pragma once

#include <windows.h>

namespace ql {

inline constexpr char kMonitorClassName[] = "QuilloraOpenPGPFileMonitorWnd";
inline constexpr char kMonitorWindowTitle[] = "OpenFileMonitor";
inline constexpr char kStatusMessageName[] = "QLOPGPStatusMessage";

// 1 on success; -3 after showing the failure.
int RegisterMonitorClass(HINSTANCE instance);

LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Thread: waits for the Java process (the parameter) and ends the launcher with exit code 0.
DWORD WINAPI WaitForJavaExit(void* javaProcess);

// Serves the monitor window from the start of the Java process until that process ends (the
// launcher then ends from the waiter thread) or the window is closed. Closes the Java process's
// handles and the launcher's mutex on the way out. Returns the launcher's exit code, 0.
int SuperviseJava(HINSTANCE instance, UINT statusMessageId, const PROCESS_INFORMATION& java,
                  HANDLE launcherMutex);

}  // namespace ql
