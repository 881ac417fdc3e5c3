#include "monitor_window.h"

#include <cstdint>
#include <deque>
#include <string>

#include "QLPGPUtils.h"
#include "error_box.h"
#include "request_slot.h"
#include "request_string.h"

namespace ql {

namespace {

// Posted to the monitor window each time the application has taken a request from the channel.
constexpr UINT kRequestTakenMessage = WM_APP + 1;

// GetMessageA failures in a row, with no message between them, after which the message loop ends.
constexpr int kMessageFailuresToGiveUp = 100;

// Set once on the main thread before the window exists; read by the window procedure.
UINT statusMessageId = 0;
HWND monitorWindow = nullptr;

// Requests received while the channel still held one the application had not taken, oldest first.
// Touched only by the window procedure, on the main thread.
std::deque<std::string> waitingRequests;
// Whether a thread tells the window of takes; without one, requests are handed over at once.
bool takesReported = false;

// The request a WM_COPYDATA carries. Our own forwarder sends zero-terminated text, but the window
// is open to any process: only the cbData bytes the system copied are read, up to the first zero
// byte, and a message without data carries no request.
bool ReadForwardedRequest(LPARAM lParam, std::string& request) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (data == nullptr || data->lpData == nullptr || data->cbData == 0) return false;
    const char* bytes = static_cast<const char*>(data->lpData);
    request.assign(bytes, strnlen(bytes, data->cbData));
    return true;
}

// Brings the Java window that will answer to the front at once; the request itself goes into the
// channel now when the channel is free, else it waits its turn. It goes into the channel even when
// the application has published no window yet, so it waits there until the application asks.
// False: refused, too many are waiting.
bool ReceiveRequest(const std::string& request) {
    if (!waitingRequests.empty() || (takesReported && IsOpenRequestPending())) {
        if (waitingRequests.size() >= kWaitingRequestsBound) return false;
        // Kept as the channel would store it, so that a request of megabytes costs no more than
        // the slot holds; one the channel would refuse is dropped as the channel drops it.
        std::optional<std::string> fitted = FitRequestToSlot(request);
        if (!fitted) return true;
        waitingRequests.push_back(std::move(*fitted));
    }
    HWND target = IsOpenRequest(request) ? GetMainWnd() : GetHiddenWnd();
    if (target != nullptr) SetForegroundWindow(target);
    if (waitingRequests.empty()) RequestOpenFile(request.c_str());
    return true;
}

// Hands the waiting requests over, one at a time: the next only once the application took the one
// before. A request the channel refuses or cannot signal leaves the channel free for the next.
void HandOverWaiting() {
    while (!waitingRequests.empty() && !(takesReported && IsOpenRequestPending())) {
        RequestOpenFile(waitingRequests.front().c_str());
        waitingRequests.pop_front();
    }
}

// Thread: tells the monitor window each time the application takes a request. It blocks in the
// bridge library between takes and ends only with the process (or at once when the library cannot
// report takes). A notice that does not fit a queue flooded by other processes is posted again
// shortly: lost, it would leave the waiting requests waiting for a take that never comes.
DWORD WINAPI ReportTakes(void* parameter) {
    const auto window = static_cast<HWND>(parameter);
    while (WaitForOpenRequestTaken(INFINITE) == 1) {
        while (!PostMessageA(window, kRequestTakenMessage, 0, 0) && IsWindow(window)) Sleep(10);
    }
    return 0;
}

}  // namespace

int RegisterMonitorClass(HINSTANCE instance) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &MonitorWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kMonitorClassName;
    if (RegisterClassA(&windowClass) == 0) {
        ShowErrorSigned("Failed to register Quillora OpenPGP file monitor window class. Error code: ",
                        static_cast<std::int32_t>(GetLastError()));
        return -3;
    }
    return 1;
}

LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The status query is a registered message, so it cannot be a case label; it comes first.
    if (statusMessageId != 0 && message == statusMessageId) return GetMainWnd() != nullptr ? 1 : 0;

    switch (message) {
    case WM_COPYDATA:
        try {
            std::string request;
            if (ReadForwardedRequest(lParam, request) && !ReceiveRequest(request)) return kRequestRefused;
        } catch (...) {
            // Nothing may escape into the message dispatcher. Out of memory: the request is refused.
            return kRequestRefused;
        }
        return 0;
    case kRequestTakenMessage:
        // Also posted by anyone: it only makes the window look whether the channel is free.
        HandOverWaiting();
        return 0;
    case WM_CLOSE:
    case WM_DESTROY:
        // The window itself goes with the process; the Java application runs on.
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

DWORD WINAPI WaitForJavaExit(void* javaProcess) {
    WaitForSingleObject(static_cast<HANDLE>(javaProcess), INFINITE);
    ExitProcess(0);
}

int SuperviseJava(HINSTANCE instance, UINT statusMessage, const PROCESS_INFORMATION& java,
                  HANDLE launcherMutex) {
    statusMessageId = statusMessage;
    if (RegisterMonitorClass(instance) == 1) {
        monitorWindow = CreateWindowExA(0, kMonitorClassName, kMonitorWindowTitle, WS_OVERLAPPEDWINDOW, 0, 0,
                                        0, 0, nullptr, nullptr, instance, nullptr);
        if (monitorWindow == nullptr) {
            ShowErrorSigned("Failed to create Quillora OpenPGP file monitor window. Error code: ",
                            static_cast<std::int32_t>(GetLastError()));
        } else if (HANDLE waiter = CreateThread(nullptr, 0, &WaitForJavaExit, java.hProcess, 0, nullptr)) {
            CloseHandle(waiter);
            if (HANDLE reporter = CreateThread(nullptr, 0, &ReportTakes, monitorWindow, 0, nullptr)) {
                takesReported = true;
                CloseHandle(reporter);
            }
            // Unfiltered: a loop filtered on our window would never retrieve messages for helper
            // windows the system may create on this thread, and could hang.
            MSG msg;
            BOOL got;
            int failuresInARow = 0;
            while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
                if (got == -1) {
                    // One message the system could not hand over (under Wine, a WM_COPYDATA from
                    // another process of more than about a megabyte gives one failure and is gone).
                    // Ending here would leave the application without its launcher, and the next
                    // start of one would start a second application; only a queue that keeps
                    // failing ends the loop.
                    if (++failuresInARow == kMessageFailuresToGiveUp) break;
                    continue;
                }
                failuresInARow = 0;
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        } else {
            ShowError("Failed to initialize Quillora OpenPGP launcher");
        }
    }
    UnregisterClassA(kMonitorClassName, instance);
    CloseHandle(java.hThread);
    CloseHandle(java.hProcess);
    CloseHandle(launcherMutex);
    return 0;
}

}  // namespace ql
