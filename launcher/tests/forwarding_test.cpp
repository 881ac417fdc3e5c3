// Later launchers hand their requests to the running one, which passes them to the application
// through the bridge library. Suite "forwarding": bad input from any process, the order and bound of
// waiting requests, the status query, the window brought to the front, a first instance still
// starting or without its window, the launcher's lifetime. Suite "stress": every kind of request
// hundreds of times one after another and launchers started together, each arriving byte for byte
// and once, floods of status queries, the launcher's handle count. Real launcher processes under Wine
// with the Java runtime double, which records every request it receives.
//
// The stress counts are the full ones at 100 percent and shrink in proportion below that:
// QL_STRESS_PERCENT from the environment when set, else QL_STRESS_DEFAULT_PERCENT, which the build
// sets per bitness (launcher/CMakeLists.txt), else 100.
#include <doctest/doctest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bridge.h"
#include "files.h"
#include "handle_table.h"
#include "launcher_harness.h"
#include "window_finder.h"
#include "ql/product_names.h"
#include "ql/unique_handle.h"
#include "registry.h"

using namespace ql::test;

namespace {

int Scaled(int fullCount) {
    static const int percent = [] {
        for (const char* name : {"QL_STRESS_PERCENT", "QL_STRESS_DEFAULT_PERCENT"}) {
            const char* text = std::getenv(name);
            if (text != nullptr && std::atoi(text) > 0) return std::atoi(text);
        }
        return 100;
    }();
    return std::max(1, fullCount * percent / 100);
}

// Reads the application double's record as it grows, taking only the lines added since the last
// look: the record of a long run holds megabytes.
class RequestRecord {
public:
    explicit RequestRecord(std::string path) : path_(std::move(path)) {}

    // Every request recorded so far, in order (as UTF-8).
    const std::vector<std::string>& requests() {
        ReadNew();
        return requests_;
    }

    bool WaitFor(std::size_t count, DWORD timeoutMs) {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (requests().size() < count) {
            if (GetTickCount64() >= deadline) return false;
            Sleep(2);
        }
        return true;
    }

private:
    void ReadNew() {
        ql::UniqueFile file(CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) return;
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset_);
        if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) return;
        char chunk[1 << 16];
        DWORD got = 0;
        while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
            offset_ += got;
            pending_.append(chunk, got);
        }
        std::size_t start = 0;
        for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = pending_.substr(start, end - start);
            // "<pid> request <text>"
            const std::size_t space = line.find(' ');
            if (space != std::string::npos && line.compare(space + 1, 8, "request ") == 0)
                requests_.push_back(line.substr(space + 9));
        }
        pending_.erase(0, start);
    }

    std::string path_;
    std::uint64_t offset_ = 0;
    std::string pending_;
    std::vector<std::string> requests_;
};

// A first instance started in `tree` (the application double told `control` first), once its
// monitor window is there and, unless the application was told to wait, it has published.
Child StartFirstInstance(ProductTree& tree, const std::string& control = {}) {
    if (!control.empty()) tree.WriteFile(tree.jreBin() + "javaw-control", control);
    Child first = StartLauncher(tree, "0*logon**");
    REQUIRE(first.started());
    if (WaitForMonitorWindow() == nullptr) {
        // Say why: the launcher may have ended, or be showing a message.
        auto box = TakeMessageBox(first.id(), 0);
        CAPTURE(first.ExitCode());
        CAPTURE((box ? box->text : std::string("no message box")));
        FAIL("no monitor window");
    }
    if (control.find("delay-ms") == std::string::npos) REQUIRE(tree.WaitForRecord("publish", 1, kStartTimeoutMs));
    return first;
}

// A first instance with the application double up and waiting for requests.
struct RunningProduct {
    ProductTree tree;
    Child first;
    HWND monitor;
    RequestRecord record;

    explicit RunningProduct(const std::string& control = {})
        : first(StartFirstInstance(tree, control)), monitor(WaitForMonitorWindow()),
          record(tree.jreBin() + "javaw-record.log") {}

