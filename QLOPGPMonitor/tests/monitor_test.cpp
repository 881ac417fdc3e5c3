// The tray monitor as a user meets it: real monitor processes on a desktop with Wine's X11 driver
// and a real notification area (under Xvfb), the icon read back from the screen, the menu opened by
// the icon's callback message and driven by keys. The log-on state comes from the real launcher and
// the Java runtime double; the menu commands go to the recorder standing in for the launcher beside
// the monitor.
#include <doctest/doctest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "printers.h"
#include "registry.h"
#include "sandbox.h"
#include "tray_harness.h"
#include "ql/product_names.h"

using namespace ql::test;

namespace {

constexpr UINT kIconCallback = WM_USER + 1;
constexpr WORD kLogon = 133, kLogoff = 134;

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The monitor in a product tree of its own: the monitor, the recorder as its launcher (unless told
// otherwise), the help page, the recorder as the viewer of help pages, and the recorder planted at
// the first blank of the tree's path ("ql product"), which an unquoted launcher path would start:
// <outer>\ql.exe.
struct MonitorTree : ProductTree {
    explicit MonitorTree(bool withLauncher = true)
        : ProductTree(Contents{{"QLOPGPMonitor.exe"}, false, true, {}}) {
        if (withLauncher) PlaceRecorder(launcher());
        PlaceRecorder(outer() + "ql.exe");
        PlaceRecorder(viewer());
    }
    std::string monitor() const { return bin() + "QLOPGPMonitor.exe"; }
    std::string viewer() const { return root() + "viewer\\helpviewer.exe"; }
    std::string viewerFolder() const { return root() + "viewer\\"; }
    std::vector<std::string> doubles() const { return {launcher(), outer() + "ql.exe", viewer()}; }
};

// A running monitor, ready once its window and its icon exist.
struct Monitor {
    Child process;
    HWND window = nullptr;

    explicit Monitor(const std::string& program, const std::string& arguments = {})
        : process(StartOnTrayDesktop(Quoted(program) + (arguments.empty() ? "" : " " + arguments))) {
        REQUIRE(process.started());
        window = WaitForWindow(MonitorWindow(process.id()), kUiTimeoutMs);
        REQUIRE(window != nullptr);
        REQUIRE(WaitUntil([&] { return IconExists(window); }, kUiTimeoutMs));
    }

    void Command(WORD command) const { PostMessageA(window, WM_COMMAND, command, 0); }
    WindowQuery Menu() const { return {kMenuClass, process.id()}; }
    std::vector<HWND> Boxes() const { return FindWindows({kDialogClass, process.id()}); }

    // Opens the menu as a right click on the icon does and picks `item` (counted from 1, separators
    // not counted) with the keys, which the menu's own loop reads from its thread's queue. A greyed
    // item does nothing; the menu is then closed with Escape.
    void PickFromMenu(int item, bool greyed = false) const {
        PostMessageA(window, kIconCallback, 1, WM_RBUTTONUP);
        HWND popup = WaitForWindow(Menu(), kUiTimeoutMs);
        REQUIRE(popup != nullptr);
        for (int i = 0; i < item; ++i) PostMessageA(popup, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageA(popup, WM_KEYDOWN, VK_RETURN, 0);
        if (greyed) PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        REQUIRE(WaitForNoWindow(Menu(), kUiTimeoutMs));
    }

    // The shell's announcement of a new taskbar.
    void AnnounceTaskbar() const {
        DWORD_PTR result = 0;
        REQUIRE(SendMessageTimeoutA(window, RegisterWindowMessageA("TaskbarCreated"), 0, 0, SMTO_NORMAL, kUiTimeoutMs,
                                    &result));
    }

    // The one message box the monitor shows, owned by its window: read and closed with OK.
    void TakeOnlyBox(const std::string& caption, const std::string& text) const {
        REQUIRE(WaitForMessageBoxes(process.id(), kUiTimeoutMs).size() == 1);
        const auto box = TakeMessageBox(process.id(), kUiTimeoutMs);
        REQUIRE(box.has_value());
        CHECK(box->owner == window);
        CHECK(box->caption == caption);
        CHECK(box->text == text);
    }

    // Stop mode, as another process uses it.
    static DWORD Stop(const std::string& program, const std::string& argument = "shutdown") {
        Child stopper = StartOnTrayDesktop(Quoted(program) + " " + argument);
        REQUIRE(stopper.Wait(kUiTimeoutMs * 2));
        return stopper.ExitCode();
    }

    void ExpectEnd() {
        REQUIRE(process.Wait(kUiTimeoutMs));
        CHECK(process.ExitCode() == 0);
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

// The shell opens .htm pages with `program`, for as long as the test runs.
class HelpViewer {
public:
    explicit HelpViewer(const std::string& program) : pageClass_("Software\\Classes\\QLTestHelpPage") {
        char value[256] = {};
        DWORD size = sizeof value;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, kHtm, nullptr, RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS)
            previous_ = value;
        pageClass_.SetString("shell\\open\\command", "", Quoted(program) + " \"%1\"");
        SetHtmClass("QLTestHelpPage");
    }
    ~HelpViewer() {
        if (previous_) {
            SetHtmClass(*previous_);
        } else {
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, kHtm);
        }
    }

private:
    static constexpr char kHtm[] = "Software\\Classes\\.htm";
    static void SetHtmClass(const std::string& name) {
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, kHtm, nullptr, REG_SZ, name.c_str(), static_cast<DWORD>(name.size() + 1));
    }
    ScopedRegistryTree pageClass_;
    std::optional<std::string> previous_;
};

}  // namespace

TEST_SUITE_BEGIN("menu");

TEST_CASE("each menu item, greyed by the log-on state or not, starts the launcher by its quoted path with its request") {
    struct Row {
        bool loggedOn;
        TrayPicture picture;
        const char* requests[5];  // of the items 1 to 5 (Help and Exit follow); null: greyed
    };
    const Row rows[] = {
        {false, TrayPicture::NotLoggedIn, {"0*logon**", nullptr, nullptr, nullptr, nullptr}},
        {true, TrayPicture::LoggedIn,
         {nullptr, "0*logoff**", "0*secure_text_editor**", "0*default_settings**", "0*key_manager**"}},
    };
    for (const Row& row : rows) {
        CAPTURE(row.loggedOn);
        std::optional<RunningApplication> application;
        if (row.loggedOn) application.emplace(true);
        MonitorTree tree;
        HelpViewer viewer(tree.viewer());

        // What an unquoted launcher path would run: the planted program, not the launcher.
        Child unquoted = StartOnTrayDesktop(tree.launcher() + " 0*logon**");
        REQUIRE(unquoted.Wait(kUiTimeoutMs));
        REQUIRE(tree.WaitForStarts(1, kUiTimeoutMs, tree.outer()));
        CHECK(tree.Starts().empty());
        tree.ClearStarts(tree.outer());

        // A window that is never shown, and one icon with the state's picture and tip.
        Monitor monitor(tree.monitor());
        CHECK_FALSE(IsWindowVisible(monitor.window));
        CHECK(GetParent(monitor.window) == nullptr);
        CHECK(WaitForTrayPicture(row.picture));

        // Polls keep the state. Left clicks, double clicks and other mouse events on the icon open
        // nothing: the command posted after them shows that they were handled, and had one opened
        // the menu, the menu would still be open.
        for (int i = 0; i < 3; ++i) PostMessageA(monitor.window, WM_TIMER, 1, 0);
        for (LPARAM event : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN, WM_MOUSEMOVE})
            PostMessageA(monitor.window, kIconCallback, 1, event);
        monitor.Command(kLogon);
        std::vector<std::string> expected{"0*logon**"};
        REQUIRE(tree.WaitForStarts(1, kUiTimeoutMs));
        CHECK(FindWindows(monitor.Menu()).empty());
        CHECK(ReadTrayPicture() == row.picture);

        // Each pick starts its own launcher, awaited before the next pick.
        for (int item = 1; item <= 5; ++item) {
            CAPTURE(item);
            const char* request = row.requests[item - 1];
            monitor.PickFromMenu(item, request == nullptr);
            if (request == nullptr) continue;
            expected.push_back(request);
            REQUIRE(tree.WaitForStarts(expected.size(), kUiTimeoutMs));
        }

        // Help opens the canonical help page of the product tree.
        monitor.PickFromMenu(6);
        REQUIRE(tree.WaitForStarts(1, kUiTimeoutMs, tree.viewerFolder()));
        CHECK(tree.Starts(tree.viewerFolder()).at(0).request == Quoted(tree.root() + "help\\index.htm"));

        // Exit sends the log-off request whatever the state, removes the icon and ends. Any command
        // a greyed item had sent would have been handled before it, so once every launcher started
        // has ended the record is whole.
        monitor.PickFromMenu(7);
        monitor.ExpectEnd();
        expected.push_back("0*logoff**");
        REQUIRE(tree.WaitForStarts(expected.size(), kUiTimeoutMs));
        REQUIRE(WaitForNoProcessOf(tree.doubles()));
        CHECK(WaitForTrayPicture(TrayPicture::None));
        const std::vector<Start> starts = tree.Starts();
        REQUIRE(starts.size() == expected.size());
        for (size_t i = 0; i < starts.size(); ++i) {
            CAPTURE(i);
            CHECK(starts[i].commandLine == Quoted(tree.launcher()) + " " + expected[i]);
            CHECK(starts[i].request == expected[i]);
        }
        CHECK(tree.Starts(tree.outer()).empty());
    }
}

