// The first instance's hidden monitor window: later launchers hand their requests to it, the tray
// monitor asks it whether a user is logged on, and a second thread ends the launcher with the Java
// application.
#pragma once

#include <windows.h>

#include <cstddef>

#include "ql/product_names.h"

namespace ql {

// The monitor window keeps the requests that arrive while the application has not yet taken the one
// handed over before, in arrival order, and hands each over once the one before has been taken. At
// most this many wait; a request beyond them is refused.
inline constexpr std::size_t kWaitingRequestsBound = 1000;
// WM_COPYDATA's result for a refused request (an accepted one gives 0), and the exit code of the
// forwarder whose request was refused.
inline constexpr LRESULT kRequestRefused = 2;
inline constexpr int kRefusedExitCode = -4;
inline constexpr char kRefusedMessage[] =
    "Quillora OpenPGP has too many requests waiting; this one was not passed on. Please try again later.";

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