    // Runs a forwarder to its end; returns its exit code.
    DWORD Forward(const std::string& arguments) {
        Child forwarder = StartLauncher(tree, arguments);
        REQUIRE(forwarder.started());
        REQUIRE(forwarder.Wait(kStartTimeoutMs));
        return forwarder.ExitCode();
    }

    // The n-th request (1-based) the application received through the channel.
    std::string Request(std::size_t n) {
        REQUIRE(record.WaitFor(n, kStartTimeoutMs));
        return record.requests().at(n - 1);
    }

    // The number of handles the launcher holds now.
    std::size_t LauncherHandles() const {
        const auto handles = HandlesOf(first.id());
        REQUIRE(handles.has_value());
        return handles->size();
    }
};

// Sends WM_COPYDATA as any process could: the record as given, or none at all. The window's answer,
// or -1 when the system did not deliver it in time.
LRESULT SendCopyData(HWND window, const COPYDATASTRUCT* data, UINT timeoutMs = 60000) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(data), SMTO_NORMAL, timeoutMs, &result))
        return -1;
    return static_cast<LRESULT>(result);
}

LRESULT SendCopyData(HWND window, const void* bytes, DWORD size, ULONG_PTR dwData = 0, UINT timeoutMs = 60000) {
    COPYDATASTRUCT data{dwData, size, const_cast<void*>(bytes)};
    return SendCopyData(window, &data, timeoutMs);
}

