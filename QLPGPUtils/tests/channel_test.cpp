// The request channel of QLPGPUtils.dll, exercised by real processes: this test program and
// bridge_peer.exe load the library, write requests and wait for them through the JNI native.
// The Java side is played by a fake JNI environment (no Windows Java runtime exists here).
#include <doctest/doctest.h>

#include "printers.h"

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "bridge.h"
#include "bridge_peer.h"
#include "fake_jni.h"
#include "child_process.h"
#include "race_text.h"
#include "ql/unique_handle.h"
#include "ql/product_names.h"

using namespace ql::test;

namespace {

// One call of waitForOpenFileRequest on a thread of its own, as the Java application makes it.
class PendingWait {
public:
    PendingWait(Bridge& bridge, FakeJvm& jvm, jint mainWnd, jint hiddenWnd)
        : bridge_(bridge), jvm_(jvm), mainWnd_(mainWnd), hiddenWnd_(hiddenWnd) {
        thread_.reset(CreateThread(nullptr, 0, &Run, this, 0, nullptr));
    }
    // A wait still blocked at the end is released, so the library is never unloaded under it.
    ~PendingWait() {
        if (!Returned(0)) {
            bridge_.RequestOpenFile("release*");
            Returned(10000);
        }
    }
    bool Returned(DWORD milliseconds) { return WaitForSingleObject(thread_.get(), milliseconds) == WAIT_OBJECT_0; }
    bool ReturnedNull() const { return result_ == nullptr; }
    std::string Text() const { return jvm_.Utf8(result_); }
    std::u16string Utf16() const { return jvm_.Text(result_); }

private:
    static DWORD WINAPI Run(void* self) {
        auto* wait = static_cast<PendingWait*>(self);
        wait->result_ = wait->bridge_.waitForOpenFileRequest(wait->jvm_.env(), nullptr, wait->mainWnd_, wait->hiddenWnd_);
        return 0;
    }
    Bridge& bridge_;
    FakeJvm& jvm_;
    jint mainWnd_, hiddenWnd_;
    jstring result_ = nullptr;
    ql::UniqueHandle thread_;
};

std::string TakeNext(Bridge& bridge, FakeJvm& jvm) {
    PendingWait wait(bridge, jvm, 1, 2);
    REQUIRE(wait.Returned(10000));
    REQUIRE_FALSE(wait.ReturnedNull());
    return wait.Text();
}

constexpr DWORD kPeerTimeoutMs = 30000;
// How long a wait must stay blocked to count as blocked. Only used to show that nothing arrives.
constexpr DWORD kStaysBlockedMs = 500;

}  // namespace

TEST_SUITE_BEGIN("channel");

TEST_CASE("requests written before a wait are kept in the one slot") {
    Bridge bridge;
    REQUIRE(bridge.loaded());
    FakeJvm jvm;

    SUBCASE("a request sent by another process before the wait is returned at once") {
        RunResult sent = Run(PeerCommand("send", {"0*logon**"}), kPeerTimeoutMs);
        REQUIRE(sent.finished);
        CHECK(sent.output == "sent 1\n");
        CHECK(TakeNext(bridge, jvm) == "0*logon**");
    }
    SUBCASE("two requests before one wait deliver the second, once") {
        CHECK(bridge.RequestOpenFile("\"0*wipe*C:\\first*\"") != 0);
        CHECK(bridge.RequestOpenFile("\"0*wipe*C:\\second*\"") != 0);
        CHECK(TakeNext(bridge, jvm) == "\"0*wipe*C:\\second*\"");

        PendingWait next(bridge, jvm, 1, 2);
        CHECK_FALSE(next.Returned(kStaysBlockedMs));
        bridge.RequestOpenFile("0*open**");
        REQUIRE(next.Returned(10000));
        CHECK(next.Text() == "0*open**");
    }
    SUBCASE("an empty request arrives as an empty string") {
        bridge.RequestOpenFile("");
        CHECK(TakeNext(bridge, jvm).empty());
    }
}

