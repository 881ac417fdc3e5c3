// The tray monitor as a user meets it: real monitor processes on a desktop with Wine's X11 driver
// and a real notification area (under Xvfb), the icon read back from the screen, the menu opened by
// the icon's callback message and driven by keys. The log-on state comes from the real launcher and
// the Java runtime double; the menu commands go to a recording launcher double beside the monitor.
#include <doctest/doctest.h>

#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "message_box.h"
#include "sandbox.h"
#include "registry.h"
#include "tray_harness.h"
#include "ql/product_names.h"

using namespace ql::test;

namespace {

constexpr UINT kIconCallback = WM_USER + 1;
constexpr WORD kLogon = 133, kLogoff = 134, kHelp = 137;

void Copy(const std::string& from, const std::string& to) {
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) throw std::runtime_error("cannot copy " + from + " to " + to);
}

std::string RecorderProgram() { return ProgramDirectory() + "..\\monitor_doubles\\QuilloraOpenPGP.exe"; }

// What a recording double wrote: one entry per start.
struct Started {
    std::string commandLine;
    std::string request;
};

std::vector<Started> ReadStarts(const std::string& recordPath) {
    std::istringstream lines(ReadWholeFile(recordPath).value_or(""));
    std::vector<Started> starts;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("cmdline ", 0) == 0) starts.push_back({line.substr(8), {}});
        if (line.rfind("request ", 0) == 0 && !starts.empty()) starts.back().request = line.substr(8);
    }
    return starts;
}

bool WaitForStarts(const std::string& recordPath, size_t count) {
    const ULONGLONG deadline = GetTickCount64() + kUiTimeoutMs;
    while (ReadStarts(recordPath).size() < count) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(25);
    }
    return true;
}

// The monitor in a folder of its own, with the recording double as its launcher (unless told
// otherwise) and the help page:
//   <outer>\ql monitor\bin\QLOPGPMonitor.exe, QuilloraOpenPGP.exe
//   <outer>\ql monitor\help\index.htm
// The blank in "ql monitor" is where an unquoted launcher path would go wrong: <outer>\ql.exe.
class MonitorTree {
public:
    explicit MonitorTree(bool withLauncher = true) {
        static int counter = 0;
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        outer_ = std::string(temp) + "qlmon-" + std::to_string(GetCurrentProcessId()) + "-" +
                 std::to_string(++counter) + "\\";
        RemoveTree(outer_.substr(0, outer_.size() - 1));
        if (!MakeFolders(bin()) || !MakeFolders(root() + "help")) throw std::runtime_error("cannot make " + bin());
        Copy(ProgramDirectory() + "QLOPGPMonitor.exe", monitor());
        if (withLauncher) Copy(RecorderProgram(), launcher());
        WriteWholeFile(root() + "help\\index.htm", "<html></html>");
    }
    ~MonitorTree() {
        WaitForNoProcessOf(doubles(), 5000);
        RemoveTree(outer_.substr(0, outer_.size() - 1));
    }
    MonitorTree(const MonitorTree&) = delete;
    MonitorTree& operator=(const MonitorTree&) = delete;

    const std::string& outer() const { return outer_; }
    std::string root() const { return outer_ + "ql monitor\\"; }
    std::string bin() const { return root() + "bin\\"; }
    std::string monitor() const { return bin() + "QLOPGPMonitor.exe"; }
    std::string launcher() const { return bin() + "QuilloraOpenPGP.exe"; }
    std::string record() const { return bin() + "launcher-record.log"; }
    // The doubles a monitor may start: the launcher's, and those of the other tests here.
    std::vector<std::string> doubles() const { return {launcher(), outer_ + "ql.exe", outer_ + "helpviewer.exe"}; }

private:
    std::string outer_;
};

// A running monitor, ready once its window and its icon exist.
struct Monitor {
    Child process;
    HWND window = nullptr;

    explicit Monitor(const std::string& program, const std::string& arguments = {})
        : process(StartOnTrayDesktop("\"" + program + "\"" + (arguments.empty() ? "" : " " + arguments))) {
        REQUIRE(process.started());
        window = WaitForMonitorWindow(process.id());
        REQUIRE(window != nullptr);
        const ULONGLONG deadline = GetTickCount64() + kUiTimeoutMs;
        while (!IconExists(window) && GetTickCount64() < deadline) Sleep(25);
        REQUIRE(IconExists(window));
    }

