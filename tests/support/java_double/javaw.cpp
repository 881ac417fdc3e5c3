// Stand-in for the Java runtime's javaw.exe running the Java application, for tests of the launcher.
// Whatever its command line, it does what the application does with the bridge library: it loads
// QLPGPUtils.dll by name (found in the current directory, the launcher's folder, as the runtime finds
// it), creates a main and a hidden window, and calls the native waitForOpenFileRequest in a loop on a
// thread of its own, publishing the main window while a user is logged on and 0 while none is.
//
// Files beside this program:
//   javaw-control      optional, one setting a line:
//                        logged-off   start with no user logged on (the main window is not published)
//                        delay-ms N   wait N ms after creating the windows before the first wait call
//                        hold-while FILE  before the first wait call, wait while FILE (beside it) exists
//                        no-library   do not load the library; only record and keep the windows
//                        waiting-event NAME   set the named event (made by whoever reads it) just
//                                     before every wait call
//                        returned-event NAME  set the named event the moment a wait call returns,
//                                     before anything is recorded (for the benchmarks' timing)
//                        list-pipes   record the pipe handles it holds at its start (inherited ones)
//   javaw-record.log   appended, one line per event, each line "<process id> <event>":
//                        start | cmdline <command line> | cwd <current directory>
//                        pipes <value> ... | pipes unknown   with list-pipes: handle values, decimal
//                        library loaded | library failed <error> | library skipped
//                        module <path of the library loaded>
//                        windows <main> <hidden>          handles as the 32-bit values passed to Java
//                        publish <main> <hidden>          before every wait call, the values passed
//                        request <text as UTF-8> | null   what each wait call returned
//                        activated main|hidden            WM_ACTIVATE (not WA_INACTIVE) for a window
//                        close hidden                     WM_CLOSE reached the hidden window
//                        exit <code>
//
// It ends on WM_CLOSE to either window (exit code 0) or on kExitMessage to either window (exit code
// wParam). It ends with ExitProcess while the waiting thread is still blocked inside the native:
// the library is never unloaded under that thread.
#include <jni.h>
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bridge.h"
#include "fake_jni.h"
#include "files.h"
#include "handle_table.h"

namespace {

// Posted to either window: end with exit code wParam.
constexpr UINT kExitMessage = WM_APP + 1;

constexpr char kLibraryName[] = "QLPGPUtils.dll";
constexpr char kMainClass[] = "QLTestJavaMain";
constexpr char kHiddenClass[] = "QLTestJavaHidden";

std::string g_recordPath;
HWND g_mainWnd = nullptr;
HWND g_hiddenWnd = nullptr;

void Record(const std::string& event) {
    ql::test::AppendLine(g_recordPath, std::to_string(GetCurrentProcessId()) + " " + event);
}

// A window handle as the 32-bit value the Java application holds and passes to the native.
jint HandleValue(HWND window) { return static_cast<jint>(reinterpret_cast<std::intptr_t>(window)); }

struct Control {
    bool loggedOn = true;
    DWORD delayMs = 0;
    std::string holdFile;
    bool loadLibrary = true;
    std::string waitingEvent;
    std::string returnedEvent;
    bool listPipes = false;
};

Control ReadControl(const std::string& path) {
    Control control;
    const std::optional<std::string> contents = ql::test::ReadWholeFile(path);
    if (!contents) return control;
    std::istringstream lines(*contents);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "logged-off") {
            control.loggedOn = false;
        } else if (line.rfind("delay-ms ", 0) == 0) {
            control.delayMs = static_cast<DWORD>(std::strtoul(line.c_str() + 9, nullptr, 10));
        } else if (line.rfind("hold-while ", 0) == 0) {
            control.holdFile = line.substr(11);
        } else if (line == "no-library") {
            control.loadLibrary = false;
        } else if (line.rfind("waiting-event ", 0) == 0) {
            control.waitingEvent = line.substr(14);
        } else if (line.rfind("returned-event ", 0) == 0) {
            control.returnedEvent = line.substr(15);
        } else if (line == "list-pipes") {
            control.listPipes = true;
        }
    }
    return control;
}

std::string ToUtf8(const std::u16string& text) {
    if (text.empty()) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int units = static_cast<int>(text.size());
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, units, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, units, out.data(), bytes, nullptr, nullptr);
    return out;
}

// The command field of a request (its second field), in lower case: "[\"]window*command*path*...".
std::string CommandField(const std::string& request) {
    std::string text = request;
    if (!text.empty() && text.front() == '"') text.erase(0, 1);
    const std::size_t first = text.find('*');
    if (first == std::string::npos) return {};
    const std::size_t second = text.find('*', first + 1);
    std::string command = text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    for (char& c : command) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return command;
}

struct WaitLoop {
    ql::test::Bridge* bridge;
    ql::test::FakeJvm* jvm;
    bool loggedOn;
    DWORD delayMs;
    std::string holdPath;  // empty: none
    HANDLE waitingEvent;   // null unless the control file names one
    HANDLE returnedEvent;
};

HANDLE OpenNamedEvent(const std::string& name) {
    return name.empty() ? nullptr : OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
}