// A request as a forwarder sends it: the text with its terminating zero.
LRESULT SendRequest(HWND window, const std::string& text) {
    return SendCopyData(window, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

// "0*protect*" and numbered file fields up to `bytes`: far more than the slot holds.
std::string ManyFields(std::size_t bytes) {
    std::string text = "0*protect*";
    for (int i = 0; text.size() < bytes; ++i) text += "C:\\folder\\file " + std::to_string(i) + ".txt*";
    return text;
}

// One forwarded request: what the forwarder's command line holds and what must arrive (ANSI). A
// forwarder wraps a bare path into an unprotect request whose window field, "#" here, is whatever
// window was in front when it started.
struct Forwarded {
    std::string arguments;
    std::string delivered;
    bool wrapped() const { return delivered.find('#') != std::string::npos; }
};

// Every kind of request the launcher's callers send, numbered `n` so that a request delivered twice
// or in the wrong place shows. The sequential stress run goes through the kinds over and over.
constexpr int kRequestKinds = 11;
Forwarded RequestOfKind(int kind, int n) {
    const std::string number = std::to_string(n);
    switch (kind) {
    case 0: {  // from the tray: unquoted, passed unchanged
        const std::string tray = n % 2 == 0 ? "0*logoff**" : "0*logon**";
        return {tray, tray};
    }
    case 1: {  // from the Explorer menu: quoted, paths with blanks
        const std::string request = "\"" + number + "*unprotect*C:\\Users\\Public\\my files\\report " + number +
                                    ".pgp*C:\\a b\\c d " + number + ".txt*\"";
        return {request, request};
    }
    case 2: {  // paths beyond ASCII
        const std::string request = "\"0*protect*C:\\Caf\xE9 \xC4rger\\\xDF\xF8 " + number + " \xA9\xAE\xB5.txt*\"";
        return {request, request};
    }
    case 3:  // a bare path that begins beyond ASCII, as a file association may pass it
        return {"\xC9t\xE9 " + number + ".pgp", "\"#*unprotect*\xC9t\xE9 " + number + ".pgp*\""};
    case 4:  // a quoted bare path with blanks
        return {"\"C:\\x y\\\xE8 " + number + ".pgp\"", "\"#*unprotect*C:\\x y\\\xE8 " + number + ".pgp*\""};
    case 5: {  // a long selection: about 20,000 bytes, near what one command line can carry
        std::string request = "\"" + number + "*wipe*";
        for (int item = 0; request.size() < 20000; ++item)
            request += "C:\\long selection\\f" + std::to_string(item) + " \xE4.dat*";
        request += "\"";
        return {request, request};
    }
    case 6:  // nothing: the forwarder asks to open the application
        return {"", "0*open**"};
    case 7: {  // an option and trailing blanks, forwarded as they are
        const std::string request = "0*key_manager** -p \"pw " + number + "\"  ";
        return {request, request};
    }
    case 8: {  // the bytes that code page 1252 leaves undefined
        const std::string request = "\"0*secure_text_editor*C:\\odd \x81\x8D\x8F\x90\x9D " + number + "*\"";
        return {request, request};
    }
    case 9: {  // an open request for a file beyond ASCII
        const std::string request = "\"0*Open*C:\\\xD6""ffnen " + number + ".pgp*\"";
        return {request, request};
    }
    default:  // a quoted bare path and more: the whole line is the one item
        return {"\"C:\\x y " + number + ".pgp\" -p v", "\"#*unprotect*C:\\x y " + number + ".pgp\" -p v*\""};
    }
}

}  // namespace

TEST_SUITE_BEGIN("forwarding");

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

TEST_CASE("malformed WM_COPYDATA from a foreign process: nothing breaks, only what a message carries arrives") {
    RunningProduct product;
    Bridge bridge(product.tree.bin() + "QLPGPUtils.dll");
    REQUIRE(bridge.loaded());
    HWND monitor = product.monitor;

    // More than the system carries between processes under Wine 8 (about a megabyte): the sender
    // waits for its time-out and the receiving message loop sees one failed GetMessageA per message.
    // Where the system carries it, the request is cut after its last whole field that fits the slot.
    const std::string huge = ManyFields(4u << 20);
    const auto sendHuge = [&] { return SendCopyData(monitor, huge.data(), static_cast<DWORD>(huge.size()), 0, 1000); };
    const std::string megabyte = ManyFields(1u << 20);  // the head of `huge`
    const char tail[] = "0*wipe*C:\\w*TRAILING BYTES NOT SENT";
    const char embedded[] = "0*wipe*C:\\z*\0hidden*";
    const char valid[] = "0*key_manager*with odd dwData*";
    const std::string plain(64 * 1024 + 1, 'A');  // one field longer than the slot, terminated

    enum class Expect { Nothing, Stored, Cut };  // Cut: the head of `huge`, when the system delivered it
    struct Case {
        const char* name;
        std::function<LRESULT()> send;     // the window's answer; -1 when the system refused it
        std::optional<bool> sendSucceeds;  // none: the system decides (noted in docs/wine-notes.md)
        Expect expect;
        std::string stored;                // what the slot then holds, for Expect::Stored
    };
    const Case cases[] = {
        {"no COPYDATASTRUCT at all (lParam 0)", [&] { return SendCopyData(monitor, nullptr); }, std::nullopt,
         Expect::Nothing, {}},
        {"no data, with a size", [&] { return SendCopyData(monitor, static_cast<const void*>(nullptr), 100); }, true, Expect::Nothing, {}},
        {"no data, no size", [&] { return SendCopyData(monitor, static_cast<const void*>(nullptr), 0); }, true, Expect::Nothing, {}},
        {"data, with a size of 0", [&] { return SendCopyData(monitor, tail, 0); }, true, Expect::Nothing, {}},
        {"unterminated: exactly cbData bytes are taken", [&] { return SendCopyData(monitor, tail, 12); }, true,
         Expect::Stored, "0*wipe*C:\\w*"},
        {"a zero inside: the text ends there", [&] { return SendCopyData(monitor, embedded, sizeof embedded); }, true,
         Expect::Stored, "0*wipe*C:\\z*"},
        {"only the terminator: an empty request is passed on", [&] { return SendCopyData(monitor, "", 1); }, true,
         Expect::Stored, ""},
        {"a wrong dwData is not examined", [&] { return SendCopyData(monitor, valid, sizeof valid, 0xDEADBEEF); },
         true, Expect::Stored, valid},
        {"one field longer than the slot: refused by the channel", [&] { return SendRequest(monitor, plain); }, true,
         Expect::Nothing, {}},
        {"a megabyte of fields: cut after the last whole field that fits the slot",
         [&] { return SendRequest(monitor, megabyte); }, true, Expect::Cut, {}},
        {"4 MiB of fields, unterminated, twice",
         [&] {
             const LRESULT first = sendHuge();
             const LRESULT second = sendHuge();
             return first == -1 || second == -1 ? LRESULT{-1} : second;
         },
         std::nullopt, Expect::Cut, {}},
        {"posted instead of sent: the system refuses it",
         [&] {
             static COPYDATASTRUCT data{0, sizeof valid, const_cast<char*>(valid)};
             return PostMessageA(monitor, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)) ? LRESULT{0} : LRESULT{-1};
         },
         false, Expect::Nothing, {}},
    };
    std::size_t count = product.record.requests().size();
    int marker = 0;
    for (const Case& c : cases) {
        const std::string name = c.name;
        CAPTURE(name);
        // A known request first, taken by the application, so that the slot's text is known; it
        // arrives right after the row before's, with nothing in between.
        const std::string before = "0*default_settings*marker " + std::to_string(++marker) + "*";
        REQUIRE(SendRequest(monitor, before) == 0);
        REQUIRE(product.record.WaitFor(count + 1, kStartTimeoutMs));
        CHECK(product.record.requests().size() == ++count);
        REQUIRE(product.record.requests().back() == before);

        const bool sent = c.send() != -1;
        if (c.sendSucceeds) CHECK(sent == *c.sendSucceeds);
        // A send is synchronous: the monitor window is done with it when it returns.
        const std::string slot = bridge.shared()->requestBuffer;
        const bool stores = c.expect == Expect::Stored || (c.expect == Expect::Cut && sent);
        if (!stores) {
            CHECK(slot == before);
        } else if (c.expect == Expect::Cut) {
            CHECK(slot.size() <= 65534);
            CHECK(slot.back() == '*');
            CHECK(huge.compare(0, slot.size(), slot) == 0);
        } else {
            CHECK(slot == c.stored);
        }
        if (stores) {
            REQUIRE(product.record.WaitFor(++count, kStartTimeoutMs));
            CHECK(product.record.requests().back() == slot);
        }
        CHECK(product.first.ExitCode() == STILL_ACTIVE);
    }
    // Still serving: a forwarder gets through, right after the last row, and the status query answers.
    CHECK(product.Forward("0*wipe*after the bad messages*") == 0);
    CHECK(product.Request(count + 1) == "0*wipe*after the bad messages*");
    CHECK(product.record.requests().size() == count + 1);
    CHECK(QueryStatus() == 1);
    CHECK(product.first.ExitCode() == STILL_ACTIVE);
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
        REQUIRE(SendRequest(product.monitor, sent.back()) == 0);
    }
    const std::string refused = "0*wipe*C:\\one too many*";
    CHECK(SendRequest(product.monitor, refused) == 2);
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
    CHECK(product.record.WaitFor(sent.size(), 10 * kStartTimeoutMs));
    CHECK(product.record.requests() == sent);
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

