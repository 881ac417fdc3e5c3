// The file-time, window and folder natives of QLPGPUtils.dll on real files, real windows and a second
// real process (bridge_peer.exe) under Wine. The Java side is the fake JNI environment.
#include <doctest/doctest.h>

#include "printers.h"

#include <windows.h>

#include <array>
#include <optional>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge.h"
#include "captured_output.h"
#include "child_process.h"
#include "fake_jni.h"
#include "files.h"
#include "bridge_peer.h"
#include "sandbox.h"
#include "text.h"
#include "ql/unique_handle.h"

using namespace ql::test;

namespace {

using StringToObjectFn = jobject(JNICALL*)(JNIEnv*, jclass, jstring);
using StringToBooleanFn = jboolean(JNICALL*)(JNIEnv*, jclass, jstring);
using StringToIntFn = jint(JNICALL*)(JNIEnv*, jclass, jstring);
using StringToVoidFn = void(JNICALL*)(JNIEnv*, jclass, jstring);
using IntToIntFn = jint(JNICALL*)(JNIEnv*, jclass, jint);
using NoneToStringFn = jstring(JNICALL*)(JNIEnv*, jclass);

// The natives as the Java runtime finds them: by their exported names.
struct Natives {
    Bridge bridge;
    StringToObjectFn getFileCreationTime = bridge.Native<StringToObjectFn>("getFileCreationTime", 12);
    StringToBooleanFn updateFileCreationTime = bridge.Native<StringToBooleanFn>("updateFileCreationTime", 12);
    StringToIntFn getHwnd = bridge.Native<StringToIntFn>("getHwnd", 12);
    StringToVoidFn setForegroundByTitle =
        bridge.Native<StringToVoidFn>("setForegroundWindow__Ljava_lang_String_2", 12);
    IntToIntFn setForegroundByHandle = bridge.Native<IntToIntFn>("setForegroundWindow__I", 12);
    IntToIntFn setTopmost = bridge.Native<IntToIntFn>("setTopmost", 12);
    IntToIntFn setNotTopmost = bridge.Native<IntToIntFn>("setNotTopmost", 12);
    NoneToStringFn getLD = bridge.Native<NoneToStringFn>("getLD", 8);
    NoneToStringFn getWindowsDir = bridge.Native<NoneToStringFn>("getWindowsDir", 8);