TEST_CASE("window handles published by one process are read by another") {
    Bridge bridge;
    REQUIRE(bridge.loaded());
    CHECK(bridge.GetMainWnd() == nullptr);
    CHECK(bridge.GetHiddenWnd() == nullptr);

    Child waiter(PeerCommand("wait", {"4660", "-2", "1"}));
    REQUIRE(waiter.started());
    const ULONGLONG deadline = GetTickCount64() + kPeerTimeoutMs;
    while (bridge.GetMainWnd() == nullptr && GetTickCount64() < deadline) Sleep(20);

    CHECK(bridge.GetMainWnd() == reinterpret_cast<HWND>(4660));
    // 32-bit values: -1 and -2 stay the special handles they are, also in a 64-bit process.
    CHECK(bridge.GetHiddenWnd() == reinterpret_cast<HWND>(static_cast<intptr_t>(-2)));
    RunResult seen = Run(PeerCommand("state", {}), kPeerTimeoutMs);
    CHECK(seen.output.find("main=4660 hidden=-2 pending=0") == 0);

    CHECK(bridge.RequestOpenFile("12*unprotect*C:\\a.pgp*") != 0);
    REQUIRE(waiter.Wait(kPeerTimeoutMs));
    CHECK(waiter.Output() == "got[22]:12*unprotect*C:\\a.pgp*\n");
}

TEST_CASE("after every process has unloaded the library the next loader starts afresh") {
    // Nothing here holds the library: each peer is the only process that has it loaded.
    for (int round = 0; round < 2; ++round) {
        CAPTURE(round);
        RunResult peer = Run(PeerCommand("roundtrip", {}), kPeerTimeoutMs);
        REQUIRE(peer.finished);
        CHECK(peer.output ==
              "main=0 hidden=0 pending=0 request=[]\n"
              "sent 1\n"
              "got[10]:roundtrip*\n"
              "main=77 hidden=78 pending=0 request=[roundtrip*]\n");
    }
}

TEST_CASE("a process without the open-request event publishes its windows and returns null") {
    // A mutex under the event's name keeps the first loader from creating the event.
    ql::UniqueHandle squatter(CreateMutexA(nullptr, FALSE, ql::kOpenRequestEventName));
    REQUIRE(squatter);
    Bridge bridge;
    REQUIRE(bridge.loaded());

    RunResult peer = Run(PeerCommand("wait", {"5", "6", "1"}), kPeerTimeoutMs);
    REQUIRE(peer.finished);
    CHECK(peer.output ==
          "Failed to open monitor\n"
          "QLPGPUtils: open request monitor not found\n"
          "null\n");
    CHECK(bridge.GetMainWnd() == reinterpret_cast<HWND>(5));
    CHECK(bridge.GetHiddenWnd() == reinterpret_cast<HWND>(6));

    // Without the event the text is still stored, but nobody can be woken.
    CHECK(bridge.RequestOpenFile("0*logoff**") == 0);
    CHECK(std::string(bridge.shared()->requestBuffer) == "0*logoff**");
}

TEST_CASE("request text reaches Java as the characters it names") {
    Bridge bridge;
    REQUIRE(bridge.loaded());
    FakeJvm jvm;

    // The test relies on Wine's default ANSI code page here, Windows-1252.
    REQUIRE(GetACP() == 1252);
    bridge.RequestOpenFile("0*unprotect*C:\\Users\\Ren\xE9" "e\\caf\xE9 \x80 5.pgp*");
    PendingWait wait(bridge, jvm, 1, 2);
    REQUIRE(wait.Returned(10000));
    CHECK(wait.Utf16() == u"0*unprotect*C:\\Users\\Ren\u00E9e\\caf\u00E9 \u20AC 5.pgp*");
}

