// The javaw.exe double on its own, in a product tree of its own: the launcher's tests rely on it to
// load the library the launcher's folder holds, publish its windows as the application does, follow
// logon and logoff, record every request exactly and end when told to.
#include <doctest/doctest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bridge.h"
#include "child_process.h"
#include "files.h"
#include "sandbox.h"
#include "window_finder.h"

using namespace ql::test;

TEST_SUITE_BEGIN("javaw_double");

namespace {

constexpr DWORD kTimeoutMs = 30000;
constexpr UINT kExitMessage = WM_APP + 1;

std::string Lower(std::string text) {
    CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// The launcher's folder bin\ with the library, and beside it the accompanying runtime jre\bin\ with
// the double.
struct JavawTree : ProductTree {
    JavawTree() : ProductTree(Contents{{"QLPGPUtils.dll"}, true, false, {}}) {}
    std::string javaw() const { return jreBin() + "javaw.exe"; }
    std::string library() const { return bin() + "QLPGPUtils.dll"; }
    std::string binFolder() const { return bin().substr(0, bin().size() - 1); }
    void WriteControl(const std::string& contents) const { WriteFile(jreBin() + "javaw-control", contents); }

    // The events one process recorded, without its process id; activations left out, since nothing
    // here asks for the foreground.
    std::vector<std::string> Events(DWORD processId) const {
        std::vector<std::string> events;
        for (const RecordLine& line : Record())
            if (line.pid == processId && line.event != "activated")
                events.push_back(line.event + (line.rest.empty() ? "" : " " + line.rest));
        return events;
    }
    bool WaitForEvents(DWORD processId, std::size_t count) const {
        return WaitUntil([&] { return Events(processId).size() >= count; }, kTimeoutMs);
    }
    // The whole record, for failure messages.
    std::string Text() const { return ReadText(jreBin() + "javaw-record.log"); }
};

bool WaitForPublished(HWND (*read)(), HWND expected) {
    return WaitUntil([&] { return read() == expected; }, kTimeoutMs);
}

// Events one a line, so that a failed comparison shows them.
std::string Lines(const std::vector<std::string>& events, std::size_t from = 0) {
    std::string text;
    for (std::size_t i = from; i < events.size(); ++i) text += events[i] + "\n";
    return text;
}

std::string ClassOf(HWND window) {
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct Windows {
    int main = 0, hidden = 0;
    HWND mainWnd() const { return reinterpret_cast<HWND>(static_cast<std::intptr_t>(main)); }
    HWND hiddenWnd() const { return reinterpret_cast<HWND>(static_cast<std::intptr_t>(hidden)); }
    std::string Publication(bool loggedOn) const {
        return "publish " + std::to_string(loggedOn ? main : 0) + " " + std::to_string(hidden);
    }
};

// The handles of the "windows <main> <hidden>" event, checked to be the double's own windows.
Windows WindowsOf(const std::string& event, DWORD processId) {
    Windows windows;
    REQUIRE(std::sscanf(event.c_str(), "windows %d %d", &windows.main, &windows.hidden) == 2);
    CHECK(ClassOf(windows.mainWnd()) == "QLTestJavaMain");
    CHECK(ClassOf(windows.hiddenWnd()) == "QLTestJavaHidden");
    DWORD owner = 0;
    GetWindowThreadProcessId(windows.mainWnd(), &owner);
    CHECK(owner == processId);
    return windows;
}

Child StartJavaw(const JavawTree& tree, const std::string& commandLine) {
    Child::Options options;
    options.currentDirectory = tree.binFolder();
    options.captureOutput = false;
    Child javaw(commandLine, options);
    REQUIRE_MESSAGE(javaw.started(), "error " << javaw.startError());
    return javaw;
}

}  // namespace

TEST_CASE("the javaw double publishes its windows, follows logon and logoff, records requests, ends on WM_CLOSE") {
    JavawTree tree;
    const std::string commandLine =
        Quote(tree.javaw()) + " -cp qlopgp.jar com.brennick.Launcher \"0*open*C:\\first file.pgp*\"";
    Child javaw = StartJavaw(tree, commandLine);
    const DWORD pid = javaw.id();

    // start, cmdline, cwd, library, module, windows, publish
    REQUIRE_MESSAGE(tree.WaitForEvents(pid, 7), tree.Text());
    std::vector<std::string> events = tree.Events(pid);
    CHECK(events[0] == "start");
    CHECK(events[1] == "cmdline " + commandLine);
    CHECK(events[2] == "cwd " + tree.binFolder());
    CHECK(events[3] == "library loaded");
    // Found by name in the current directory, the launcher's folder: not beside javaw.exe.
    CHECK(Lower(events[4]) == Lower("module " + tree.library()));
    const Windows windows = WindowsOf(events[5], pid);
    CHECK(events[6] == windows.Publication(true));

    // The library file the double loaded: each copy has a shared block of its own.
    Bridge bridge(tree.library());
    REQUIRE(bridge.loaded());
    CHECK(WaitForPublished(bridge.GetMainWnd, windows.mainWnd()));
    CHECK(bridge.GetHiddenWnd() == windows.hiddenWnd());

    CHECK(bridge.RequestOpenFile("0*logoff**") != 0);
    REQUIRE_MESSAGE(tree.WaitForEvents(pid, 9), tree.Text());
    CHECK(WaitForPublished(bridge.GetMainWnd, nullptr));
    CHECK(bridge.GetHiddenWnd() == windows.hiddenWnd());

    CHECK(bridge.RequestOpenFile("\"0*LogOn**\"") != 0);
    REQUIRE_MESSAGE(tree.WaitForEvents(pid, 11), tree.Text());
    CHECK(WaitForPublished(bridge.GetMainWnd, windows.mainWnd()));

    // A path beyond ASCII, as the library hands it over, recorded as UTF-8.
    const std::string ansiRequest = "0*open*C:\\caf\xE9 \xC4.pgp*";
    CHECK(bridge.RequestOpenFile(ansiRequest.c_str()) != 0);
    REQUIRE_MESSAGE(tree.WaitForEvents(pid, 13), tree.Text());

    REQUIRE(PostMessageA(windows.mainWnd(), WM_CLOSE, 0, 0));
    REQUIRE(javaw.Wait(kTimeoutMs));
    CHECK(javaw.ExitCode() == 0);

    events = tree.Events(pid);
    const std::vector<std::string> expected = {
        windows.Publication(true),
        "request 0*logoff**",
        windows.Publication(false),
        "request \"0*LogOn**\"",
        windows.Publication(true),
        "request " + AnsiToUtf8(ansiRequest),
        windows.Publication(true),
        "exit 0",
    };
    CHECK(Lines(events, 6) == Lines(expected));
    CHECK(AnsiToUtf8(ansiRequest) != ansiRequest);  // the check above really involves a conversion
}

TEST_CASE("the javaw double starts logged off when its control file says so, and ends with a chosen code") {
    JavawTree tree;
    tree.WriteControl("logged-off\r\n");
    Child javaw = StartJavaw(tree, Quote(tree.javaw()) + " -cp qlopgp.jar com.brennick.Launcher 0*open**");
    const DWORD pid = javaw.id();

    REQUIRE_MESSAGE(tree.WaitForEvents(pid, 7), tree.Text());
    std::vector<std::string> events = tree.Events(pid);
    const Windows windows = WindowsOf(events[5], pid);
    CHECK(events[6] == windows.Publication(false));

    Bridge bridge(tree.library());
    REQUIRE(bridge.loaded());
    CHECK(WaitForPublished(bridge.GetHiddenWnd, windows.hiddenWnd()));
    CHECK(bridge.GetMainWnd() == nullptr);

    CHECK(bridge.RequestOpenFile("0*logon**") != 0);
    REQUIRE_MESSAGE(tree.WaitForEvents(pid, 9), tree.Text());
    CHECK(WaitForPublished(bridge.GetMainWnd, windows.mainWnd()));

    REQUIRE(PostMessageA(windows.hiddenWnd(), kExitMessage, 7, 0));
    REQUIRE(javaw.Wait(kTimeoutMs));
    CHECK(javaw.ExitCode() == 7);
    events = tree.Events(pid);
    const std::vector<std::string> expected = {"request 0*logon**", windows.Publication(true), "exit 7"};
    CHECK(Lines(events, 7) == Lines(expected));
}

TEST_CASE("record lines that several threads append at once stay whole") {
    // The double's threads record at the same moment (a request, and the activation the launcher
    // causes with it); under Wine a long line and a short one could overlap in the file.
    Sandbox folder;
    const std::string path = folder.root() + "append.log";
    struct Writer {
        std::string path;
        std::string body;
        static DWORD WINAPI Run(void* parameter) {
            const auto* self = static_cast<const Writer*>(parameter);
            for (int i = 0; i < 200; ++i) ql::test::AppendLine(self->path, self->body);
            return 0;
        }
    };
    const Writer writers[] = {{path, std::string(20000, 'x')}, {path, "activated hidden"}, {path, "publish 1 2"}};
    std::vector<HANDLE> threads;
    for (const Writer& writer : writers)
        threads.push_back(CreateThread(nullptr, 0, &Writer::Run, const_cast<Writer*>(&writer), 0, nullptr));
    for (HANDLE thread : threads) {
        REQUIRE(thread != nullptr);
        REQUIRE(WaitForSingleObject(thread, kTimeoutMs) == WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    const std::string contents = folder.ReadText(path);
    int whole = 0;
    std::size_t start = 0;
    for (std::size_t end; (end = contents.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = contents.substr(start, end - start);
        for (const Writer& writer : writers) whole += line == writer.body;
    }
    CHECK(start == contents.size());
    CHECK(whole == 600);
}

TEST_SUITE_END();