    bool complete() const {
        return getFileCreationTime && updateFileCreationTime && getHwnd && setForegroundByTitle &&
               setForegroundByHandle && setTopmost && setNotTopmost && getLD && getWindowsDir;
    }
};

const Natives& TheNatives() {
    static const Natives natives;
    REQUIRE(natives.complete());
    return natives;
}

std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

constexpr DWORD kPeerTimeoutMs = 30000;

// A sandbox of its own for each test case; the names inside go beyond the ANSI code page.
struct WideSandbox : Sandbox {
    std::wstring operator/(const std::wstring& name) const { return Widen(root()) + name; }
};

bool WriteFileW(const std::wstring& path, const std::string& contents) {
    ql::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
           written == contents.size();
}

// True when nothing holds the file open any more: the natives open without sharing, so a handle they
// left open would make this exclusive open fail.
bool NoLongerOpen(const std::wstring& path) {
    ql::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return static_cast<bool>(file);
}

struct Times {
    FILETIME creation{}, access{}, write{};
    LARGE_INTEGER size{};
};

Times ReadTimes(const std::wstring& path) {
    Times times;
    ql::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    REQUIRE(file);
    REQUIRE(GetFileTime(file.get(), &times.creation, &times.access, &times.write));
    REQUIRE(GetFileSizeEx(file.get(), &times.size));
    return times;
}

void StampAll(const std::wstring& path, const SYSTEMTIME& when) {
    FILETIME stamp{};
    REQUIRE(SystemTimeToFileTime(&when, &stamp));
    ql::UniqueFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    REQUIRE(file);
    REQUIRE(SetFileTime(file.get(), &stamp, &stamp, &stamp));
}

std::uint64_t Ticks(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::uint64_t Now() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

constexpr std::uint64_t kTicksPerSecond = 10000000;

// Names that a call through the ANSI code page (1252 here) would garble: Cyrillic, CJK, a symbol.
const std::u16string kBeyondAnsi = u"\u041A\u043B\u044E\u0447 \u9375 \u2713";

}  // namespace

TEST_SUITE_BEGIN("file_window_natives");

TEST_CASE("getFileCreationTime gives the creation time as UTC fields, months from 1") {
    const Natives& natives = TheNatives();
    WideSandbox folder;
    // ctest runs this program two hours east of UTC (TZ=EET-2, no daylight saving).
    TIME_ZONE_INFORMATION zone{};
    REQUIRE(GetTimeZoneInformation(&zone) != TIME_ZONE_ID_INVALID);
    REQUIRE(zone.Bias == -120);
    // 10:30:15 local time is 08:30:15 UTC.
    const SYSTEMTIME utcMorning = {2012, 6, 0, 15, 8, 30, 15, 0};
    FILETIME utc{}, local{};
    SYSTEMTIME localMorning{};
    REQUIRE(SystemTimeToFileTime(&utcMorning, &utc));
    REQUIRE(FileTimeToLocalFileTime(&utc, &local));
    REQUIRE(FileTimeToSystemTime(&local, &localMorning));
    REQUIRE(localMorning.wHour == 10);
    struct Case {
        std::u16string name;
        SYSTEMTIME stamp;  // UTC: year, month, day of week, day, hour, minute, second, ms
    };
    const Case cases[] = {
        {u"created at 10.30.15 local time.txt", utcMorning},
        {u"plain.txt", {2012, 3, 0, 4, 5, 6, 7, 890}},
        {u"with blanks and a leap day.pgp", {2024, 2, 0, 29, 0, 0, 0, 0}},
        {u"last second of 1999.asc", {1999, 12, 0, 31, 23, 59, 59, 999}},
        {kBeyondAnsi + u".txt", {2038, 1, 0, 19, 3, 14, 8, 0}},
    };
    for (const Case& c : cases) {
        const std::string name = ToModifiedUtf8(c.name);
        CAPTURE(name);
        const std::wstring path = folder / Wide(c.name);
        REQUIRE(WriteFileW(path, "content"));
        StampAll(path, c.stamp);

        // What the system itself reports for the file (Wine keeps no separate creation time).
        SYSTEMTIME reported{};
        const Times times = ReadTimes(path);
        REQUIRE(FileTimeToSystemTime(&times.creation, &reported));

        FakeJvm jvm;
        CapturedOutput output;
        jobject time = natives.getFileCreationTime(jvm.env(), nullptr, jvm.NewString(std::u16string(path.begin(), path.end())));
        REQUIRE(time != nullptr);
        const std::array<jint, 6> expected = {reported.wYear, reported.wMonth,  reported.wDay,
                                              reported.wHour, reported.wMinute, reported.wSecond};
        CHECK(jvm.FileTimeFields(time) == expected);
        // Every time stamped here reads back as stamped, milliseconds dropped.
        const std::array<jint, 6> stamped = {c.stamp.wYear, c.stamp.wMonth,  c.stamp.wDay,
                                             c.stamp.wHour, c.stamp.wMinute, c.stamp.wSecond};
        CHECK(jvm.FileTimeFields(time) == stamped);
        CHECK(output.Text().empty());
        CHECK(jvm.PendingException().empty());
        CHECK(jvm.Misuses().empty());
        CHECK(jvm.LiveLocalRefs() == 1);  // the FileTime handed back, and nothing else
        CHECK(NoLongerOpen(path));
        CHECK(jvm.CharsNotReleased() == 0);
    }
}

TEST_CASE("updateFileCreationTime empties the file and stamps all three times with the moment") {
    const Natives& natives = TheNatives();
    WideSandbox folder;
    const std::u16string names[] = {u"secret.txt", u"empty already.pgp", kBeyondAnsi + u".asc"};
    const SYSTEMTIME old = {2001, 5, 0, 6, 7, 8, 9, 0};
    for (const std::u16string& name : names) {
        const std::string shown = ToModifiedUtf8(name);
        CAPTURE(shown);
        const std::wstring path = folder / Wide(name);
        REQUIRE(WriteFileW(path, name == names[1] ? "" : std::string(5000, 'x')));
        StampAll(path, old);

        FakeJvm jvm;
        CapturedOutput output;
        const std::uint64_t before = Now();
        CHECK(natives.updateFileCreationTime(jvm.env(), nullptr, jvm.NewString(std::u16string(path.begin(), path.end()))) ==
              JNI_TRUE);
        const std::uint64_t after = Now();
        CHECK(NoLongerOpen(path));

        const Times times = ReadTimes(path);
        CHECK(times.size.QuadPart == 0);
        CHECK(Ticks(times.creation) == Ticks(times.write));
        CHECK(Ticks(times.access) == Ticks(times.write));
        // The stamp is the system time in milliseconds; allow for a file system that keeps seconds.
        CHECK(Ticks(times.write) >= before - before % kTicksPerSecond);
        CHECK(Ticks(times.write) <= after + kTicksPerSecond);
        CHECK(output.Text().empty());
        CHECK(jvm.CharsNotReleased() == 0);
    }
}

TEST_CASE("a path that cannot be opened gives null and false, says nothing, creates and changes nothing") {
    const Natives& natives = TheNatives();
    WideSandbox folder;
    const std::u16string held = kBeyondAnsi + u" held.txt";
    REQUIRE(WriteFileW(folder / L"target.txt", "keep me"));
    REQUIRE(WriteFileW(folder / Wide(held), "keep me"));
    constexpr DWORD kNotHeld = ~0ul, kAllShared = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    struct Case {
        const char* what;
        std::u16string name;
        std::wstring mustStayIntact;  // a file whose content must survive, or empty
        std::wstring mustNotExist;    // a file that must not be created, or empty
        DWORD heldWithShare = kNotHeld;  // another process holds the file open, sharing this
    };
    const Case cases[] = {
        {"missing file", u"missing.txt", L"", L"missing.txt"},
        {"missing file beyond the ANSI code page", kBeyondAnsi, L"", Wide(kBeyondAnsi)},
        {"missing folder", u"no folder\\target.txt", L"", L"no folder"},
        {"the folder itself", u"", L"", L""},
        // Win32 would read this only up to the U+0000, and so empty target.txt.
        {"text with U+0000 before a suffix", std::u16string(u"target.txt") + u'\0' + u".tmp", L"target.txt",
         L"target.txt.tmp"},
        // Whatever the holder shares, the natives ask for no sharing, so they cannot open it.
        {"held open by another process that shares nothing", held, Wide(held), L"", 0},
        {"held open by another process that shares everything", held, Wide(held), L"", kAllShared},
    };
    for (const Case& c : cases) {
        const std::string what = c.what;
        CAPTURE(what);
        const std::wstring path = folder / Wide(c.name);
        const std::u16string javaPath(path.begin(), path.end());
        std::optional<Child> holder;
        if (c.heldWithShare != kNotHeld) {
            holder.emplace(PeerCommand("hold", {ToUtf8(path), std::to_string(c.heldWithShare)}));
            REQUIRE(holder->started());
            REQUIRE(holder->WaitForOutput("held\n", kPeerTimeoutMs));
        }
        FakeJvm jvm;
        CapturedOutput output;
        CHECK(natives.getFileCreationTime(jvm.env(), nullptr, jvm.NewString(javaPath)) == nullptr);
        CHECK(natives.updateFileCreationTime(jvm.env(), nullptr, jvm.NewString(javaPath)) == JNI_FALSE);
        CHECK(output.Text().empty());
        if (holder) {
            holder->Kill();
            holder->Wait(kPeerTimeoutMs);
        }
        if (!c.mustStayIntact.empty()) CHECK(ReadTimes(folder / c.mustStayIntact).size.QuadPart == 7);
        if (!c.mustNotExist.empty()) CHECK(GetFileAttributesW((folder / c.mustNotExist).c_str()) == INVALID_FILE_ATTRIBUTES);
        CHECK(jvm.LiveLocalRefs() == 0);
        CHECK(jvm.CharsNotReleased() == 0);
    }
    FakeJvm jvm;
    CHECK(natives.getFileCreationTime(jvm.env(), nullptr, nullptr) == nullptr);
    CHECK(natives.updateFileCreationTime(jvm.env(), nullptr, nullptr) == JNI_FALSE);
}

TEST_CASE("a missing FileTime class or constructor gives null, one line, and the pending exception") {
    const Natives& natives = TheNatives();
    WideSandbox folder;
    REQUIRE(WriteFileW(folder / L"file.txt", "content"));
    const std::wstring path = folder / L"file.txt";
    struct Case {
        bool removeClass;
        const char* line;
        const char* exception;
    };
    const Case cases[] = {
        {true, "QLPGPUtils: Failed to get class FileTime\n", "java/lang/NoClassDefFoundError"},
        {false, "QLPGPUtils: Failed to get constructor\n", "java/lang/NoSuchMethodError"},
    };
    for (const Case& c : cases) {
        const std::string line = c.line;
        CAPTURE(line);
        FakeJvm jvm;
        if (c.removeClass) jvm.RemoveClass("com/brennick/util/FileTime");
        else jvm.RemoveMethod("com/brennick/util/FileTime", "<init>", "(IIIIII)V");
        CapturedOutput output;
        CHECK(natives.getFileCreationTime(jvm.env(), nullptr, jvm.NewString(std::u16string(path.begin(), path.end()))) ==
              nullptr);
        CHECK(output.Text() == c.line);
        CHECK(NoLongerOpen(path));
        CHECK(jvm.PendingException() == c.exception);
        CHECK(jvm.Misuses().empty());  // no Java call after the exception
        CHECK(jvm.LiveLocalRefs() == 0);
        CHECK(jvm.CharsNotReleased() == 0);
    }
}

namespace {

const wchar_t kWindowClass[] = L"QLNativesTestWindow";

// A shown top-level window of this process, destroyed with the object.
class TestWindow {
public:
    explicit TestWindow(const std::u16string& title, RECT where = {30, 40, 330, 240}) {
        static const bool registered = [] {
            WNDCLASSW windowClass{};
            windowClass.lpfnWndProc = &DefWindowProcW;
            windowClass.hInstance = GetModuleHandleW(nullptr);
            windowClass.lpszClassName = kWindowClass;
            return RegisterClassW(&windowClass) != 0;
        }();
        REQUIRE(registered);
        const std::wstring text = Wide(title);
        window_ = CreateWindowExW(0, kWindowClass, text.c_str(), WS_OVERLAPPEDWINDOW, where.left, where.top,
                                  where.right - where.left, where.bottom - where.top, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        REQUIRE(window_ != nullptr);
        ShowWindow(window_, SW_SHOWNOACTIVATE);
    }
    ~TestWindow() {
        if (window_ != nullptr) DestroyWindow(window_);
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND get() const { return window_; }
    jint handle() const { return static_cast<jint>(reinterpret_cast<std::intptr_t>(window_)); }
    void Raise() const { REQUIRE(SetWindowPos(window_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE)); }

private:
    HWND window_ = nullptr;
};

void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

void BringToFront(const TestWindow& window) {
    SetForegroundWindow(window.get());
    Pump();
    REQUIRE(GetForegroundWindow() == window.get());
}

// Titles unique to this test run, so that no other window of the session can match.
std::u16string Titled(const std::u16string& title) {
    const std::string id = std::to_string(GetCurrentProcessId());
    return u"QLNT" + std::u16string(id.begin(), id.end()) + u" " + title;
}

// How many whole lines of `text` are `line`.
std::size_t Count(const std::string& text, const std::string& line) {
    const std::string lines = "\n" + text, wanted = "\n" + line + "\n";
    std::size_t count = 0;
    for (std::size_t at = lines.find(wanted); at != std::string::npos; at = lines.find(wanted, at + 1)) ++count;
    return count;
}

// Waits until the peer has reported `event` ("activated", "deactivated") more often than `before`.
bool ReportedAgain(const Child& peer, const std::string& event, std::size_t before) {
    for (int i = 0; i < 400; ++i) {
        if (Count(peer.Output(), event) > before) return true;
        Sleep(50);
    }
    return false;
}

}  // namespace

TEST_CASE("getHwnd and setForegroundWindow by title find the first window in Z order with that exact title") {
    const Natives& natives = TheNatives();
    const std::u16string longTitle = Titled(u"long ") + std::u16string(600, u'x');
    // What 1252 makes of the title beyond the ANSI code page: a different window's title.
    const std::u16string garbled = u"???? ? ?";
    struct Case {
        const char* what;
        std::vector<std::u16string> titles;  // windows made in this order
        int raised;                          // the window put on top of the others, or -1
        std::u16string searched;
        int expected;  // the window found, or -1
    };
    const Case cases[] = {
        {"exact title", {Titled(u"Key Manager")}, -1, Titled(u"Key Manager"), 0},
        {"one letter in another case", {Titled(u"Key Manager")}, -1, Titled(u"Key manager"), -1},
        {"a longer title does not match its beginning", {Titled(u"Key Manager 2")}, -1, Titled(u"Key Manager"), -1},
        {"shared title, first window on top", {Titled(u"Twin"), Titled(u"Twin")}, 0, Titled(u"Twin"), 0},
        {"shared title, second window on top", {Titled(u"Twin"), Titled(u"Twin")}, 1, Titled(u"Twin"), 1},
        {"empty title", {u""}, -1, u"", -1},
        {"long title by its first 511 characters", {longTitle}, -1, longTitle.substr(0, 511), 0},
        {"long title in full", {longTitle}, -1, longTitle, -1},
        {"long title by its first 510 characters", {longTitle}, -1, longTitle.substr(0, 510), -1},
        {"title beyond the ANSI code page", {Titled(garbled), Titled(kBeyondAnsi)}, 0, Titled(kBeyondAnsi), 1},
        {"its ANSI garbling names the other window", {Titled(garbled), Titled(kBeyondAnsi)}, 1, Titled(garbled), 0},
    };
    TestWindow front(Titled(u"front"));
    for (const Case& c : cases) {
        const std::string what = c.what;
        CAPTURE(what);
        std::vector<std::unique_ptr<TestWindow>> windows;
        for (const auto& title : c.titles) windows.push_back(std::make_unique<TestWindow>(title));
        if (c.raised >= 0) windows[c.raised]->Raise();
        const jint expected = c.expected < 0 ? -1 : windows[c.expected]->handle();

        FakeJvm jvm;
        CHECK(natives.getHwnd(jvm.env(), nullptr, jvm.NewString(c.searched)) == expected);

        BringToFront(front);
        natives.setForegroundByTitle(jvm.env(), nullptr, jvm.NewString(c.searched));
        Pump();
        CHECK(GetForegroundWindow() == (c.expected < 0 ? front.get() : windows[c.expected]->get()));
        CHECK(jvm.CharsNotReleased() == 0);
        CHECK(jvm.LiveLocalRefs() == 0);
    }
    FakeJvm jvm;
    CHECK(natives.getHwnd(jvm.env(), nullptr, nullptr) == -1);
    natives.setForegroundByTitle(jvm.env(), nullptr, nullptr);
}

TEST_CASE("a window of another process is found and brought to the foreground by title and by handle") {
    const Natives& natives = TheNatives();
    TestWindow front(Titled(u"front"));
    const std::u16string title = Titled(kBeyondAnsi + u" peer");
    Child peer(PeerCommand("window", {ToUtf8(Wide(title))}));
    REQUIRE(peer.started());
    REQUIRE(peer.WaitForOutput("\n", kPeerTimeoutMs));
    const std::string announced = peer.Output();
    REQUIRE(announced.rfind("window ", 0) == 0);
    const jint handle = static_cast<jint>(std::stoll(announced.substr(7)));

    FakeJvm jvm;
    CHECK(natives.getHwnd(jvm.env(), nullptr, jvm.NewString(title)) == handle);

    // Each activation is awaited in the peer, and so is the loss of it, before the next one: the peer's
    // thread takes them in turn, after the calls that caused them have returned.
    const std::size_t activations = Count(peer.Output(), "activated");
    const std::size_t deactivations = Count(peer.Output(), "deactivated");
    BringToFront(front);
    natives.setForegroundByTitle(jvm.env(), nullptr, jvm.NewString(title));
    CHECK(ReportedAgain(peer, "activated", activations));

    BringToFront(front);
    REQUIRE(ReportedAgain(peer, "deactivated", deactivations));
    CHECK(natives.setForegroundByHandle(jvm.env(), nullptr, handle) != 0);
    CHECK(ReportedAgain(peer, "activated", activations + 1));
    CHECK(jvm.CharsNotReleased() == 0);
    peer.Kill();
}

TEST_CASE("setTopmost and setNotTopmost change the stacking only: no move, no resize, no activation") {
    const Natives& natives = TheNatives();
    TestWindow front(Titled(u"front"));
    const RECT where = {70, 80, 470, 380};
    TestWindow window(Titled(u"stacked"), where);
    BringToFront(front);
    RECT before{};
    REQUIRE(GetWindowRect(window.get(), &before));
    struct Step {
        const char* what;
        IntToIntFn native;
        bool topmost;
    };
    const Step steps[] = {
        {"setTopmost", natives.setTopmost, true},
        {"setTopmost again", natives.setTopmost, true},
        {"setNotTopmost", natives.setNotTopmost, false},
        {"setNotTopmost again", natives.setNotTopmost, false},
        {"setTopmost after setNotTopmost", natives.setTopmost, true},
        {"setNotTopmost at the end", natives.setNotTopmost, false},
    };
    for (const Step& step : steps) {
        const std::string what = step.what;
        CAPTURE(what);
        FakeJvm jvm;
        CHECK(step.native(jvm.env(), nullptr, window.handle()) != 0);
        Pump();
        CHECK(((GetWindowLongW(window.get(), GWL_EXSTYLE) & WS_EX_TOPMOST) != 0) == step.topmost);
        RECT now{};
        REQUIRE(GetWindowRect(window.get(), &now));
        CHECK(EqualRect(&now, &before));
        CHECK(GetForegroundWindow() == front.get());
        CHECK(GetActiveWindow() == front.get());
    }
}

TEST_CASE("the handle natives give the system's failure, 0, for a window that is gone") {
    const Natives& natives = TheNatives();
    jint gone = 0;
    {
        TestWindow window(Titled(u"gone"));
        gone = window.handle();
    }
    REQUIRE_FALSE(IsWindow(reinterpret_cast<HWND>(static_cast<std::intptr_t>(gone))));
    FakeJvm jvm;
    for (IntToIntFn native : {natives.setTopmost, natives.setNotTopmost, natives.setForegroundByHandle}) {
        CHECK(native(jvm.env(), nullptr, gone) == 0);
    }
    TestWindow window(Titled(u"here"));
    BringToFront(window);
    TestWindow other(Titled(u"other"));
    CHECK(natives.setForegroundByHandle(jvm.env(), nullptr, other.handle()) != 0);
    Pump();
    CHECK(GetForegroundWindow() == other.get());
}

TEST_CASE("getLD and getWindowsDir give the folders the wide calls report") {
    const Natives& natives = TheNatives();
    struct Case {
        const char* what;
        NoneToStringFn native;
        UINT(WINAPI* query)(LPWSTR, UINT);
    };
    const Case cases[] = {
        {"getLD", natives.getLD, &GetSystemDirectoryW},
        {"getWindowsDir", natives.getWindowsDir, &GetWindowsDirectoryW},
    };
    for (const Case& c : cases) {
        const std::string what = c.what;
        CAPTURE(what);
        wchar_t folder[MAX_PATH];
        const UINT length = c.query(folder, MAX_PATH);
        REQUIRE(length > 0);
        FakeJvm jvm;
        jstring result = c.native(jvm.env(), nullptr);
        REQUIRE(result != nullptr);
        const std::u16string text = jvm.Text(result);
        CHECK(std::wstring(text.begin(), text.end()) == std::wstring(folder, length));
        CHECK(text.size() > 3);  // a real folder, not a bare drive
        CHECK(jvm.LiveLocalRefs() == 1);
    }
}

TEST_SUITE_END();