TEST_CASE("requests longer than the slot never arrive with a cut path") {
    Bridge bridge;
    REQUIRE(bridge.loaded());
    FakeJvm jvm;

    std::string request = "0*wipe*";
    for (int i = 0; request.size() < 70000; ++i) request += "C:\\data\\folder " + std::to_string(i) + "\\file.txt*";

    SUBCASE("cut after the last whole path") {
        REQUIRE(bridge.RequestOpenFile(request.c_str()) != 0);
        std::string got = TakeNext(bridge, jvm);
        CHECK(got.size() <= 65534);
        CHECK(got.size() > 65534 - 40);  // no more than the one path that did not fit is dropped
        CHECK(got.back() == '*');
        CHECK(request.compare(0, got.size(), got) == 0);
    }
    SUBCASE("a quoted request keeps its closing quote") {
        std::string quoted = "\"" + request + "\"";
        REQUIRE(bridge.RequestOpenFile(quoted.c_str()) != 0);
        std::string got = TakeNext(bridge, jvm);
        CHECK(got.size() <= 65534);
        CHECK(got.substr(got.size() - 2) == "*\"");
        CHECK(quoted.compare(0, got.size() - 1, got, 0, got.size() - 1) == 0);
    }
    SUBCASE("a request of exactly the slot's capacity arrives whole") {
        std::string exact = request.substr(0, 65534);
        REQUIRE(bridge.RequestOpenFile(exact.c_str()) != 0);
        CHECK(TakeNext(bridge, jvm) == exact);
    }
    SUBCASE("a request whose first field alone is too long is refused and not delivered") {
        bridge.RequestOpenFile("0*open**");
        std::string oneField(70000, 'x');
        CHECK(bridge.RequestOpenFile(oneField.c_str()) == 0);
        CHECK(TakeNext(bridge, jvm) == "0*open**");
    }
}

TEST_CASE("SendCommand stores the text and signals only an existing event") {
    Bridge bridge;
    REQUIRE(bridge.loaded());

    CHECK(bridge.SendCommand("exit") == 0);
    CHECK(std::string(bridge.shared()->commandBuffer) == "exit");

    ql::UniqueHandle commandEvent(CreateEventA(nullptr, FALSE, FALSE, ql::kCommandEventName));
    REQUIRE(commandEvent);
    CHECK(bridge.SendCommand("show") != 0);
    CHECK(WaitForSingleObject(commandEvent.get(), 0) == WAIT_OBJECT_0);
    CHECK(std::string(bridge.shared()->commandBuffer) == "show");
}

TEST_CASE("racing writers never make the reader deliver a mix of two requests") {
    Bridge bridge;
    REQUIRE(bridge.loaded());
    FakeJvm jvm;

    constexpr int kWritesEach = 3000;
    std::vector<Child> writers;
    for (int writer = 1; writer <= 2; ++writer) {
        writers.emplace_back(PeerCommand("race", {std::to_string(writer), std::to_string(kWritesEach)}));
        REQUIRE(writers.back().started());
    }

    int delivered = 0, torn = 0, repeated = 0, longest = 0;
    std::string firstTorn;
    std::set<std::string> seen;  // each text is written once, so it must arrive at most once
    std::atomic<bool> writersDone{false};
    for (;;) {
        PendingWait wait(bridge, jvm, 1, 2);
        while (!wait.Returned(50)) {
            if (!writersDone && writers[0].Wait(0) && writers[1].Wait(0)) {
                writersDone = true;
                bridge.RequestOpenFile("stop*");
            }
        }
        REQUIRE_FALSE(wait.ReturnedNull());
        const std::string text = wait.Text();
        if (text == "stop*") break;
        ++delivered;
        if (text.size() > 60100) ++longest;  // only texts of the slot's size, or cut to it, are this long
        if (!IsWholeRaceText(text)) {
            if (torn++ == 0) firstTorn = text.substr(0, 60);
        } else if (!seen.insert(text.substr(0, 40)).second) {
            ++repeated;
        }
    }
    CAPTURE(firstTorn);
    MESSAGE(delivered << " of " << 2 * kWritesEach << " texts delivered, " << longest << " of them of the slot's size");
    CHECK(delivered > 0);
    CHECK(torn == 0);
    CHECK(repeated == 0);
    for (Child& writer : writers) CHECK(writer.Output() == "raced\n");
}

TEST_SUITE_END();