TEST_SUITE_END();

TEST_SUITE_BEGIN("stress");

TEST_CASE("every kind of request, one after another: each arrives byte for byte, once; the launcher's handles stay flat") {
    RunningProduct product;
    // What the channel's slot holds is the request's raw bytes, before any conversion for Java: the
    // test looks into it through the very library file the product loaded.
    Bridge bridge(product.tree.bin() + "QLPGPUtils.dll");
    REQUIRE(bridge.loaded());

    // First real forwarders, every kind at least once; then, as many again, the same message sent
    // from here as a forwarder sends it, which is quicker and all the monitor window sees of one.
    const int forwarders = std::max(Scaled(500), kRequestKinds);
    const int requests = 2 * forwarders;
    const int handlesAt = std::max(1, std::min(100, requests / 10));
    std::size_t handlesEarly = 0;
    for (int i = 1; i <= requests; ++i) {
        Forwarded sent = RequestOfKind(i % kRequestKinds, i);
        CAPTURE(i);
        CAPTURE(sent.arguments.substr(0, 200));
        if (i <= forwarders) {
            Child forwarder = StartLauncher(product.tree, sent.arguments);
            CAPTURE(forwarder.startError());
            REQUIRE(forwarder.started());
            REQUIRE(forwarder.Wait(kStartTimeoutMs));
            REQUIRE(forwarder.ExitCode() == 0);
        } else {
            if (sent.wrapped() || sent.arguments.empty()) sent = {{}, "\"0*unprotect*C:\\n " + std::to_string(i) + "*\""};
            SetForegroundWindow(product.monitor);
            REQUIRE(SendRequest(product.monitor, sent.delivered) == 0);
        }
        // Awaited before the next: the application has it.
        const std::string recorded = product.Request(static_cast<std::size_t>(i));
        CAPTURE(recorded.substr(0, 200));
        REQUIRE(MarkWindow(recorded, AnsiToUtf8(sent.delivered)) == AnsiToUtf8(sent.delivered));
        REQUIRE(MarkWindow(bridge.shared()->requestBuffer, sent.delivered) == sent.delivered);
        if (i == handlesAt) handlesEarly = product.LauncherHandles();
    }
    // Once each: a last request lands right after the others, with nothing in between.
    CHECK(product.Forward("0*default_settings**") == 0);
    CHECK(product.Request(static_cast<std::size_t>(requests) + 1) == "0*default_settings**");
    CHECK(product.record.requests().size() == static_cast<std::size_t>(requests) + 1);
    CHECK(product.tree.Events("start").size() == 1);
    CHECK(product.first.ExitCode() == STILL_ACTIVE);
    const std::size_t handlesLate = product.LauncherHandles();
    MESSAGE(forwarders, " forwarders and ", requests - forwarders, " sent messages: launcher handles after ", handlesAt,
            " requests ", handlesEarly, ", after ", requests, " ", handlesLate);
    // A little room for what the system itself opens in the launcher now and then.
    CHECK(handlesLate <= handlesEarly + 2);
}

