// Stress and bad input for a running launcher: hundreds of forwarded requests one after another and
// a hundred forwarders at once, malformed WM_COPYDATA and floods of status queries from a foreign
// process, and the launcher's handle count over a thousand requests. Real launcher processes under
// Wine with the Java runtime double, which records every request it receives.
//
// The counts are the at 100 percent and shrink in proportion below that: QL_STRESS_PERCENT
// from the environment when set, else QL_STRESS_DEFAULT_PERCENT, which the build sets per bitness
// (launcher/CMakeLists.txt), else 100.
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
#include "message_box.h"
#include "ql/unique_handle.h"
#include "ql/product_names.h"

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

// A first instance with the application double up and waiting for requests.
struct RunningProduct {
    ProductTree tree;
    Child first;
    HWND monitor = nullptr;
    RequestRecord record;

    RunningProduct() : tree(), first(StartLauncher(tree, "0*logon**")), record(tree.jreBin() + "javaw-record.log") {
        REQUIRE(first.started());
        monitor = WaitForMonitorWindow();
        REQUIRE(monitor != nullptr);
        REQUIRE(tree.WaitForRecord("publish", 1, kStartTimeoutMs));
    }

    // The number of handles the launcher holds now.
    std::size_t LauncherHandles() const {
        const auto handles = HandlesOf(first.id());
        REQUIRE(handles.has_value());
        return handles->size();
    }
};

// One forwarded request: what the forwarder's command line holds and what must arrive. A forwarder
// wraps a bare path into an unprotect request whose window field is whatever window was in front
// when it started; that field is checked for its form only.
struct Forwarded {
    std::string arguments;
    std::string delivered;       // ANSI; for a wrapped path, from the first asterisk on
    bool wrapped = false;
};

// What the application recorded (UTF-8) matches what had to arrive.
bool Arrived(const std::string& recorded, const Forwarded& sent) {
    if (!sent.wrapped) return recorded == AnsiToUtf8(sent.delivered);
    // "\"<window number>*unprotect*...": a double quote, a signed decimal number, then the rest.
    const std::size_t star = recorded.find('*');
    if (recorded.size() < 2 || recorded[0] != '"' || star == std::string::npos || star < 2) return false;
    const std::string number = recorded.substr(1, star - 1);
    const std::size_t digitsFrom = number[0] == '-' ? 1 : 0;
    if (number.size() == digitsFrom || number.find_first_not_of("0123456789", digitsFrom) != std::string::npos)
        return false;
    return recorded.substr(star) == AnsiToUtf8(sent.delivered);
}

// The requests of the sequential run: every shape the launcher's callers send, each numbered, so
// that a request delivered twice or in the wrong place shows.
Forwarded SequentialRequest(int i) {
    const std::string n = std::to_string(i);
    switch (i % 10) {
    case 0: {
        const std::string tray = i % 20 == 0 ? "0*logoff**" : "0*logon**";
        return {tray, tray};
    }
    case 1: {  // from the Explorer menu: quoted, paths with blanks
        const std::string request = "\"" + n + "*unprotect*C:\\Users\\Public\\my files\\report " + n +
                                    ".pgp*C:\\a b\\c d " + n + ".txt*\"";
        return {request, request};
    }
    case 2: {  // paths beyond ASCII
        const std::string request = "\"0*protect*C:\\Caf\xE9 \xC4rger\\\xDF\xF8 " + n + " \xA9\xAE\xB5.txt*\"";
        return {request, request};
    }
    case 3:  // a bare path that begins beyond ASCII, as a file association may pass it
        return {"\xC9t\xE9 " + n + ".pgp", "*unprotect*\xC9t\xE9 " + n + ".pgp*\"", true};
    case 4:  // a quoted bare path with blanks
        return {"\"C:\\x y\\\xE8 " + n + ".pgp\"", "*unprotect*C:\\x y\\\xE8 " + n + ".pgp*\"", true};
    case 5: {  // a long selection: about 20,000 bytes, near what one command line can carry
        std::string request = "\"" + n + "*wipe*";
        for (int item = 0; request.size() < 20000; ++item)
            request += "C:\\long selection\\f" + std::to_string(item) + " \xE4.dat*";
        request += "\"";
        return {request, request};
    }
    case 6:  // nothing: the forwarder asks to open the application
        return {"", "0*open**"};
    case 7: {  // an option and trailing blanks, forwarded as they are
        const std::string request = "0*key_manager** -p \"pw " + n + "\"  ";
        return {request, request};
    }
    case 8: {  // the bytes that code page 1252 leaves undefined
        const std::string request = "\"0*secure_text_editor*C:\\odd \x81\x8D\x8F\x90\x9D " + n + "*\"";
        return {request, request};
    }
    default: {  // an open request for a file beyond ASCII
        const std::string request = "\"0*Open*C:\\\xD6""ffnen " + n + ".pgp*\"";
        return {request, request};
    }
    }
}

}  // namespace