    void Command(WORD command) const { PostMessageA(window, WM_COMMAND, command, 0); }

    // Opens the menu as a right click on the icon does and picks `item` (counted from 1).
    // A greyed item does nothing; the menu is then closed with Escape.
    void PickFromMenu(int item, bool greyed = false) {
        PostMessageA(window, kIconCallback, 1, WM_RBUTTONUP);
        HWND popup = WaitForPopupMenu(process.id());
        REQUIRE(popup != nullptr);
        PickMenuItem(popup, item);
        if (greyed) CloseMenu(popup);
        REQUIRE(WaitForPopupMenuClosed(process.id()));
    }

    // Stop mode, as another process uses it.
    DWORD Stop(const std::string& program, const std::string& argument = "shutdown") {
        Child stopper = StartOnTrayDesktop("\"" + program + "\" " + argument);
        REQUIRE(stopper.Wait(kUiTimeoutMs * 2));
        return stopper.ExitCode();
    }
};

// The application double's publication, started on the tray desktop so the monitor finds it.
struct RunningApplication {
    ProductTree tree;
    std::optional<Child> launcher;

    explicit RunningApplication(bool loggedOn) {
        if (!loggedOn) tree.WriteFile(tree.jreBin() + "javaw-control", "logged-off\n");
        launcher.emplace(StartOnTrayDesktop(tree.LauncherCommand("")));
        REQUIRE(launcher->started());
        REQUIRE(tree.WaitForRecord("publish", 1, kUiTimeoutMs));
    }
    // A later launcher start: a forwarder, as the tray or Explorer starts it.
    void Forward(const std::string& request) {
        const size_t before = tree.Events("request").size();
        Child forwarder = StartOnTrayDesktop(tree.LauncherCommand(request));
        REQUIRE(forwarder.Wait(kUiTimeoutMs));
        CHECK(forwarder.ExitCode() == 0);
        REQUIRE(tree.WaitForRecord("request", before + 1, kUiTimeoutMs));
    }
};

// The shell opens .htm pages with the recording double, for as long as the test runs.
class HelpViewer {
public:
    explicit HelpViewer(const std::string& folder) : program_(folder + "helpviewer.exe") {
        Copy(RecorderProgram(), program_);
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.htm", 0, KEY_READ, &key) == ERROR_SUCCESS) {
            char value[256] = {};
            DWORD size = sizeof value - 1;
            if (RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS)
                previous_ = value;
            RegCloseKey(key);
        }
        pageClass_.emplace("Software\\Classes\\QLTestHelpPage");
        pageClass_->SetString("shell\\open\\command", "", "\"" + program_ + "\" \"%1\"");
        SetHtmClass("QLTestHelpPage");
    }
    ~HelpViewer() {
        if (previous_) {
            SetHtmClass(*previous_);
        } else {
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.htm");
        }
    }
    std::string record() const { return program_.substr(0, program_.find_last_of('\\') + 1) + "launcher-record.log"; }

private:
    static void SetHtmClass(const std::string& name) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.htm", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return;
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                       static_cast<DWORD>(name.size() + 1));
        RegCloseKey(key);
    }
    std::string program_;
    std::optional<std::string> previous_;
    std::optional<ScopedRegistryTree> pageClass_;
};