TEST_CASE("launchers started together: one application, every request arrives once, each but the first ends with 0") {
    struct Row {
        const char* name;
        bool firstRunning;  // a first instance runs already, else they race for the mutex
        int count;
        bool someLong;      // every tenth request about 16,000 bytes
    };
    const Row rows[] = {
        {"no first instance yet: one takes the mutex and starts the application, the others wait for it", false,
         12, false},
        {"a running first instance: they meet at its monitor window, which keeps what waits", true, Scaled(100),
         true},
    };
    for (const Row& row : rows) {
        const std::string name = row.name;
        CAPTURE(name);
        ProductTree tree;
        std::vector<Child> launchers;
        if (row.firstRunning) launchers.push_back(StartFirstInstance(tree));
        std::set<std::string> sent;  // as recorded: UTF-8
        for (int i = 0; i < row.count; ++i) {
            const std::string n = std::to_string(i);
            std::string request = "\"" + n + "*unprotect*C:\\together\\\xE9t\xE9 " + n + ".pgp*";
            if (row.someLong && i % 10 == 9)
                while (request.size() < 16000) request += "C:\\together\\more " + std::to_string(request.size()) + "*";
            request += "\"";
            sent.insert(AnsiToUtf8(request));
            launchers.push_back(StartLauncher(tree, request, /*suspended=*/true));
            CAPTURE(i);
            CAPTURE(launchers.back().startError());
            REQUIRE(launchers.back().started());
        }
        // Let them all go at once.
        for (Child& launcher : launchers) launcher.Resume();
        // All but the first instance end, each with 0; the first instance stays with the application.
        const auto running = [&] {
            return std::count_if(launchers.begin(), launchers.end(),
                                 [](const Child& launcher) { return launcher.ExitCode() == STILL_ACTIVE; });
        };
        const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs + 2000 * static_cast<ULONGLONG>(row.count);
        while (running() > 1 && GetTickCount64() < deadline) Sleep(25);
        std::string boxes;  // what the launchers still running show, if anything
        for (Child& launcher : launchers)
            if (auto box = running() > 1 ? TakeMessageBox(launcher.id(), 0) : std::nullopt) boxes += box->text + "\n";
        CAPTURE(boxes);
        REQUIRE(running() == 1);
        for (Child& launcher : launchers)
            if (launcher.ExitCode() != STILL_ACTIVE) CHECK(launcher.ExitCode() == 0);
        // Every request arrives, byte for byte, once; none is replaced before the application took
        // it. Without a first instance, one of them came on the application's command line, without
        // its quotes, and the others through the channel.
        RequestRecord record(tree.jreBin() + "javaw-record.log");
        CHECK(record.WaitFor(sent.size() - (row.firstRunning ? 0 : 1), kStartTimeoutMs));
        CHECK(tree.Events("start").size() == 1);
        CHECK(QueryStatus() == 1);
        std::vector<std::string> arrived = record.requests();
        if (!row.firstRunning) {
            const std::string commandLine = tree.Events("cmdline").at(0);
            const std::string mainClass = "com.brennick.Launcher ";
            std::string first = AnsiToUtf8(commandLine.substr(commandLine.find(mainClass) + mainClass.size()));
            arrived.push_back(first.insert(0, 1, '"') + '"');
        }
        std::set<std::string> unique;
        for (const std::string& request : arrived) {
            CAPTURE(request.substr(0, 200));
            CHECK(sent.count(request) == 1);
            CHECK(unique.insert(request).second);
        }
        CHECK(unique == sent);
    }
}