namespace {

// Sends WM_COPYDATA as any process could: the record as given, or none at all.
bool SendCopyData(HWND window, const COPYDATASTRUCT* data) {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(data), SMTO_NORMAL, 60000,
                               &ignored) != 0;
}

bool SendCopyData(HWND window, const void* bytes, DWORD size, ULONG_PTR dwData = 0) {
    COPYDATASTRUCT data{dwData, size, const_cast<void*>(bytes)};
    return SendCopyData(window, &data);
}

// Waits for every forwarder to end; one that does not end in time is shown with its message box.
void WaitForAll(std::vector<Child>& forwarders, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (Child& forwarder : forwarders) {
        const ULONGLONG now = GetTickCount64();
        if (forwarder.Wait(now < deadline ? static_cast<DWORD>(deadline - now) : 0)) continue;
        auto box = TakeMessageBox(forwarder.id(), 0);
        CAPTURE((box ? box->text : std::string("no message box")));
        FAIL("a forwarder did not end");
    }
}

}  // namespace

TEST_CASE("requests one after another: each arrives byte for byte, once; the launcher's handles stay flat") {
    RunningProduct product;
    // What the channel's slot holds is the request's raw bytes, before any conversion for Java: the
    // test looks into it through the very library file the product loaded.
    Bridge bridge(product.tree.bin() + "QLPGPUtils.dll");
    REQUIRE(bridge.loaded());

    // First real forwarders; then, as many again, the same message sent from here as a forwarder
    // sends it, which is quicker and all the monitor window sees of a forwarder.
    const int forwarders = Scaled(500);
    const int requests = Scaled(1000);
    const int handlesAt = std::max(1, std::min(100, requests / 10));
    std::size_t handlesEarly = 0;
    for (int i = 1; i <= requests; ++i) {
        Forwarded sent = SequentialRequest(i);
        CAPTURE(i);
        CAPTURE(sent.arguments.substr(0, 200));
        if (i <= forwarders) {
            Child forwarder = StartLauncher(product.tree, sent.arguments);
            CAPTURE(forwarder.startError());
            REQUIRE(forwarder.started());
            REQUIRE(forwarder.Wait(kStartTimeoutMs));
            REQUIRE(forwarder.ExitCode() == 0);
        } else {
            if (sent.wrapped || sent.arguments.empty()) sent = {{}, "\"0*unprotect*C:\\n " + std::to_string(i) + "*\""};
            SetForegroundWindow(product.monitor);
            REQUIRE(SendCopyData(product.monitor, sent.delivered.c_str(), static_cast<DWORD>(sent.delivered.size() + 1)));
        }
        // Awaited before the next: the application has it.
        REQUIRE(product.record.WaitFor(static_cast<std::size_t>(i), kStartTimeoutMs));
        const std::string recorded = product.record.requests().at(static_cast<std::size_t>(i) - 1);
        CAPTURE(recorded.substr(0, 200));
        REQUIRE(Arrived(recorded, sent));
        const std::string slot = bridge.shared()->requestBuffer;
        if (sent.wrapped) {
            REQUIRE(slot.size() >= sent.delivered.size());
            REQUIRE(slot.compare(slot.size() - sent.delivered.size(), std::string::npos, sent.delivered) == 0);
        } else {
            REQUIRE(slot == sent.delivered);
        }
        if (i == handlesAt) handlesEarly = product.LauncherHandles();
    }
    // Once each: a last request lands right after the others, with nothing in between.
    Child last = StartLauncher(product.tree, "0*default_settings**");
    REQUIRE(last.Wait(kStartTimeoutMs));
    REQUIRE(product.record.WaitFor(static_cast<std::size_t>(requests) + 1, kStartTimeoutMs));
    CHECK(product.record.requests().size() == static_cast<std::size_t>(requests) + 1);
    CHECK(product.record.requests().back() == "0*default_settings**");
    CHECK(product.tree.Events("start").size() == 1);
    CHECK(product.first.ExitCode() == STILL_ACTIVE);
    const std::size_t handlesLate = product.LauncherHandles();
    MESSAGE(forwarders, " forwarders and ", requests - forwarders, " sent messages: launcher handles after ", handlesAt,
            " requests ", handlesEarly, ", after ", requests, " ", handlesLate);
    // A little room for what the system itself opens in the launcher now and then.
    CHECK(handlesLate <= handlesEarly + 2);
}

