// QLOPGPMonitor.exe: one notification-area icon that shows whether a user is logged on in the running
// Quillora OpenPGP application, and a menu that starts the launcher with log-on, log-off and tool
// requests. The state is asked from the launcher's monitor window every three seconds.
//
// Run with the argument "shutdown" (any letter case), the program stops a running monitor instead.
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <string>

#include "monitor_resources.h"
#include "ql/command_line.h"
#include "ql/product_names.h"

namespace {

// Broadcast by the shell when the taskbar is (re)created: every icon must be added anew.
constexpr char kTaskbarCreatedName[] = "TaskbarCreated";
constexpr char kLauncherFileName[] = "\\QuilloraOpenPGP.exe";
constexpr char kHelpFromBin[] = "\\..\\help\\index.htm";

constexpr UINT_PTR kPollTimer = 1;
constexpr UINT kPollPeriodMs = 3000;
constexpr UINT kIconId = 1;
constexpr UINT kIconCallback = WM_USER + 1;

constexpr char kTipLoggedIn[] = "Quillora OpenPGP - Logged in";
constexpr char kTipNotLoggedIn[] = "Quillora OpenPGP - Not logged in";

// Stop mode: the stop request waits at most 5 s for a monitor to take it (one that does not answer
// must not hold an uninstall), then 500 checks of the window, 100 ms apart: about 55 s in all.
constexpr UINT kStopSendTimeoutMs = 5000;
constexpr int kStopChecks = 500;
constexpr DWORD kStopCheckMs = 100;

#ifndef _WIN64
static_assert(sizeof(NOTIFYICONDATAA) == 508, "the full ANSI record, up to the balloon-icon handle");
#endif

HINSTANCE instanceHandle = nullptr;
UINT statusMessageId = 0;
UINT taskbarCreatedId = 0;
HWND monitorWindow = nullptr;
int loggedIn = 0;
// True while the icon failure box is open: the box's own message loop still dispatches timer ticks,
// and each tick could otherwise open a further box over it.
bool trayFailureShown = false;

NOTIFYICONDATAA IconRecord() {
    NOTIFYICONDATAA record{};
    record.cbSize = sizeof record;
    record.hWnd = monitorWindow;
    record.uID = kIconId;
    return record;
}

void ShowTrayFailure() {
    // One box at a time: the open box's loop also dispatches a new taskbar's announcement.
    if (trayFailureShown) return;
    trayFailureShown = true;
    MessageBoxA(monitorWindow, "Failed to set tray icon. QLOPGP monitor will exit now.", "Quillora OpenPGP Monitor",
                MB_ICONERROR);
    trayFailureShown = false;
    PostQuitMessage(0);
}

// Adds or changes the icon to show `state`; false when the shell refused.
bool SetTrayIcon(DWORD operation, UINT flags, int state) {
    NOTIFYICONDATAA record = IconRecord();
    record.uFlags = flags;
    record.uCallbackMessage = kIconCallback;
    record.hIcon = LoadIconA(instanceHandle, MAKEINTRESOURCEA(state ? IDI_LOGGED_IN : IDI_NOT_LOGGED_IN));
    lstrcpynA(record.szTip, state ? kTipLoggedIn : kTipNotLoggedIn, sizeof record.szTip);
    const BOOL done = Shell_NotifyIconA(operation, &record);
    // The shell keeps a copy of its own.
    if (record.hIcon != nullptr) DestroyIcon(record.hIcon);
    return done != FALSE;
}

// At start the icon shows the not-logged-in state; after the taskbar was recreated, the state the
// monitor remembers, so the user sees no change. The shell also announces a new taskbar on display
// scale changes, resolution changes and remote-desktop reconnects without dropping the icons; adding
// an icon that still exists fails, so that one is set again in full instead.
void AddTrayIcon(int state) {
    constexpr UINT kAllFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    if (!SetTrayIcon(NIM_ADD, kAllFlags, state) && !SetTrayIcon(NIM_MODIFY, kAllFlags, state)) ShowTrayFailure();
}

void UpdateTrayIcon(int state) {
    const bool done = SetTrayIcon(NIM_MODIFY, NIF_ICON | NIF_TIP, state);
    loggedIn = state;
    if (!done) ShowTrayFailure();
}

void DeleteTrayIcon() {
    NOTIFYICONDATAA record = IconRecord();
    Shell_NotifyIconA(NIM_DELETE, &record);
}

void PollStatus() {
    if (trayFailureShown) return;
    int state = 0;
    if (HWND launcher = FindWindowA(ql::kMonitorClassName, ql::kMonitorWindowTitle))
        state = SendMessageA(launcher, statusMessageId, 0, 0) != 0 ? 1 : 0;
    if (state != loggedIn) UpdateTrayIcon(state);
}

// The folder of this program, without a trailing backslash.
std::string OwnFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    PathRemoveFileSpecA(path);
    return path;
}