TEST_CASE("floods of status queries and stray messages: the launcher answers and serves on") {
    RunningProduct product;
    HWND monitor = product.monitor;
    const UINT status = RegisterWindowMessageA(ql::kStatusMessageName);

    // Status queries one after another, each answered.
    const int queries = Scaled(10000);
    int answeredOne = 0;
    for (int i = 0; i < queries; ++i) {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutA(monitor, status, static_cast<WPARAM>(i), static_cast<LPARAM>(-i), SMTO_NORMAL, 10000,
                                &result) &&
            result == 1)
            ++answeredOne;
    }
    CHECK(answeredOne == queries);

    // Posted status queries and foreign messages, as fast as the queue takes them.
    int posted = 0;
    for (int i = 0; i < queries; ++i) {
        // A timer message carrying an address: dispatching it blindly would call that address.
        const UINT message = i % 4 == 0 ? status : i % 4 == 1 ? WM_USER + 7 : i % 4 == 2 ? WM_TIMER : WM_COMMAND;
        const LPARAM lParam = message == WM_TIMER ? static_cast<LPARAM>(0x12345678) : static_cast<LPARAM>(i);
        posted += PostMessageA(monitor, message, static_cast<WPARAM>(i), lParam) != 0;
    }
    MESSAGE(answeredOne, " status queries answered 1; ", posted, " of ", queries, " messages posted");
    CHECK(posted > 0);
    // The launcher works through the flood and still serves.
    CHECK(QueryStatus() == 1);
    const std::size_t count = product.record.requests().size();
    Child forwarder = StartLauncher(product.tree, "\"0*protect*C:\\after the flood \xE9.txt*\"");
    REQUIRE(forwarder.Wait(kStartTimeoutMs));
    CHECK(forwarder.ExitCode() == 0);
    REQUIRE(product.record.WaitFor(count + 1, kStartTimeoutMs));
    CHECK(product.record.requests().back() == AnsiToUtf8("\"0*protect*C:\\after the flood \xE9.txt*\""));
    CHECK(product.first.ExitCode() == STILL_ACTIVE);
}

TEST_SUITE_END();
