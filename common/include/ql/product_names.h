// The names by which the product's processes find one another: the launcher's mutex and monitor
// window, the tray monitor's window, the status query message, and the bridge library's named
// events and lock. They are the product's interface between its own processes (and the Java
// application), so every deliverable and every test takes them from here.
#pragma once

namespace ql {

// Held by the running first instance of the launcher; a launcher that finds it forwards its request.
inline constexpr char kLauncherMutexName[] = "QuilloraOpenPGP";
// The first instance's hidden monitor window, to which later launchers hand their requests.
inline constexpr char kMonitorClassName[] = "QuilloraOpenPGPFileMonitorWnd";
inline constexpr char kMonitorWindowTitle[] = "OpenFileMonitor";
// Sent to the monitor window: it answers 1 while a user is logged on in the application, else 0.
inline constexpr char kStatusMessageName[] = "QLOPGPStatusMessage";

// The tray monitor's hidden window.
inline constexpr char kTrayClassName[] = "QLOPGPMonitorWndClass";
inline constexpr char kTrayWindowTitle[] = "QLOPGPMonitor";

// The bridge library's named objects: the event that wakes the application for an open request,
// the one for a command, the lock over the request slot, and the event the application signals each
// time it has taken a request.
inline constexpr char kOpenRequestEventName[] = "QuilloraOpenPGPOpenFileMonitor";
inline constexpr char kCommandEventName[] = "QLOPGPCmdlineRequest";
inline constexpr char kSlotLockName[] = "QuilloraOpenPGPOpenFileRequestLock";
inline constexpr char kRequestTakenEventName[] = "QuilloraOpenPGPOpenFileRequestTaken";

}  // namespace ql