TEST_CASE("forwarders started together: each exits 0, one application, every request arrives once") {
    RunningProduct product;

    const int count = Scaled(100);
    std::set<std::string> sent;  // as recorded: UTF-8
    std::vector<Child> forwarders;
    for (int i = 0; i < count; ++i) {
        std::string request = "\"" + std::to_string(i) + "*unprotect*C:\\together\\\xE9t\xE9 " + std::to_string(i) + ".pgp*";
        if (i % 10 == 9)
            while (request.size() < 16000) request += "C:\\together\\more " + std::to_string(request.size()) + "*";
        request += "\"";
        sent.insert(AnsiToUtf8(request));
        forwarders.push_back(StartLauncher(product.tree, request, /*suspended=*/true));
        REQUIRE(forwarders.back().started());
    }
    // Let them all go at once: they meet at the monitor window, which keeps what the application has
    // not yet taken.
    for (Child& forwarder : forwarders) forwarder.Resume();
    WaitForAll(forwarders, kStartTimeoutMs + 2000 * static_cast<DWORD>(count));
    int exitedZero = 0;
    for (Child& forwarder : forwarders) exitedZero += forwarder.ExitCode() == 0;
    CHECK(exitedZero == count);

    CHECK(product.first.ExitCode() == STILL_ACTIVE);
    CHECK(QueryStatus() == 1);
    CHECK(product.tree.Events("start").size() == 1);

    // Every request arrives, byte for byte, once; none is replaced before the application took it.
    product.record.WaitFor(static_cast<std::size_t>(count), kStartTimeoutMs);
    std::set<std::string> arrived;
    for (const std::string& request : product.record.requests()) {
        CAPTURE(request.substr(0, 200));
        CHECK(sent.count(request) == 1);
        CHECK(arrived.insert(request).second);
    }
    CHECK(arrived == sent);
}