// The message boxes of a process once one is open with its text in place (a box can be visible
// before its text control is filled).
std::vector<HWND> WaitForFilledBoxes(DWORD processId) {
    const ULONGLONG deadline = GetTickCount64() + kUiTimeoutMs;
    for (;;) {
        std::vector<HWND> boxes = DialogBoxes(processId);
        char text[256] = {};
        if (!boxes.empty() && GetDlgItemTextA(boxes[0], 0xFFFF, text, sizeof text) > 0) return boxes;
        if (GetTickCount64() >= deadline) return boxes;
        Sleep(25);
    }
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

TEST_CASE("without a launcher the monitor shows the not-logged-in icon and offers Logon, Help and Exit") {
    MonitorTree tree;
    HelpViewer viewer(tree.outer());
    Monitor monitor(tree.monitor());

    // A window that is never shown, and one icon with the not-logged-in picture and tip.
    CHECK_FALSE(IsWindowVisible(monitor.window));
    CHECK(GetParent(monitor.window) == nullptr);
    CHECK(WaitForTrayPicture(TrayPicture::NotLoggedIn));

    // Polls find no launcher: the state stays.
    for (int i = 0; i < 3; ++i) PostMessageA(monitor.window, WM_TIMER, 1, 0);

    // Left clicks, double clicks and other mouse events on the icon open nothing. The command posted
    // after them shows that they were handled: had one opened the menu, the menu would still be open.
    for (LPARAM event : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN, WM_MOUSEMOVE})
        PostMessageA(monitor.window, kIconCallback, 1, event);
    monitor.Command(kLogon);
    REQUIRE(WaitForStarts(tree.record(), 1));
    CHECK_FALSE(PopupMenuOpen(monitor.process.id()));
    CHECK(ReadTrayPicture() == TrayPicture::NotLoggedIn);

    // The greyed items do nothing; Logon works. Any command a greyed item had sent would have been
    // handled before the last Logon's, so once every launcher started has ended the record is whole.
    for (int greyed : {2, 3, 4, 5}) {
        CAPTURE(greyed);
        monitor.PickFromMenu(greyed, true);
    }
    monitor.PickFromMenu(1);
    REQUIRE(WaitForStarts(tree.record(), 2));
    REQUIRE(WaitForNoProcessOf(tree.doubles()));
    const std::vector<Started> starts = ReadStarts(tree.record());
    REQUIRE(starts.size() == 2);
    for (const Started& start : starts) {
        CHECK(start.commandLine == Quoted(tree.launcher()) + " 0*logon**");
        CHECK(start.request == "0*logon**");
    }

    // Help opens the canonical help page of the product tree.
    monitor.PickFromMenu(6);
    REQUIRE(WaitForStarts(viewer.record(), 1));
    CHECK(ReadStarts(viewer.record()).at(0).request == Quoted(tree.root() + "help\\index.htm"));

    // Exit sends the log-off request even though nobody is logged on, removes the icon and ends.
    monitor.PickFromMenu(7);
    REQUIRE(monitor.process.Wait(kUiTimeoutMs));
    CHECK(monitor.process.ExitCode() == 0);
    REQUIRE(WaitForStarts(tree.record(), 3));
    CHECK(ReadStarts(tree.record()).at(2).request == "0*logoff**");
    CHECK(WaitForTrayPicture(TrayPicture::None));
}

TEST_CASE("the icon follows the application's log-on state through the real launcher") {
    RunningApplication application(false);
    Copy(ProgramDirectory() + "QLOPGPMonitor.exe", application.tree.bin() + "QLOPGPMonitor.exe");
    Monitor monitor(application.tree.bin() + "QLOPGPMonitor.exe");
    CHECK(WaitForTrayPicture(TrayPicture::NotLoggedIn));

    // Logon from the menu: the monitor starts the real launcher from its folder (whose path has
    // blanks), which forwards the request unchanged; the application publishes its main window and
    // the next poll shows it.
    monitor.PickFromMenu(1);
    REQUIRE(application.tree.WaitForRecord("request", 1, kUiTimeoutMs));
    CHECK(application.tree.Events("request").at(0) == "0*logon**");
    CHECK(WaitForTrayPicture(TrayPicture::LoggedIn));

    // The menu now follows the new state: Logon greyed, the tools and Logoff enabled.
    // Each pick starts its own launcher, and two launchers started back to back may deliver in
    // either order, so each request is awaited before the next pick.
    monitor.PickFromMenu(1, true);
    monitor.PickFromMenu(5);
    REQUIRE(application.tree.WaitForRecord("request", 2, kUiTimeoutMs));
    monitor.PickFromMenu(2);
    REQUIRE(application.tree.WaitForRecord("request", 3, kUiTimeoutMs));
    CHECK(application.tree.Events("request") == std::vector<std::string>{"0*logon**", "0*key_manager**", "0*logoff**"});
    CHECK(WaitForTrayPicture(TrayPicture::NotLoggedIn));

    CHECK(monitor.Stop(application.tree.bin() + "QLOPGPMonitor.exe") == 0);
    REQUIRE(monitor.process.Wait(kUiTimeoutMs));
    CHECK(monitor.process.ExitCode() == 0);
}

