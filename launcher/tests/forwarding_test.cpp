// Later launchers hand their requests to the running one, which passes them to the application
// through the bridge library; the monitor window answers the status query and survives bad input;
// the launcher lives exactly as long as the application. Real processes under Wine.
#include <doctest/doctest.h>

#include <set>
#include <string>
#include <vector>

#include "bridge.h"
#include "launcher_harness.h"
#include "message_box.h"
#include "ql/unique_handle.h"
#include "registry.h"
#include "ql/product_names.h"

using namespace ql::test;

namespace {

// A first instance with the application double up and waiting for requests.
struct RunningProduct {
    ProductTree tree;
    Child first;
    HWND monitor = nullptr;

    explicit RunningProduct(const std::string& control = {}) : tree(), first(StartFirst(tree, control)) {
        REQUIRE(first.started());
        monitor = WaitForMonitorWindow();
        if (monitor == nullptr) {
            // Say why: the launcher may have ended, or be showing a message.
            auto box = TakeMessageBox(first.id(), 0);
            CAPTURE(first.ExitCode());
            CAPTURE((box ? box->text : std::string("no message box")));
            REQUIRE(monitor != nullptr);
        }
        if (control.find("delay-ms") == std::string::npos) REQUIRE(tree.WaitForRecord("publish", 1, kStartTimeoutMs));
    }

    static Child StartFirst(ProductTree& tree, const std::string& control) {
        if (!control.empty()) tree.WriteFile(tree.jreBin() + "javaw-control", control);
        return StartLauncher(tree, "0*logon**");
    }

    // Runs a forwarder to its end; returns its exit code.
    DWORD Forward(const std::string& arguments) {
        Child forwarder = StartLauncher(tree, arguments);
        REQUIRE(forwarder.started());
        REQUIRE(forwarder.Wait(kStartTimeoutMs));
        return forwarder.ExitCode();
    }

    // The n-th request (1-based) the application received through the channel.
    std::string Request(size_t n) {
        REQUIRE(tree.WaitForRecord("request", n, kStartTimeoutMs));
        return tree.Events("request").at(n - 1);
    }

    size_t RequestCount() { return tree.Events("request").size(); }
};

// Sends WM_COPYDATA as any process could; the window's answer, or -1 when the send failed.
LRESULT SendCopyData(HWND window, const void* data, DWORD size) {
    COPYDATASTRUCT copy{0, size, const_cast<void*>(data)};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL, 10000, &result))
        return -1;
    return static_cast<LRESULT>(result);
}

}  // namespace

TEST_CASE("a forwarder delivers its request byte for byte to the running application") {
    RunningProduct product;
    struct Case {
        const char* arguments;
        const char* delivered;
    };
    const Case cases[] = {
        {"\"77*unprotect*C:\\a b\\x.pgp*C:\\y.txt*\"", "\"77*unprotect*C:\\a b\\x.pgp*C:\\y.txt*\""},
        {"0*secure_text_editor**", "0*secure_text_editor**"},
        {"", "0*open**"},
        {"0*key_manager** -p x", "0*key_manager** -p x"},
    };
    size_t n = 0;
    for (const Case& c : cases) {
        CAPTURE(c.arguments);
        CHECK(product.Forward(c.arguments) == 0);
        CHECK(product.Request(++n) == c.delivered);
    }
    SUBCASE("a bare path is wrapped into an unprotect request, whole line in one item") {
        CHECK(product.Forward("\"C:\\x y.pgp\" -p v") == 0);
        const std::string got = product.Request(++n);
        CHECK(got.front() == '"');
        CHECK(got.substr(got.find('*')) == "*unprotect*C:\\x y.pgp\" -p v*\"");
    }
    // Exactly one application the whole time.
    CHECK(product.tree.Events("start").size() == 1);
}

TEST_CASE("the application window that will answer is brought to the front") {
    RunningProduct product;
    const std::vector<std::string> windows = product.tree.Events("windows");
    REQUIRE(windows.size() == 1);

    CHECK(product.Forward("0*OPEN**") == 0);
    CHECK(product.Request(1) == "0*OPEN**");
    CHECK(product.tree.WaitForRecord("activated", 1, kStartTimeoutMs));
    CHECK(product.tree.Events("activated").back() == "main");

    CHECK(product.Forward("\"5*wipe*C:\\w*\"") == 0);
    CHECK(product.Request(2) == "\"5*wipe*C:\\w*\"");
    REQUIRE(product.tree.WaitForRecord("activated", 2, kStartTimeoutMs));
    CHECK(product.tree.Events("activated").back() == "hidden");
}