TEST_CASE("malformed WM_COPYDATA from a foreign process: nothing breaks, results as documented") {
    RunningProduct product;
    Bridge bridge(product.tree.bin() + "QLPGPUtils.dll");
    REQUIRE(bridge.loaded());
    HWND monitor = product.monitor;

    // More than the system carries between processes under Wine 8 (about a megabyte): the sender
    // waits for its time-out and the receiving message loop sees one failed GetMessageA per message.
    // Where the system carries it, the request is cut after its last whole field that fits the slot.
    const std::string huge = [] {
        std::string text = "0*protect*";
        for (int i = 0; text.size() < (4u << 20); ++i) text += "C:\\folder\\file " + std::to_string(i) + ".txt*";
        return text;
    }();
    const auto sendHuge = [&] {
        COPYDATASTRUCT data{0, static_cast<DWORD>(huge.size()), const_cast<char*>(huge.data())};
        DWORD_PTR ignored = 0;
        return SendMessageTimeoutA(monitor, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 1000,
                                   &ignored) != 0;
    };
    const char tail[] = "0*wipe*C:\\w*TRAILING BYTES NOT SENT";
    const char terminatorOnly[] = "";
    const char valid[] = "0*key_manager*with odd dwData*";
    const std::string plain(64 * 1024 + 1, 'A');  // one field longer than the slot, terminated

    enum class Expect { Nothing, Stored, CutIfDelivered };
    struct Case {
        const char* name;
        std::function<bool()> send;        // the sender's result: false when the system refused it
        std::optional<bool> sendSucceeds;  // none: the system decides (noted in docs/wine-notes.md)
        Expect expect;
        std::string stored;                // what the slot then holds, for Expect::Stored
    };
    const Case cases[] = {
        {"no COPYDATASTRUCT at all (lParam 0)", [&] { return SendCopyData(monitor, nullptr); }, std::nullopt,
         Expect::Nothing, {}},
        {"no data, with a size", [&] { return SendCopyData(monitor, nullptr, 100); }, true, Expect::Nothing, {}},
        {"data, with a size of 0", [&] { return SendCopyData(monitor, tail, 0); }, true, Expect::Nothing, {}},
        {"unterminated: exactly cbData bytes are taken", [&] { return SendCopyData(monitor, tail, 12); }, true,
         Expect::Stored, "0*wipe*C:\\w*"},
        {"only the terminator: an empty request is passed on", [&] { return SendCopyData(monitor, terminatorOnly, 1); },
         true, Expect::Stored, ""},
        {"a wrong dwData is not examined", [&] { return SendCopyData(monitor, valid, sizeof valid, 0xDEADBEEF); }, true,
         Expect::Stored, valid},
        {"one field longer than the slot: refused by the channel",
         [&] { return SendCopyData(monitor, plain.c_str(), static_cast<DWORD>(plain.size() + 1)); }, true,
         Expect::Nothing, {}},
        {"4 MiB of fields, unterminated, twice", [&] { return sendHuge() & sendHuge(); }, std::nullopt,
         Expect::CutIfDelivered, {}},
        {"posted instead of sent: the system refuses it",
         [&] {
             static COPYDATASTRUCT data{0, sizeof valid, const_cast<char*>(valid)};
             return PostMessageA(monitor, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)) != 0;
         },
         false, Expect::Nothing, {}},
    };
    int marker = 0;
    for (const Case& c : cases) {
        const std::string name = c.name;
        CAPTURE(name);
        // A known request first, taken by the application, so that the slot's text is known.
        const std::string before = "0*default_settings*marker " + std::to_string(++marker) + "*";
        const std::size_t count = product.record.requests().size();
        REQUIRE(SendCopyData(monitor, before.c_str(), static_cast<DWORD>(before.size() + 1)));
        REQUIRE(product.record.WaitFor(count + 1, kStartTimeoutMs));
        REQUIRE(product.record.requests().back() == before);

        const bool sent = c.send();
        if (c.sendSucceeds) CHECK(sent == *c.sendSucceeds);
        // A send is synchronous: the monitor window is done with it when it returns.
        const std::string slot = bridge.shared()->requestBuffer;
        const bool stores = c.expect == Expect::Stored || (c.expect == Expect::CutIfDelivered && sent);
        if (!stores) {
            CHECK(slot == before);
        } else if (c.expect == Expect::CutIfDelivered) {
            CHECK(slot.size() <= 65534);
            CHECK(slot.back() == '*');
            CHECK(huge.compare(0, slot.size(), slot) == 0);
        } else {
            CHECK(slot == c.stored);
        }
        if (stores) {
            REQUIRE(product.record.WaitFor(count + 2, kStartTimeoutMs));
            CHECK(product.record.requests().back() == slot);
        }
        CHECK(product.first.ExitCode() == STILL_ACTIVE);
    }
    // Still serving: a forwarder gets through and the status query answers.
    const std::size_t count = product.record.requests().size();
    Child forwarder = StartLauncher(product.tree, "0*wipe*after the bad messages*");
    REQUIRE(forwarder.Wait(kStartTimeoutMs));
    CHECK(forwarder.ExitCode() == 0);
    REQUIRE(product.record.WaitFor(count + 1, kStartTimeoutMs));
    CHECK(product.record.requests().back() == "0*wipe*after the bad messages*");
    CHECK(QueryStatus() == 1);
    CHECK(product.first.ExitCode() == STILL_ACTIVE);
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