TEST_CASE("while logged in, every menu command starts the launcher beside the monitor with its request") {
    RunningApplication application(true);
    MonitorTree tree;
    Monitor monitor(tree.monitor());
    REQUIRE(WaitForTrayPicture(TrayPicture::LoggedIn));

    struct Item {
        int position;
        const char* request;  // null: greyed
    };
    const Item items[] = {
        {1, nullptr}, {2, "0*logoff**"}, {3, "0*secure_text_editor**"}, {4, "0*default_settings**"}, {5, "0*key_manager**"},
    };
    std::vector<std::string> expected;
    for (const Item& item : items) {
        CAPTURE(item.position);
        monitor.PickFromMenu(item.position, item.request == nullptr);
        if (item.request != nullptr) {
            expected.push_back(item.request);
            REQUIRE(WaitForStarts(tree.record(), expected.size()));
        }
    }
    // Exit: the log-off request first, then the end.
    monitor.PickFromMenu(7);
    REQUIRE(monitor.process.Wait(kUiTimeoutMs));
    CHECK(monitor.process.ExitCode() == 0);
    expected.push_back("0*logoff**");
    REQUIRE(WaitForStarts(tree.record(), expected.size()));
    REQUIRE(WaitForNoProcessOf(tree.doubles()));

    const std::vector<Started> starts = ReadStarts(tree.record());
    REQUIRE(starts.size() == expected.size());
    for (size_t i = 0; i < starts.size(); ++i) {
        CAPTURE(i);
        CHECK(starts[i].commandLine == Quoted(tree.launcher()) + " " + expected[i]);
        CHECK(starts[i].request == expected[i]);
    }
}

TEST_CASE("stop mode") {
    MonitorTree tree;
    SUBCASE("with no monitor running it ends at once with 0") {
        Child stopper = StartOnTrayDesktop(Quoted(tree.monitor()) + " shutdown");
        REQUIRE(stopper.Wait(kUiTimeoutMs));
        CHECK(stopper.ExitCode() == 0);
    }
    SUBCASE("\"shutdown\" in any letter case stops the running monitor") {
        for (const char* argument : {"shutdown", "SHUTDOWN", "Shutdown"}) {
            CAPTURE(argument);
            Monitor monitor(tree.monitor());
            CHECK(monitor.Stop(tree.monitor(), argument) == 0);
            REQUIRE(monitor.process.Wait(kUiTimeoutMs));
            CHECK(monitor.process.ExitCode() == 0);
            CHECK(MonitorWindows().empty());
        }
    }
    SUBCASE("a monitor that does not answer holds the stop only for a bounded time: it ends with -1") {
        // A window of the monitor's class and title whose thread never reads its messages.
        const std::string& desktop = TrayDesktop();
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr), release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::thread hung([&] {
            UseDesktop(desktop);
            WNDCLASSA windowClass{};
            windowClass.lpfnWndProc = DefWindowProcA;
            windowClass.hInstance = GetModuleHandleA(nullptr);
            windowClass.lpszClassName = ql::kTrayClassName;
            RegisterClassA(&windowClass);
            HWND window = CreateWindowExA(0, ql::kTrayClassName, ql::kTrayWindowTitle, 0, 0, 0, 0, 0, nullptr, nullptr,
                                          windowClass.hInstance, nullptr);
            SetEvent(ready);
            WaitForSingleObject(release, INFINITE);
            DestroyWindow(window);
        });
        REQUIRE(WaitForSingleObject(ready, kUiTimeoutMs) == WAIT_OBJECT_0);
        Child stopper = StartOnTrayDesktop(Quoted(tree.monitor()) + " shutdown");
        const bool ended = stopper.Wait(kUiTimeoutMs * 3);
        SetEvent(release);
        hung.join();
        REQUIRE(ended);
        CHECK(stopper.ExitCode() == static_cast<DWORD>(-1));
    }
    SUBCASE("run unquoted from a folder with a letter beyond ASCII, it still stops the running monitor") {
        // The C runtime's lpCmdLine would end the program name at the "\xEB" and see no "shutdown".
        REQUIRE(GetACP() == 1252);
        const std::string folder = tree.outer() + "Zo\xEB";
        REQUIRE(MakeFolders(folder));
        Copy(tree.monitor(), folder + "\\QLOPGPMonitor.exe");
        Monitor monitor(tree.monitor());
        Child stopper = StartOnTrayDesktop(folder + "\\QLOPGPMonitor.exe shutdown");
        // A stopper that took itself for a monitor never ends by itself: it is ended with the test.
        REQUIRE(stopper.Wait(kUiTimeoutMs));
        CHECK(stopper.ExitCode() == 0);
        REQUIRE(monitor.process.Wait(kUiTimeoutMs));
        CHECK(MonitorWindows().empty());
    }
    SUBCASE("\"shutdown x\" is no stop request: it starts a further monitor") {
        Monitor first(tree.monitor());
        Monitor second(tree.monitor(), "shutdown x");
        CHECK(first.process.ExitCode() == STILL_ACTIVE);
        CHECK(MonitorWindows().size() == 2);
        // Each stop ends one of them.
        CHECK(first.Stop(tree.monitor()) == 0);
        CHECK(first.Stop(tree.monitor()) == 0);
        REQUIRE(first.process.Wait(kUiTimeoutMs));
        REQUIRE(second.process.Wait(kUiTimeoutMs));
        CHECK(first.process.ExitCode() == 0);
        CHECK(second.process.ExitCode() == 0);
    }
}