TEST_CASE("the status query tells whether the application has published a main window") {
    // The application waits before its first publication, so the query comes first.
    RunningProduct product("logged-off\ndelay-ms 3000\n");
    CHECK(QueryStatus() == 0);
    REQUIRE(product.tree.WaitForRecord("publish", 1, kStartTimeoutMs));
    CHECK(QueryStatus() == 0);  // published, but logged off: main window 0

    CHECK(product.Forward("0*logon**") == 0);
    REQUIRE(product.tree.WaitForRecord("publish", 2, kStartTimeoutMs));
    CHECK(QueryStatus() == 1);

    CHECK(product.Forward("0*logoff**") == 0);
    REQUIRE(product.tree.WaitForRecord("publish", 3, kStartTimeoutMs));
    CHECK(QueryStatus() == 0);
}

TEST_CASE("the launcher lives exactly as long as the application") {
    RunningProduct product;
    SUBCASE("the application ends: the launcher ends with 0") {
        PostMessageA(FindApplicationWindow(), WM_CLOSE, 0, 0);
        REQUIRE(product.first.Wait(kStartTimeoutMs));
        CHECK(product.first.ExitCode() == 0);
    }
    SUBCASE("the monitor window is closed: the launcher ends with 0, the application runs on") {
        PostMessageA(product.monitor, WM_CLOSE, 0, 0);
        REQUIRE(product.first.Wait(kStartTimeoutMs));
        CHECK(product.first.ExitCode() == 0);
        CHECK(FindApplicationWindow() != nullptr);
        CHECK(product.tree.Events("exit").empty());
    }
}

TEST_CASE("the monitor window survives malformed forwarding messages") {
    RunningProduct product;
    HWND monitor = product.monitor;

    // Each bad message first, then a good one: only the good ones may arrive.
    SendCopyData(monitor, nullptr, 0);
    const char notEmpty[] = "0*logon**";
    SendCopyData(monitor, notEmpty, 0);
    CHECK(product.Forward("0*default_settings**") == 0);
    CHECK(product.Request(1) == "0*default_settings**");

    SUBCASE("data without a terminating zero: exactly cbData bytes are taken") {
        const char unterminated[] = "0*logoff**TRAILING BYTES NOT SENT";
        SendCopyData(monitor, unterminated, 10);
        CHECK(product.Request(2) == "0*logoff**");
    }
    SUBCASE("data with a zero inside: the text ends there") {
        const char embedded[] = "0*logoff**\0hidden*";
        SendCopyData(monitor, embedded, sizeof embedded);
        CHECK(product.Request(2) == "0*logoff**");
    }
    SUBCASE("a megabyte of fields: cut after the last whole field that fits the slot") {
        std::string huge = "0*protect*";
        for (int i = 0; huge.size() < (1u << 20); ++i) huge += "C:\\folder\\file " + std::to_string(i) + ".txt*";
        SendCopyData(monitor, huge.c_str(), static_cast<DWORD>(huge.size() + 1));
        const std::string got = product.Request(2);
        CHECK(got.size() <= 65534);
        CHECK(got.back() == '*');
        CHECK(huge.compare(0, got.size(), got) == 0);
    }
    CHECK(product.RequestCount() == 2);
    CHECK(product.first.ExitCode() == STILL_ACTIVE);
}

TEST_CASE("launchers started together start one application and every request arrives once") {
    ProductTree tree;
    constexpr int kLaunchers = 12;
    std::vector<Child> launchers;
    std::set<std::string> sent;
    for (int i = 0; i < kLaunchers; ++i) {
        const std::string request = "\"0*unprotect*C:\\together " + std::to_string(i) + ".pgp*\"";
        sent.insert(request.substr(1, request.size() - 2));
        launchers.push_back(StartLauncher(tree, request, /*suspended=*/true));
        REQUIRE(launchers.back().started());
    }
    // Let them all go at once, so that they race for the mutex while the application starts.
    for (Child& launcher : launchers) launcher.Resume();
    // All but the first instance end, each with 0; the first instance stays with the application.
    auto running = [&] {
        int count = 0;
        for (Child& launcher : launchers) count += launcher.ExitCode() == STILL_ACTIVE;
        return count;
    };
    const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs + 15000;
    while (running() > 1 && GetTickCount64() < deadline) Sleep(25);
    CHECK(running() == 1);
    for (Child& launcher : launchers) {
        if (launcher.ExitCode() != STILL_ACTIVE) CHECK(launcher.ExitCode() == 0);
    }
    CHECK(tree.WaitForRecord("request", kLaunchers - 1, kStartTimeoutMs));
    CHECK(tree.Events("start").size() == 1);

    // The first instance's request on the application's command line, then the others through the
    // channel: each once, none lost.
    const std::string commandLine = tree.Events("cmdline").at(0);
    const std::string mainClass = "com.brennick.Launcher ";
    std::vector<std::string> arrived = {commandLine.substr(commandLine.find(mainClass) + mainClass.size())};
    for (const std::string& request : tree.Events("request")) arrived.push_back(request);
    std::set<std::string> unique;
    for (std::string text : arrived) {
        if (text.front() == '"') text = text.substr(1, text.size() - 2);
        CAPTURE(text);
        CHECK(sent.count(text) == 1);
        CHECK(unique.insert(text).second);
    }
    CHECK(unique == sent);
}