TEST_SUITE_END();
TEST_SUITE_BEGIN("launcher");

TEST_CASE("the icon follows the application's log-on state through the real launcher") {
    RunningApplication application(false);
    const std::string program = application.tree.bin() + "QLOPGPMonitor.exe";
    application.tree.CopyBuilt("QLOPGPMonitor.exe", program);
    Monitor monitor(program);
    CHECK(WaitForTrayPicture(TrayPicture::NotLoggedIn));

    // Logon from the menu: the monitor starts the real launcher from its folder (whose path has
    // blanks), which forwards the request unchanged; the application publishes its main window and
    // the next poll shows it.
    monitor.PickFromMenu(1);
    REQUIRE(application.tree.WaitForRecord("request", 1, kUiTimeoutMs));
    CHECK(application.tree.Events("request").at(0) == "0*logon**");
    CHECK(WaitForTrayPicture(TrayPicture::LoggedIn));

    // The menu now follows the new state: Logon greyed, the tools and Logoff enabled.
    // Two launchers started back to back may deliver in either order, so each request is awaited
    // before the next pick.
    monitor.PickFromMenu(1, true);
    monitor.PickFromMenu(5);
    REQUIRE(application.tree.WaitForRecord("request", 2, kUiTimeoutMs));
    monitor.PickFromMenu(2);
    REQUIRE(application.tree.WaitForRecord("request", 3, kUiTimeoutMs));
    CHECK(application.tree.Events("request") == std::vector<std::string>{"0*logon**", "0*key_manager**", "0*logoff**"});
    CHECK(WaitForTrayPicture(TrayPicture::NotLoggedIn));

    CHECK(Monitor::Stop(program) == 0);
    monitor.ExpectEnd();
}