// Starts the launcher beside this program with `request` (which begins with a blank). The path is
// quoted: unquoted, a folder with blanks would make CreateProcessA try each blank-separated prefix
// as a program first, and the launcher would see the rest of the path ahead of the request. Quoted,
// the launcher's own text after its program name is exactly the request.
void StartLauncher(const char* request) {
    std::string commandLine(1, '"');
    commandLine.append(OwnFolder()).append(kLauncherFileName).append(1, '"').append(request);
    STARTUPINFOA startup{};
    GetStartupInfoA(&startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        char text[128];
        wsprintfA(text, "Failed to launch Quillora OpenPGP. Error: %d", static_cast<int>(GetLastError()));
        MessageBoxA(monitorWindow, text, "Error", MB_ICONERROR);
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

void OpenHelp() {
    const std::string help = OwnFolder() + kHelpFromBin;
    char canonical[MAX_PATH] = {};
    if (help.size() >= MAX_PATH || !PathCanonicalizeA(canonical, help.c_str())) return;
    ShellExecuteA(nullptr, "open", canonical, nullptr, nullptr, SW_SHOWMAXIMIZED);
}

void Stop() {
    DeleteTrayIcon();
    PostQuitMessage(0);
}

void ShowMenu() {
    HMENU menu = LoadMenuA(instanceHandle, MAKEINTRESOURCEA(IDR_TRAY_MENU));
    if (menu == nullptr) return;
    HMENU popup = GetSubMenu(menu, 0);
    if (popup != nullptr) {
        const UINT whenLoggedIn = MF_BYCOMMAND | (loggedIn ? MF_ENABLED : MF_GRAYED);
        EnableMenuItem(popup, IDM_LOGON, MF_BYCOMMAND | (loggedIn ? MF_GRAYED : MF_ENABLED));
        EnableMenuItem(popup, IDM_LOGOFF, whenLoggedIn);
        EnableMenuItem(popup, IDM_SECURE_TEXT_EDITOR, whenLoggedIn);
        EnableMenuItem(popup, IDM_DEFAULT_SETTINGS, whenLoggedIn);
        EnableMenuItem(popup, IDM_KEY_MANAGER, whenLoggedIn);
        SetForegroundWindow(monitorWindow);
        POINT cursor{};
        GetCursorPos(&cursor);
        TrackPopupMenu(popup, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, monitorWindow, nullptr);
    }
    DestroyMenu(menu);
}

void OnCommand(WORD command) {
    switch (command) {
    case IDM_LOGON: StartLauncher(" 0*logon**"); break;
    case IDM_LOGOFF: StartLauncher(" 0*logoff**"); break;
    case IDM_SECURE_TEXT_EDITOR: StartLauncher(" 0*secure_text_editor**"); break;
    case IDM_DEFAULT_SETTINGS: StartLauncher(" 0*default_settings**"); break;
    case IDM_KEY_MANAGER: StartLauncher(" 0*key_manager**"); break;
    case IDM_HELP: OpenHelp(); break;
    case IDM_EXIT:
        // The log-off request goes out first, whatever the remembered state.
        SendMessageA(monitorWindow, WM_COMMAND, IDM_LOGOFF, 0);
        Stop();
        break;
    default: break;
    }
}

LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND: OnCommand(LOWORD(wParam)); return 0;
    case WM_TIMER: PollStatus(); return 0;
    case WM_QUIT: Stop(); return 0;  // the stop request, sent by another process
    // The session ends, or the Restart Manager closes the monitor so that an update can replace
    // its file (an installation as SYSTEM in another session cannot reach the stop request's
    // window): agree, and close when the end really comes.
    case WM_QUERYENDSESSION: return TRUE;
    case WM_ENDSESSION:
        if (wParam) Stop();
        return 0;
    case kIconCallback:
        if (lParam == WM_RBUTTONUP) ShowMenu();
        return 0;
    default: break;
    }
    if (taskbarCreatedId != 0 && message == taskbarCreatedId) {
        AddTrayIcon(loggedIn);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Building a command line or a path can run out of memory; that must not unwind into the message
// dispatcher. The command is then simply not carried out.
LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        return HandleMessage(window, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

int StopRunningMonitor() {
    HWND running = FindWindowA(ql::kTrayClassName, ql::kTrayWindowTitle);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(running, WM_QUIT, 0, 0, SMTO_ABORTIFHUNG, kStopSendTimeoutMs, &ignored);
    for (int check = 1; IsWindow(running); ++check) {
        if (check == kStopChecks) return -1;
        Sleep(kStopCheckMs);
    }
    return 0;
}

int RunMonitor(HINSTANCE instance) {
    instanceHandle = instance;
    statusMessageId = RegisterWindowMessageA(ql::kStatusMessageName);
    taskbarCreatedId = RegisterWindowMessageA(kTaskbarCreatedName);

    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &MonitorWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = ql::kTrayClassName;
    if (RegisterClassA(&windowClass) == 0) {
        char text[160];
        wsprintfA(text, "Failed to register Quillora OpenPGP Monitor window class. Error code: %d",
                  static_cast<int>(GetLastError()));
        MessageBoxA(nullptr, text, "Error", MB_ICONERROR);
        return -1;
    }
    monitorWindow =
        CreateWindowExA(0, ql::kTrayClassName, ql::kTrayWindowTitle, 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (monitorWindow == nullptr) {
        char text[160];
        wsprintfA(text, "Failed to create Quillora OpenPGP Monitior window. Error: %d", static_cast<int>(GetLastError()));
        MessageBoxA(nullptr, text, "Error", MB_ICONERROR);
        return -2;
    }
    SetTimer(monitorWindow, kPollTimer, kPollPeriodMs, nullptr);
    // Started again, without arguments, by the Restart Manager after an update closed it; not
    // after a crash, a hang or a reboot (log-on starts it then).
    RegisterApplicationRestart(nullptr, RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT);
    AddTrayIcon(0);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // However the monitor ends (a failure to set the icon included), it leaves no icon behind.
    DeleteTrayIcon();
    return static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Not the start-up code's lpCmdLine, which ends the program name early at a byte beyond ASCII (a
    // folder such as "Zo\xEB" run unquoted), so "shutdown" would start a further monitor instead.
    // The text is the end of the whole command line, so it is terminated where that one is.
    const std::string_view arguments = ql::ArgumentsAfterProgramName(GetCommandLineA());
    if (lstrcmpiA(arguments.data(), "shutdown") == 0) return StopRunningMonitor();
    return RunMonitor(instance);
}