TEST_CASE("a missing launcher is reported and the monitor runs on") {
    MonitorTree tree(false);
    Monitor monitor(tree.monitor());
    for (int attempt = 0; attempt < 2; ++attempt) {
        monitor.Command(kLogon);
        const std::vector<HWND> boxes = WaitForFilledBoxes(monitor.process.id());
        REQUIRE(boxes.size() == 1);
        CHECK(GetWindow(boxes[0], GW_OWNER) == monitor.window);
        auto box = TakeMessageBox(monitor.process.id(), kUiTimeoutMs);
        REQUIRE(box.has_value());
        CHECK(box->caption == "Error");
        CHECK(box->text == "Failed to launch Quillora OpenPGP. Error: 2");
        // Gone before the next attempt, so the next box found is the next one shown.
        const ULONGLONG closed = GetTickCount64() + kUiTimeoutMs;
        while (!DialogBoxes(monitor.process.id()).empty() && GetTickCount64() < closed) Sleep(25);
        REQUIRE(DialogBoxes(monitor.process.id()).empty());
    }
    CHECK(monitor.process.ExitCode() == STILL_ACTIVE);
    CHECK(monitor.Stop(tree.monitor()) == 0);
    REQUIRE(monitor.process.Wait(kUiTimeoutMs));
    CHECK(monitor.process.ExitCode() == 0);
}

TEST_CASE("after the taskbar is created anew the icon is back, with the current state") {
    RunningApplication application(true);
    MonitorTree tree;
    Monitor monitor(tree.monitor());
    REQUIRE(WaitForTrayPicture(TrayPicture::LoggedIn));
    const auto announceTaskbar = [&] {
        DWORD_PTR result = 0;
        REQUIRE(SendMessageTimeoutA(monitor.window, RegisterWindowMessageA("TaskbarCreated"), 0, 0, SMTO_NORMAL,
                                    kUiTimeoutMs, &result));
    };

    // Announced while the icon is still there (a display-scale change, a remote-desktop reconnect):
    // adding it again fails, yet the monitor keeps its icon and runs on.
    announceTaskbar();
    CHECK(DialogBoxes(monitor.process.id()).empty());
    CHECK(monitor.process.ExitCode() == STILL_ACTIVE);
    CHECK(IconExists(monitor.window));
    CHECK(WaitForTrayPicture(TrayPicture::LoggedIn));

    // The shell loses the icon, as when the taskbar restarts, and then announces the new taskbar.
    REQUIRE(DeleteIcon(monitor.window));
    REQUIRE(WaitForTrayPicture(TrayPicture::None));
    announceTaskbar();
    CHECK(IconExists(monitor.window));
    CHECK(WaitForTrayPicture(TrayPicture::LoggedIn));

    // The next state change updates the re-added icon; no failure, the monitor runs on.
    application.Forward("0*logoff**");
    CHECK(WaitForTrayPicture(TrayPicture::NotLoggedIn));
    CHECK(DialogBoxes(monitor.process.id()).empty());
    CHECK(monitor.process.ExitCode() == STILL_ACTIVE);
    CHECK(monitor.Stop(tree.monitor()) == 0);
}