TEST_CASE("requests wait their turn in arrival order; past the bound one is refused and the user told") {
    // The application takes nothing until the hold file goes.
    RunningProduct product("delay-ms 1\nhold-while hold");
    const std::string hold = product.tree.jreBin() + "hold";
    product.tree.WriteFile(hold, "");
    REQUIRE(product.tree.WaitForRecord("windows", 1, kStartTimeoutMs));

    // One request in the channel, then as many waiting in the launcher as it keeps.
    constexpr int kBound = 1000;
    std::vector<std::string> sent;
    for (int i = 0; i <= kBound; ++i) {
        sent.push_back("0*wipe*C:\\waiting " + std::to_string(i) + "*");
        REQUIRE(SendCopyData(product.monitor, sent.back().c_str(), static_cast<DWORD>(sent.back().size() + 1)) == 0);
    }
    const std::string refused = "0*wipe*C:\\one too many*";
    CHECK(SendCopyData(product.monitor, refused.c_str(), static_cast<DWORD>(refused.size() + 1)) == 2);
    Child forwarder = StartLauncher(product.tree, refused);
    REQUIRE(forwarder.started());
    const auto box = TakeMessageBox(forwarder.id(), kStartTimeoutMs);
    REQUIRE(box.has_value());
    CHECK(box->caption == "Error");
    CHECK(box->text ==
          "Quillora OpenPGP has too many requests waiting; this one was not passed on. Please try again later.");
    REQUIRE(forwarder.Wait(kStartTimeoutMs));
    CHECK(forwarder.ExitCode() == static_cast<DWORD>(-4));

    // The application takes them: every accepted request, once, in the order it came.
    REQUIRE(DeleteFileA(hold.c_str()));
    CHECK(product.tree.WaitForRecord("request", sent.size(), 10 * kStartTimeoutMs));
    CHECK(product.tree.Events("request") == sent);
    CHECK(product.first.ExitCode() == STILL_ACTIVE);
}

TEST_CASE("a forwarder waits for a first instance that is still starting") {
    ProductTree tree(ProductTree::Runtime::None);
    ScopedRegistryTree javaSoft("SOFTWARE\\JavaSoft");
    const std::string runtimeBin = tree.AddRuntime("slow jre");
    javaSoft.SetString("Java Runtime Environment\\1.5", "JavaHome", tree.root() + "slow jre");
    // A slow version probe keeps the first instance between its mutex and its window.
    tree.WriteFile(runtimeBin + "probe-delay-ms", "2000");

    Child first = StartLauncher(tree, "0*logon**");
    REQUIRE(first.started());
    const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs;
    while (tree.ReadText(runtimeBin + "java-calls.log").empty() && GetTickCount64() < deadline) Sleep(25);
    REQUIRE(FindWindowA(ql::kMonitorClassName, ql::kMonitorWindowTitle) == nullptr);

    Child forwarder = StartLauncher(tree, "0*key_manager**");
    REQUIRE(forwarder.Wait(kStartTimeoutMs));
    CHECK(forwarder.ExitCode() == 0);
    REQUIRE(tree.WaitForRecord("request", 1, kStartTimeoutMs, runtimeBin));
    CHECK(tree.Events("request", runtimeBin).at(0) == "0*key_manager**");
    CHECK(tree.Events("start", runtimeBin).size() == 1);
}

TEST_CASE("a forwarder that finds no monitor window says so and exits with -2") {
    ProductTree tree;
    // A launcher that holds the mutex but never creates its window.
    ql::UniqueHandle mutex(CreateMutexA(nullptr, FALSE, ql::kLauncherMutexName));
    REQUIRE(mutex);
    Child forwarder = StartLauncher(tree, "0*logon**");
    auto box = TakeMessageBox(forwarder.id(), kStartTimeoutMs);
    REQUIRE(box.has_value());
    CHECK(box->caption == "Error");
    CHECK(box->text.rfind("Failed to get Quillora OpenPGP file open monitor window. Error code: ", 0) == 0);
    REQUIRE(forwarder.Wait(kStartTimeoutMs));
    CHECK(forwarder.ExitCode() == static_cast<DWORD>(-2));
    CHECK(tree.Events("start").empty());
}
