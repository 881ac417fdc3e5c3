// QuilloraOpenPGP.exe: keeps exactly one Java application running and hands it every request.
//
// A launcher that finds the mutex "QuilloraOpenPGP" is a forwarder: it sends its request to the
// running launcher's monitor window and ends. Otherwise it is the first instance: it creates the
// mutex, finds a Java runtime, starts the application with the request on its command line, and
// serves the monitor window until the application ends.
#include <windows.h>
#include <shlwapi.h>

#include <cstdint>
#include <string>

#include "error_box.h"
#include "java_runtime.h"
#include "monitor_window.h"
#include "ql/platform.h"
#include "ql/unique_handle.h"
#include "request_string.h"

namespace {

// Query access is all a forwarder needs to learn that a launcher runs.
constexpr DWORD kMutexQueryState = 0x0001;
constexpr char kJavaMainText[] = " -cp qlopgp.jar com.brennick.Launcher ";

// A forwarder that finds the mutex but no monitor window waits this long for the window while the
// mutex is still held. The first instance creates the window only after finding Java and starting
// it, and finding a registered runtime means running "java -version": a whole Java start, which
// takes seconds on a cold or slow machine. The forwarder has no window, so waiting costs the user
// nothing visible, and it ends the moment the window appears or the first instance gives up.
constexpr DWORD kMonitorWindowWaitMs = 10000;
constexpr DWORD kMonitorWindowPollMs = 50;

// The value of the foreground window when the launcher started: the window field of the requests
// it builds.
HWND foregroundAtStart = nullptr;

std::int32_t WindowNumber(HWND window) {
    return static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(window));
}

bool LauncherStillStarting() {
    HANDLE mutex = OpenMutexA(kMutexQueryState, FALSE, ql::kLauncherMutexName);
    if (mutex == nullptr) return false;
    CloseHandle(mutex);
    return true;
}

// Finds the running launcher's monitor window, waiting (bounded) while that launcher still starts.
HWND FindMonitorWindow(DWORD& lastError) {
    const ULONGLONG deadline = GetTickCount64() + kMonitorWindowWaitMs;
    for (;;) {
        HWND window = FindWindowA(ql::kMonitorClassName, ql::kMonitorWindowTitle);
        lastError = GetLastError();
        if (window != nullptr || GetTickCount64() >= deadline || !LauncherStillStarting()) return window;
        Sleep(kMonitorWindowPollMs);
    }
}

int Forward(std::string commandLine) {
    if (commandLine.empty()) commandLine = "0*open**";
    DWORD lastError = 0;
    HWND monitor = FindMonitorWindow(lastError);
    if (monitor == nullptr) {
        ql::ShowErrorSigned("Failed to get Quillora OpenPGP file open monitor window. Error code: ",
                            static_cast<std::int32_t>(lastError));
        return -2;
    }
    std::string request = ql::BuildForwardedRequest(commandLine, WindowNumber(foregroundAtStart));
    COPYDATASTRUCT data{};
    data.dwData = 0;
    data.cbData = static_cast<DWORD>(request.size() + 1);
    data.lpData = request.data();
    SetForegroundWindow(monitor);
    // Returns as soon as the running launcher has the request (handed over or waiting its turn); it
    // refuses one only when too many are waiting, and the user must then hear of it.
    if (SendMessageA(monitor, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)) == ql::kRequestRefused) {
        ql::ShowError(ql::kRefusedMessage);
        return ql::kRefusedExitCode;
    }
    return 0;
}

// The launcher's folder, with a trailing backslash.
std::string LauncherFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    PathRemoveFileSpecA(path);
    std::string folder = path;
    if (folder.empty() || folder.back() != '\\') folder += '\\';
    return folder;
}

int RunFirstInstance(HINSTANCE instance, const std::string& commandLine) {
    DWORD platformId = 0;
    if (!ql::ReadPlatformId(platformId)) {
        ql::ShowErrorUnsigned("Failed to get system version. Error code: ", GetLastError());
        return -1;
    }

    // On the NT family every user may open the mutex, so that launchers of all users see it.
    ql::OpenToEveryone everyone;
    SECURITY_ATTRIBUTES* attributes = nullptr;
    if (platformId == VER_PLATFORM_WIN32_NT) {
        switch (everyone.Build()) {
        case ql::OpenToEveryone::Failure::InitializeDescriptor:
            ql::ShowErrorUnsigned("Failed to initialize security descriptor. Error code: ", GetLastError());
            return -1;
        case ql::OpenToEveryone::Failure::SetDacl:
            ql::ShowErrorUnsigned("Failed to set object security settings. Error code: ", GetLastError());
            return -1;
        case ql::OpenToEveryone::Failure::None:
            attributes = &everyone.attributes;
            break;
        }
    }

    HANDLE launcherMutex = CreateMutexA(attributes, FALSE, ql::kLauncherMutexName);
    if (launcherMutex == nullptr) {
        ql::ShowErrorUnsigned("Failed to start QuilloraOpenPGP. Can't allocate required resources. Error code: ",
                              GetLastError());
        return -2;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another launcher created the mutex since our probe: it is the first instance, not us.
        CloseHandle(launcherMutex);
        return Forward(commandLine);
    }

    std::string javaPath;
    if (!ql::FindBundledJava(javaPath)) {
        const std::int32_t code = ql::FindRegisteredJava(javaPath);
        if (code != 0) {
            ql::ShowErrorUnsigned("Failed to start QuilloraOpenPGP. Unable to find required JRE. Error code: ", code);
            return code;
        }
    }

    // "...\bin\java.exe" becomes "...\bin\javaw.exe", the runtime's windowless program.
    const std::string javawPath = javaPath.substr(0, javaPath.size() - 4) + "w.exe";
    const std::string folder = LauncherFolder();
    // The program path is quoted: unquoted, a folder with a blank in its name would let
    // CreateProcessA run a program planted at the first blank ("C:\Program.exe").
    std::string javaCommandLine = "\"" + javawPath + "\"" + kJavaMainText +
                                  ql::BuildLaunchArguments(commandLine, WindowNumber(foregroundAtStart));

    const UINT statusMessageId = RegisterWindowMessageA(ql::kStatusMessageName);

    STARTUPINFOA startup{};
    GetStartupInfoA(&startup);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    PROCESS_INFORMATION java{};
    if (!CreateProcessA(nullptr, javaCommandLine.data(), &inheritable, &inheritable, TRUE, 0, nullptr,
                        folder.c_str(), &startup, &java)) {
        ql::ShowErrorSigned("Failed to start Quillora OpenPGP. Error code: ", static_cast<std::int32_t>(GetLastError()));
        return -3;
    }
    return ql::SuperviseJava(instance, statusMessageId, java, launcherMutex);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // First, before anything of ours can change which window is in front.
    foregroundAtStart = GetForegroundWindow();
    // Not the lpCmdLine of this build's start-up code, which drops leading bytes beyond ASCII.
    const std::string commandLine(ql::ArgumentsAfterProgramName(GetCommandLineA()));
    try {
        if (HANDLE probe = OpenMutexA(kMutexQueryState, FALSE, ql::kLauncherMutexName)) {
            // Closed at once: held, it would keep the mutex alive and hide a first instance that
            // gave up while this forwarder waits for its window.
            CloseHandle(probe);
            return Forward(commandLine);
        }
        return RunFirstInstance(instance, commandLine);
    } catch (...) {
        ql::ShowError("Failed to start Quillora OpenPGP: out of memory");
        return -3;
    }
}