// The application's request thread: publish, wait, act on the answer, again. A null answer means the
// library cannot wait at all (no event); the loop then ends instead of spinning.
DWORD WINAPI RunWaitLoop(void* parameter) {
    WaitLoop& loop = *static_cast<WaitLoop*>(parameter);
    if (loop.delayMs != 0) Sleep(loop.delayMs);
    while (!loop.holdPath.empty() && ql::test::FileExists(loop.holdPath)) Sleep(10);
    const jint hidden = HandleValue(g_hiddenWnd);
    for (;;) {
        const jint main = loop.loggedOn ? HandleValue(g_mainWnd) : 0;
        Record("publish " + std::to_string(main) + " " + std::to_string(hidden));
        if (loop.waitingEvent != nullptr) SetEvent(loop.waitingEvent);
        jstring answer = loop.bridge->waitForOpenFileRequest(loop.jvm->env(), nullptr, main, hidden);
        if (loop.returnedEvent != nullptr) SetEvent(loop.returnedEvent);
        if (answer == nullptr) {
            Record("null");
            return 0;
        }
        const std::string text = ToUtf8(loop.jvm->Text(answer));
        Record("request " + text);
        const std::string command = CommandField(text);
        if (command == "logon") loop.loggedOn = true;
        if (command == "logoff") loop.loggedOn = false;
    }
}

[[noreturn]] void Exit(UINT code) {
    Record("exit " + std::to_string(code));
    ExitProcess(code);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ACTIVATE:
        if (LOWORD(wParam) != WA_INACTIVE) Record(window == g_mainWnd ? "activated main" : "activated hidden");
        break;
    case WM_CLOSE:
        if (window == g_hiddenWnd) Record("close hidden");
        Exit(0);
    case kExitMessage:
        Exit(static_cast<UINT>(wParam));
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateTopLevel(const char* className, const char* title) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 480, 320, nullptr,
                           nullptr, windowClass.hInstance, nullptr);
}

}  // namespace

int main() {
    const std::string folder = ql::test::ProgramDirectory();
    g_recordPath = folder + "javaw-record.log";
    Record("start");
    Record(std::string("cmdline ") + GetCommandLineA());
    char directory[MAX_PATH * 4];
    const DWORD directoryLength = GetCurrentDirectoryA(sizeof directory, directory);
    Record("cwd " + std::string(directory, directoryLength < sizeof directory ? directoryLength : 0));

    const Control control = ReadControl(folder + "javaw-control");
    if (control.listPipes) {
        // Before the library or a window exists: what the process holds now, it was given.
        const auto handles = ql::test::HandlesOf(GetCurrentProcessId());
        std::string pipes = handles ? "pipes" : "pipes unknown";
        for (const ql::test::HandleEntry& entry : handles ? *handles : std::vector<ql::test::HandleEntry>{}) {
            if (GetFileType(reinterpret_cast<HANDLE>(entry.value)) == FILE_TYPE_PIPE)
                pipes += " " + std::to_string(entry.value);
        }
        Record(pipes);
    }

    // Never freed: the process ends while the waiting thread may still be inside the library.
    ql::test::Bridge* bridge = nullptr;
    if (!control.loadLibrary) {
        Record("library skipped");
    } else {
        bridge = new ql::test::Bridge(kLibraryName);
        if (bridge->loaded()) {
            Record("library loaded");
            char path[MAX_PATH * 4];
            const DWORD length = GetModuleFileNameA(GetModuleHandleA(kLibraryName), path, sizeof path);
            Record("module " + std::string(path, length < sizeof path ? length : 0));
        } else {
            Record("library failed " + std::to_string(bridge->loadError()));
        }
    }

    g_mainWnd = CreateTopLevel(kMainClass, "Quillora OpenPGP test application");
    g_hiddenWnd = CreateTopLevel(kHiddenClass, "Quillora OpenPGP test hidden");
    if (g_mainWnd == nullptr || g_hiddenWnd == nullptr) {
        Record("windows failed " + std::to_string(GetLastError()));
        Exit(3);
    }
    // The main window is shown as the application shows its own, without taking the foreground: only
    // activations from outside get recorded. The hidden window is never shown.
    SetWindowPos(g_mainWnd, nullptr, 0, 0, 0, 0,
                 SWP_SHOWWINDOW | SWP_NOACTIVATE | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
    Record("windows " + std::to_string(HandleValue(g_mainWnd)) + " " + std::to_string(HandleValue(g_hiddenWnd)));

    if (bridge != nullptr && bridge->loaded()) {
        auto* loop = new WaitLoop{bridge, new ql::test::FakeJvm, control.loggedOn, control.delayMs,
                                  control.holdFile.empty() ? std::string() : folder + control.holdFile,
                                  OpenNamedEvent(control.waitingEvent), OpenNamedEvent(control.returnedEvent)};
        HANDLE thread = CreateThread(nullptr, 0, &RunWaitLoop, loop, 0, nullptr);
        if (thread == nullptr) {
            Record("thread failed " + std::to_string(GetLastError()));
            Exit(4);
        }
        CloseHandle(thread);
    }

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    Exit(0);
}