TEST_CASE("a lost icon shows one failure box, however many polls come while it is open") {
    RunningApplication application(true);
    MonitorTree tree;
    Monitor monitor(tree.monitor());
    REQUIRE(WaitForTrayPicture(TrayPicture::LoggedIn));
    REQUIRE(DeleteIcon(monitor.window));

    // The next state change finds no icon to change.
    application.Forward("0*logoff**");
    const std::vector<HWND> boxes = WaitForFilledBoxes(monitor.process.id());
    REQUIRE(boxes.size() == 1);
    CHECK(GetWindow(boxes[0], GW_OWNER) == monitor.window);

    // While the box is open the state changes again and polls come; a command posted after them
    // shows they were all handled, and still only one box is open.
    application.Forward("0*logon**");
    REQUIRE(application.tree.WaitForRecord("publish", 3, kUiTimeoutMs));
    for (int i = 0; i < 3; ++i) PostMessageA(monitor.window, WM_TIMER, 1, 0);
    monitor.Command(kLogoff);
    REQUIRE(WaitForStarts(tree.record(), 1));
    CHECK(DialogBoxes(monitor.process.id()).size() == 1);
    // A new taskbar while the box is open puts the icon back, and the monitor that then ends takes
    // it away again.
    DWORD_PTR result = 0;
    REQUIRE(SendMessageTimeoutA(monitor.window, RegisterWindowMessageA("TaskbarCreated"), 0, 0, SMTO_NORMAL,
                                kUiTimeoutMs, &result));
    CHECK(IconExists(monitor.window));
    CHECK(DialogBoxes(monitor.process.id()).size() == 1);

    auto box = TakeMessageBox(monitor.process.id(), kUiTimeoutMs);
    REQUIRE(box.has_value());
    CHECK(box->caption == "Quillora OpenPGP Monitor");
    CHECK(box->text == "Failed to set tray icon. QLOPGP monitor will exit now.");
    REQUIRE(monitor.process.Wait(kUiTimeoutMs));
    CHECK(monitor.process.ExitCode() == 0);
    // The notification area no longer holds an icon for the monitor's window: asked directly, since
    // the screen is redrawn a moment later.
    CHECK_FALSE(IconExists(monitor.window));
}

TEST_CASE("the launcher is started by its quoted path, never a program at the first blank of the folder") {
    MonitorTree tree;
    const std::string planted = tree.outer() + "ql.exe";
    Copy(RecorderProgram(), planted);
    const std::string plantedRecord = tree.outer() + "launcher-record.log";

    // What the unquoted command line would run: the planted program.
    {
        Child unquoted = StartOnTrayDesktop(tree.launcher() + " 0*logon**");
        REQUIRE(unquoted.Wait(kUiTimeoutMs));
        REQUIRE(WaitForStarts(plantedRecord, 1));
        REQUIRE(DeleteFileA(plantedRecord.c_str()));
        CHECK(ReadStarts(tree.record()).empty());
    }

    Monitor monitor(tree.monitor());
    monitor.Command(kLogon);
    REQUIRE(WaitForStarts(tree.record(), 1));
    REQUIRE(WaitForNoProcessOf(tree.doubles()));
    const Started start = ReadStarts(tree.record()).at(0);
    CHECK(start.commandLine == Quoted(tree.launcher()) + " 0*logon**");
    CHECK(start.request == "0*logon**");
    CHECK_FALSE(FileExists(plantedRecord));
    CHECK(monitor.Stop(tree.monitor()) == 0);
}

TEST_CASE("the end of the session closes the monitor, as the Restart Manager asks before an update") {
    MonitorTree tree;
    Monitor monitor(tree.monitor());
    CHECK(SendMessageA(monitor.window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP) == TRUE);
    SendMessageA(monitor.window, WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP);  // the end did not come
    CHECK(IconExists(monitor.window));
    SendMessageA(monitor.window, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    REQUIRE(monitor.process.Wait(kUiTimeoutMs));
    CHECK(monitor.process.ExitCode() == 0);
    CHECK(WaitForTrayPicture(TrayPicture::None));
    // The monitor registers itself for restart (RegisterApplicationRestart); Wine has no Restart
    // Manager to start it again after an update, so the test stops here.
}