TEST_CASE("a missing launcher is reported and the monitor runs on") {
    MonitorTree tree(false);
    Monitor monitor(tree.monitor());
    for (int attempt = 0; attempt < 2; ++attempt) {
        CAPTURE(attempt);
        monitor.Command(kLogon);
        monitor.TakeOnlyBox("Error", "Failed to launch Quillora OpenPGP. Error: 2");
        // Gone before the next attempt, so the next box found is the next one shown.
        REQUIRE(WaitForNoWindow({kDialogClass, monitor.process.id()}, kUiTimeoutMs));
    }
    CHECK(monitor.process.ExitCode() == STILL_ACTIVE);
    CHECK(Monitor::Stop(tree.monitor()) == 0);
    monitor.ExpectEnd();
}

TEST_SUITE_END();
TEST_SUITE_BEGIN("shutdown");

TEST_CASE("stop mode") {
    MonitorTree tree;
    SUBCASE("with no monitor running it ends at once with 0") { CHECK(Monitor::Stop(tree.monitor()) == 0); }
    SUBCASE("\"shutdown\" in any letter case stops the running monitor") {
        for (const char* argument : {"shutdown", "SHUTDOWN", "Shutdown"}) {
            CAPTURE(argument);
            Monitor monitor(tree.monitor());
            CHECK(Monitor::Stop(tree.monitor(), argument) == 0);
            monitor.ExpectEnd();
            CHECK(FindWindows(MonitorWindow()).empty());
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
        const std::string copy = tree.outer() + "Zo\xEB\\QLOPGPMonitor.exe";
        tree.CopyBuilt(tree.monitor(), copy);
        Monitor monitor(tree.monitor());
        Child stopper = StartOnTrayDesktop(copy + " shutdown");
        // A stopper that took itself for a monitor never ends by itself: it is ended with the test.
        REQUIRE(stopper.Wait(kUiTimeoutMs));
        CHECK(stopper.ExitCode() == 0);
        REQUIRE(monitor.process.Wait(kUiTimeoutMs));
        CHECK(FindWindows(MonitorWindow()).empty());
    }
    SUBCASE("\"shutdown x\" is no stop request: it starts a further monitor") {
        Monitor first(tree.monitor());
        Monitor second(tree.monitor(), "shutdown x");
        CHECK(first.process.ExitCode() == STILL_ACTIVE);
        CHECK(FindWindows(MonitorWindow()).size() == 2);
        // Each stop ends one of them.
        CHECK(Monitor::Stop(tree.monitor()) == 0);
        CHECK(Monitor::Stop(tree.monitor()) == 0);
        first.ExpectEnd();
        second.ExpectEnd();
    }
}

TEST_CASE("the end of the session closes the monitor, as the Restart Manager asks before an update") {
    MonitorTree tree;
    Monitor monitor(tree.monitor());
    CHECK(SendMessageA(monitor.window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP) == TRUE);
    SendMessageA(monitor.window, WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP);  // the end did not come
    CHECK(IconExists(monitor.window));
    SendMessageA(monitor.window, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    monitor.ExpectEnd();
    CHECK(WaitForTrayPicture(TrayPicture::None));
    // The monitor registers itself for restart (RegisterApplicationRestart); Wine has no Restart
    // Manager to start it again after an update, so the test stops here.
}

TEST_SUITE_END();
TEST_SUITE_BEGIN("taskbar");

TEST_CASE("after the taskbar is created anew the icon is back, with the current state") {
    RunningApplication application(true);
    MonitorTree tree;
    Monitor monitor(tree.monitor());
    REQUIRE(WaitForTrayPicture(TrayPicture::LoggedIn));

    // Announced while the icon is still there (a display-scale change, a remote-desktop reconnect):
    // adding it again fails, yet the monitor keeps its icon and runs on.
    monitor.AnnounceTaskbar();
    CHECK(monitor.Boxes().empty());
    CHECK(monitor.process.ExitCode() == STILL_ACTIVE);
    CHECK(IconExists(monitor.window));
    CHECK(WaitForTrayPicture(TrayPicture::LoggedIn));

    // The shell loses the icon, as when the taskbar restarts, and then announces the new taskbar.
    REQUIRE(DeleteIcon(monitor.window));
    REQUIRE(WaitForTrayPicture(TrayPicture::None));
    monitor.AnnounceTaskbar();
    CHECK(IconExists(monitor.window));
    CHECK(WaitForTrayPicture(TrayPicture::LoggedIn));

    // The next state change updates the re-added icon; no failure, the monitor runs on.
    application.Forward("0*logoff**");
    CHECK(WaitForTrayPicture(TrayPicture::NotLoggedIn));
    CHECK(monitor.Boxes().empty());
    CHECK(monitor.process.ExitCode() == STILL_ACTIVE);
    CHECK(Monitor::Stop(tree.monitor()) == 0);
}

TEST_CASE("a lost icon shows one failure box, however many polls come while it is open") {
    RunningApplication application(true);
    MonitorTree tree;
    Monitor monitor(tree.monitor());
    REQUIRE(WaitForTrayPicture(TrayPicture::LoggedIn));
    REQUIRE(DeleteIcon(monitor.window));

    // The next state change finds no icon to change.
    application.Forward("0*logoff**");
    REQUIRE(WaitForMessageBoxes(monitor.process.id(), kUiTimeoutMs).size() == 1);

    // While the box is open the state changes again and polls come; a command posted after them
    // shows they were all handled, and still only one box is open.
    application.Forward("0*logon**");
    REQUIRE(application.tree.WaitForRecord("publish", 3, kUiTimeoutMs));
    for (int i = 0; i < 3; ++i) PostMessageA(monitor.window, WM_TIMER, 1, 0);
    monitor.Command(kLogoff);
    REQUIRE(tree.WaitForStarts(1, kUiTimeoutMs));
    CHECK(monitor.Boxes().size() == 1);
    // A new taskbar while the box is open puts the icon back, and the monitor that then ends takes
    // it away again.
    monitor.AnnounceTaskbar();
    CHECK(IconExists(monitor.window));
    monitor.TakeOnlyBox("Quillora OpenPGP Monitor", "Failed to set tray icon. QLOPGP monitor will exit now.");
    monitor.ExpectEnd();
    // The notification area no longer holds an icon for the monitor's window: asked directly, since
    // the screen is redrawn a moment later.
    CHECK_FALSE(IconExists(monitor.window));
}

TEST_SUITE_END();
