// The search for the Java runtime against real registry keys and real probe processes. Runtime
// folders are built under the temp folder from copies of the java.exe double, which answers the
// version probe with the bytes of "probe-output" beside it and notes each call in "java-calls.log";
// HKLM\SOFTWARE\JavaSoft is made and removed by each test.
#include <doctest/doctest.h>

#include "printers.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "handle_table.h"
#include "java_runtime.h"
#include "ql/unique_handle.h"
#include "registry.h"
#include "sandbox.h"


using ql::test::FileExists;
using ql::test::Quote;
using ql::test::ReadWholeFile;
using ql::test::RemoveTree;
using ql::test::Sandbox;
using ql::test::ScopedRegistryTree;

namespace {

constexpr char kJavaSoftKey[] = "SOFTWARE\\JavaSoft";
constexpr char kRuntimeKey[] = "Java Runtime Environment";
constexpr char kDevelopmentKitKey[] = "Java Development Kit";
const std::string kRuntime15 = std::string(kRuntimeKey) + "\\1.5";

constexpr std::int32_t kNotAString = -1;
constexpr std::int32_t kNotJava15 = -2;
constexpr DWORD kChildTimeoutMs = 60000;

const std::string kJava15Answer =
    "java version \"1.5.0_22\"\r\n"
    "Java(TM) 2 Runtime Environment, Standard Edition (build 1.5.0_22-b03)\r\n"
    "Java HotSpot(TM) Client VM (build 1.5.0_22-b03, mixed mode, sharing)\r\n";
const std::string kJava16Answer =
    "java version \"1.6.0_45\"\r\n"
    "Java(TM) SE Runtime Environment (build 1.6.0_45-b06)\r\n";

void RequireFolders(const std::string& path) { REQUIRE_MESSAGE(ql::test::MakeFolders(path), "cannot make " << path); }

// A runtime folder <home>\bin\java.exe made of the double.
struct Runtime {
    std::string home;  // as it would be registered, without a trailing backslash

    std::string bin() const { return home + "\\bin\\"; }
    std::string java() const { return bin() + "java.exe"; }
    // The command lines the double received, one per line; nullopt when it never ran.
    std::optional<std::string> Calls() const { return ReadWholeFile(bin() + "java-calls.log"); }
    // What a probe of this runtime's java.exe is expected to have run.
    std::string OneProbe() const { return "\"" + java() + "\" -version\n"; }
};

// Puts the double at `programPath`, answering with `answer` (its built-in 1.5 answer when nullopt)
// after `delayMs`.
void PlaceJavaDouble(const Sandbox& sandbox, const std::string& programPath, const std::optional<std::string>& answer,
                     int delayMs = 0) {
    const std::string folder = programPath.substr(0, programPath.find_last_of('\\') + 1);
    sandbox.CopyBuilt(QL_JAVA_DOUBLE_FROM_BIN, programPath);
    if (answer) sandbox.WriteFile(folder + "probe-output", *answer);
    if (delayMs > 0) sandbox.WriteFile(folder + "probe-delay-ms", std::to_string(delayMs));
}

Runtime MakeRuntime(const Sandbox& sandbox, const std::string& home, const std::optional<std::string>& answer,
                    int delayMs = 0) {
    Runtime runtime{home};
    PlaceJavaDouble(sandbox, runtime.java(), answer, delayMs);
    return runtime;
}

// HKLM\SOFTWARE\JavaSoft is made and removed by each test (the programs run in a private prefix).
// "JavaHome" of <product>\<version>: as an installer writes it, a string with its terminating NUL,
// or exactly the bytes given.
std::string VersionKey(const char* product, const char* version) { return std::string(product) + "\\" + version; }
void SetHome(ScopedRegistryTree& keys, const std::string& versionKey, const std::string& home, DWORD type = REG_SZ) {
    REQUIRE(keys.Set(versionKey, "JavaHome", type, home + '\0'));
}
void SetRawHome(ScopedRegistryTree& keys, const std::string& versionKey, DWORD type, std::string_view bytes) {
    REQUIRE(keys.Set(versionKey, "JavaHome", type, bytes.data(), static_cast<DWORD>(bytes.size())));
}

// The threads of this process.
std::set<DWORD> ThreadsOfThisProcess() {
    std::set<DWORD> ids;
    ql::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    REQUIRE(snapshot);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
    }
    return ids;
}

// The threads started since `known` was taken, opened so that their end can be awaited.
std::vector<ql::UniqueHandle> ThreadsStartedSince(const std::set<DWORD>& known) {
    std::vector<ql::UniqueHandle> started;
    for (DWORD id : ThreadsOfThisProcess()) {
        if (known.count(id)) continue;
        ql::UniqueHandle thread(OpenThread(SYNCHRONIZE, FALSE, id));
        if (thread) started.push_back(std::move(thread));  // one that ended meanwhile cannot be opened
    }
    return started;
}

// Waits for the threads the probe started (the waiter) to end.
void WaitForThreadsStartedSince(const std::set<DWORD>& known) {
    for (ql::UniqueHandle& thread : ThreadsStartedSince(known)) {
        REQUIRE(WaitForSingleObject(thread.get(), kChildTimeoutMs) == WAIT_OBJECT_0);
    }
}

// The number of handles this process has open, from the system's handle table. GetProcessHandleCount
// is no use under Wine 8: it reports 0 whatever is open.
std::size_t HandlesOfThisProcess() {
    const auto handles = ql::test::HandlesOf(GetCurrentProcessId());
    REQUIRE(handles.has_value());
    return handles->size();
}

// What CreateProcessA reports for this command line, measured rather than assumed (Wine 8 reports
// 2 for a missing folder as well as for a missing file).
DWORD StartError(std::string commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        TerminateProcess(started.hProcess, 1);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        return 0;
    }
    return GetLastError();
}

}  // namespace

TEST_SUITE_BEGIN("java_runtime");

TEST_CASE("the JavaSoft keys of a test are gone when it ends") {
    {
        ScopedRegistryTree keys(kJavaSoftKey);
        SetHome(keys, kRuntime15, "C:\\somewhere");
        REQUIRE(ql::test::RegistryKeyExists(std::string(kJavaSoftKey) + "\\" + kRuntimeKey));
    }
    CHECK_FALSE(ql::test::RegistryKeyExists(kJavaSoftKey));
}

TEST_CASE("the version subkey \"1.5\" is taken before \"1.5.0\"") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    const Runtime first = MakeRuntime(temp, temp.path() + "\\first", kJava15Answer);
    const Runtime second = MakeRuntime(temp, temp.path() + "\\second", kJava15Answer);

    SUBCASE("both present") {
        SetHome(keys, kRuntime15, first.home);
        SetHome(keys, VersionKey(kRuntimeKey, "1.5.0"), second.home);
        std::string javaPath;
        CHECK(ql::FindRegisteredJava(javaPath) == 0);
        CHECK(javaPath == first.java());
        CHECK(first.Calls() == first.OneProbe());
        CHECK_FALSE(second.Calls());
    }
    SUBCASE("only \"1.5.0\", beside other versions") {
        SetHome(keys, VersionKey(kRuntimeKey, "1.4"), first.home);
        SetHome(keys, VersionKey(kRuntimeKey, "1.5.0"), second.home);
        SetHome(keys, VersionKey(kRuntimeKey, "1.6"), first.home);
        std::string javaPath;
        CHECK(ql::FindRegisteredJava(javaPath) == 0);
        CHECK(javaPath == second.java());
        CHECK(second.Calls() == second.OneProbe());
        CHECK_FALSE(first.Calls());
    }
}

TEST_CASE("the development kit is asked only when the runtime key lacks a 1.5 subkey") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    const Runtime runtime16 = MakeRuntime(temp, temp.path() + "\\runtime16", kJava16Answer);
    const Runtime kit = MakeRuntime(temp, temp.path() + "\\kit", kJava15Answer);
    const Runtime kitOther = MakeRuntime(temp, temp.path() + "\\kit-other", kJava15Answer);

    SUBCASE("runtime key with other versions only: the kit's \"1.5.0\"") {
        SetHome(keys, VersionKey(kRuntimeKey, "1.6"), runtime16.home);
        SetHome(keys, VersionKey(kDevelopmentKitKey, "1.5.0"), kit.home);
        std::string javaPath;
        CHECK(ql::FindRegisteredJava(javaPath) == 0);
        CHECK(javaPath == kit.java());
        CHECK(kit.Calls() == kit.OneProbe());
        CHECK_FALSE(runtime16.Calls());
    }
    SUBCASE("empty runtime key: the kit's \"1.5\" before its \"1.5.0\"") {
        REQUIRE(keys.Create(kRuntimeKey));
        SetHome(keys, VersionKey(kDevelopmentKitKey, "1.5"), kit.home);
        SetHome(keys, VersionKey(kDevelopmentKitKey, "1.5.0"), kitOther.home);
        std::string javaPath;
        CHECK(ql::FindRegisteredJava(javaPath) == 0);
        CHECK(javaPath == kit.java());
        CHECK_FALSE(kitOther.Calls());
    }
    SUBCASE("a development kit alone is not asked: 6") {
        SetHome(keys, VersionKey(kDevelopmentKitKey, "1.5"), kit.home);
        std::string javaPath = "unchanged";
        CHECK(ql::FindRegisteredJava(javaPath) == ERROR_INVALID_HANDLE);
        CHECK(javaPath == "unchanged");
        CHECK_FALSE(kit.Calls());
    }
    SUBCASE("neither key with a 1.5 subkey: 6") {
        SetHome(keys, VersionKey(kRuntimeKey, "1.4.2"), runtime16.home);
        SetHome(keys, VersionKey(kDevelopmentKitKey, "1.6"), kit.home);
        SetHome(keys, VersionKey(kDevelopmentKitKey, "1.5.1"), kit.home);
        std::string javaPath = "unchanged";
        CHECK(ql::FindRegisteredJava(javaPath) == ERROR_INVALID_HANDLE);
        CHECK(javaPath == "unchanged");
        CHECK_FALSE(kit.Calls());
        CHECK_FALSE(runtime16.Calls());
    }
    SUBCASE("the runtime's 1.5 subkey without JavaHome does not send the search on to the kit") {
        REQUIRE(keys.Create(kRuntime15));
        SetHome(keys, VersionKey(kDevelopmentKitKey, "1.5"), kit.home);
        std::string javaPath = "unchanged";
        CHECK(ql::FindRegisteredJava(javaPath) == ERROR_FILE_NOT_FOUND);
        CHECK(javaPath == "unchanged");
        CHECK_FALSE(kit.Calls());
    }
}

TEST_CASE("no JavaSoft keys at all: 6") {
    ScopedRegistryTree keys(kJavaSoftKey);
    REQUIRE_FALSE(ql::test::RegistryKeyExists(kJavaSoftKey));
    std::string javaPath = "unchanged";
    CHECK(ql::FindRegisteredJava(javaPath) == ERROR_INVALID_HANDLE);
    CHECK(javaPath == "unchanged");
}

TEST_CASE("JavaHome must be a REG_SZ value") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    const Runtime runtime = MakeRuntime(temp, temp.path() + "\\jre", kJava15Answer);
    std::string javaPath = "unchanged";

    SUBCASE("REG_EXPAND_SZ") {
        SetHome(keys, kRuntime15, runtime.home, REG_EXPAND_SZ);
        CHECK(ql::FindRegisteredJava(javaPath) == kNotAString);
    }
    SUBCASE("REG_MULTI_SZ") {
        const std::string list = runtime.home + '\0' + '\0';
        SetRawHome(keys, kRuntime15, REG_MULTI_SZ, list);
        CHECK(ql::FindRegisteredJava(javaPath) == kNotAString);
    }
    SUBCASE("REG_DWORD") {
        SetRawHome(keys, kRuntime15, REG_DWORD, std::string("\x0F\0\0\0", 4));
        CHECK(ql::FindRegisteredJava(javaPath) == kNotAString);
    }
    CHECK(javaPath == "unchanged");
    CHECK_FALSE(runtime.Calls());
}

TEST_CASE("a version key without JavaHome gives the registry's status") {
    ScopedRegistryTree keys(kJavaSoftKey);
    REQUIRE(keys.SetString(VersionKey(kRuntimeKey, "1.5.0"), "RuntimeLib", "x"));
    std::string javaPath = "unchanged";
    CHECK(ql::FindRegisteredJava(javaPath) == ERROR_FILE_NOT_FOUND);
    CHECK(javaPath == "unchanged");
}

TEST_CASE("the first line of the probe's answer decides") {
    struct Case {
        const char* name;
        std::string answer;
        std::int32_t expected;
    };
    const std::string manyLines = [] {
        std::string text = kJava15Answer;
        for (int i = 0; i < 40; ++i) text += "more text from the runtime, line " + std::to_string(i) + "\r\n";
        return text;
    }();
    const Case cases[] = {
        {"quoted 1.5.0_22, CR LF, more lines", kJava15Answer, 0},
        {"1.6 on the first line", kJava16Answer, kNotJava15},
        {"1.5. without the quote", "java version 1.5.0_22\r\nJava(TM) 2 Runtime Environment\r\n", kNotJava15},
        {"quoted 1.5 but no CR LF at all", "java version \"1.5.0_22\"", kNotJava15},
        {"quoted 1.5 ended by LF only", "java version \"1.5.0_22\"\nJava(TM) 2 Runtime Environment\n", kNotJava15},
        {"1.5 only on the second line", "java version \"1.6.0\"\r\nbuilt with \"1.5.0_22\"\r\n", kNotJava15},
        {"no answer", "", kNotJava15},
        {"an answer longer than one read", manyLines, 0},
        {"a first line longer than one read", "java " + std::string(700, '-') + " \"1.5.0\"\r\n", 0},
        {"a long first line with 1.5 after it", "java " + std::string(700, '-') + "\r\n\"1.5.0\"\r\n", kNotJava15},
    };
    for (const Case& c : cases) {
        const std::string name = c.name;
        CAPTURE(name);
        ScopedRegistryTree keys(kJavaSoftKey);
        Sandbox temp;
        const Runtime runtime = MakeRuntime(temp, temp.path() + "\\jre", c.answer);
        SetHome(keys, kRuntime15, runtime.home);
        std::string javaPath;
        CHECK(ql::FindRegisteredJava(javaPath) == c.expected);
        CHECK(javaPath == runtime.java());  // set even when the probe refuses the runtime
        CHECK(runtime.Calls() == runtime.OneProbe());
    }
}

TEST_CASE("one backslash joins the home folder and bin, with or without a trailing one") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    const Runtime runtime = MakeRuntime(temp, temp.path() + "\\jre", kJava15Answer);

    SUBCASE("without") { SetHome(keys, kRuntime15, runtime.home); }
    SUBCASE("with") { SetHome(keys, kRuntime15, runtime.home + "\\"); }

    std::string javaPath;
    CHECK(ql::FindRegisteredJava(javaPath) == 0);
    CHECK(javaPath == runtime.home + "\\bin\\java.exe");
    CHECK(javaPath.find("\\\\") == std::string::npos);
    CHECK(runtime.Calls() == runtime.OneProbe());
}

TEST_CASE("a home folder without bin\\java.exe gives the error of starting the probe") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    std::string home;
    SUBCASE("the folder exists, without bin") {
        home = temp.path() + "\\empty jre";
        RequireFolders(home);
    }
    SUBCASE("bin exists, without java.exe") {
        home = temp.path() + "\\jre";
        RequireFolders(home + "\\bin");
    }
    SUBCASE("no such folder") { home = temp.path() + "\\missing\\jre"; }
    SetHome(keys, kRuntime15, home);
    const std::string expectedPath = home + "\\bin\\java.exe";
    const DWORD expected = StartError("\"" + expectedPath + "\" -version");
    CAPTURE(expected);
    CHECK((expected == ERROR_FILE_NOT_FOUND || expected == ERROR_PATH_NOT_FOUND));

    std::string javaPath;
    const std::int32_t result = ql::FindRegisteredJava(javaPath);
    CHECK(result > 0);
    CHECK(result == static_cast<std::int32_t>(expected));
    CHECK(javaPath == expectedPath);
}

TEST_CASE("a probe that answers late is waited for") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    const Runtime runtime = MakeRuntime(temp, temp.path() + "\\jre", kJava15Answer, 1500);
    SetHome(keys, kRuntime15, runtime.home);
    std::string javaPath;
    CHECK(ql::FindRegisteredJava(javaPath) == 0);
    CHECK(javaPath == runtime.java());
    CHECK(runtime.Calls() == runtime.OneProbe());
}

TEST_CASE("a home folder with a blank runs the registered java.exe, not a program at the blank") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    // Unquoted, "<temp>\plant x\jre\bin\java.exe -version" would start <temp>\plant.exe.
    const Runtime runtime = MakeRuntime(temp, temp.path() + "\\plant x\\jre", kJava15Answer);
    PlaceJavaDouble(temp, temp.path() + "\\plant.exe", kJava16Answer);
    SetHome(keys, kRuntime15, runtime.home);

    std::string javaPath;
    CHECK(ql::FindRegisteredJava(javaPath) == 0);
    CHECK(javaPath == runtime.java());
    CHECK(runtime.Calls() == runtime.OneProbe());
    CHECK_FALSE(FileExists(temp.path() + "\\java-calls.log"));
}

TEST_CASE("a JavaHome stored without its NUL is read to its stored size only") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    const Runtime runtime = MakeRuntime(temp, temp.path() + "\\jre", kJava15Answer);
    std::string expectedPath = runtime.java();

    SUBCASE("no NUL") {
        // The byte after the counted ones must not be a NUL, or the registry counts the NUL in itself.
        const std::string stored = runtime.home + "\\elsewhere";
        SetRawHome(keys, kRuntime15, REG_SZ, std::string_view(stored).substr(0, runtime.home.size()));
        REQUIRE(keys.Get(kRuntime15, "JavaHome") == runtime.home);
    }
    SUBCASE("a NUL inside: the text ends there") {
        const std::string stored = runtime.home + '\0' + "\\elsewhere" + '\0';
        SetRawHome(keys, kRuntime15, REG_SZ, stored);
    }
    SUBCASE("a trailing backslash and no NUL") {
        const std::string stored = runtime.home + "\\elsewhere";
        SetRawHome(keys, kRuntime15, REG_SZ, std::string_view(stored).substr(0, runtime.home.size() + 1));
    }

    std::string javaPath;
    CHECK(ql::FindRegisteredJava(javaPath) == 0);
    CHECK(javaPath == expectedPath);
    CHECK(runtime.Calls() == runtime.OneProbe());
}

TEST_CASE("an empty JavaHome gives 2 and starts nothing") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    // "\bin\java.exe" would be taken from the root of the current drive: work on the temp folder's
    // drive and put a double there, which must not run.
    char previous[MAX_PATH];
    REQUIRE(GetCurrentDirectoryA(MAX_PATH, previous) > 0);
    REQUIRE(SetCurrentDirectoryA(temp.path().c_str()));
    struct Restore {
        const char* folder;
        ~Restore() { SetCurrentDirectoryA(folder); }
    } restore{previous};
    const std::string rootBin = temp.path().substr(0, 2) + "\\bin";
    REQUIRE_MESSAGE(!FileExists(rootBin), rootBin << " exists already; it is used here for a double");
    struct RemoveRootBin {
        std::string folder;
        ~RemoveRootBin() { RemoveTree(folder); }
    } removeRootBin{rootBin};
    PlaceJavaDouble(temp, rootBin + "\\java.exe", kJava15Answer);
    REQUIRE(FileExists("\\bin\\java.exe"));

    SUBCASE("size 0") { SetRawHome(keys, kRuntime15, REG_SZ, ""); }
    SUBCASE("a lone NUL") { SetRawHome(keys, kRuntime15, REG_SZ, std::string_view("", 1)); }
    SUBCASE("a NUL first") { SetRawHome(keys, kRuntime15, REG_SZ, std::string_view("\0C:\\jre", 8)); }

    std::string javaPath = "unchanged";
    CHECK(ql::FindRegisteredJava(javaPath) == ERROR_FILE_NOT_FOUND);
    CHECK(javaPath == "unchanged");
    CHECK_FALSE(FileExists(rootBin + "\\java-calls.log"));
}

TEST_CASE("a probe leaves no handle open once the waiter is done") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    const Runtime accepted = MakeRuntime(temp, temp.path() + "\\accepted", kJava15Answer);
    const Runtime refused = MakeRuntime(temp, temp.path() + "\\refused", kJava16Answer);

    auto probeOnce = [&keys](const Runtime& runtime) {
        keys.Remove(kRuntimeKey);
        SetHome(keys, kRuntime15, runtime.home);
        const std::set<DWORD> threads = ThreadsOfThisProcess();
        std::string javaPath;
        const std::int32_t result = ql::FindRegisteredJava(javaPath);
        WaitForThreadsStartedSince(threads);
        return result;
    };
    // A first probe, so that whatever the system opens once per process is open already.
    REQUIRE(probeOnce(accepted) == 0);

    const std::size_t before = HandlesOfThisProcess();
    CHECK(probeOnce(accepted) == 0);
    CHECK(HandlesOfThisProcess() == before);
    CHECK(probeOnce(refused) == kNotJava15);
    CHECK(HandlesOfThisProcess() == before);
    CHECK(probeOnce(Runtime{temp.path() + "\\missing"}) > 0);
    CHECK(HandlesOfThisProcess() == before);
}

namespace {

// The running child process of this program named `programName` (none when there is none).
ql::UniqueHandle OpenChildProcess(const std::string& programName) {
    ql::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    REQUIRE(snapshot);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    ql::UniqueHandle found;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID != GetCurrentProcessId()) continue;
        if (lstrcmpiA(entry.szExeFile, programName.c_str()) != 0) continue;
        REQUIRE_FALSE(found);
        found.reset(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        REQUIRE(found);
    }
    return found;
}

// Ends the probe and waits for `waiter` to finish with it while a block of stack that the reader
// used before holds a pattern; returns how many bytes of the pattern changed. A waiter that wrote
// into the reader's stack after the reader returned would change some.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
int StackBytesChangedWhileWaiterEnds(HANDLE probe, HANDLE waiter) {
    constexpr unsigned char kPattern = 0xA5;
    volatile unsigned char block[32 * 1024];
    for (auto& byte : block) byte = kPattern;
    TerminateProcess(probe, 1);
    const DWORD waited = WaitForSingleObject(waiter, kChildTimeoutMs);
    int changed = 0;
    for (auto& byte : block) changed += byte != kPattern;
    return waited == WAIT_OBJECT_0 ? changed : -1;
}

}  // namespace

TEST_CASE("a reader that returns while the probe still runs leaves the waiter a valid record") {
    ScopedRegistryTree keys(kJavaSoftKey);
    Sandbox temp;
    // The double would wait two minutes before answering; the test ends it long before. (Should the
    // cancel not reach the read, the probe ends by itself and the result shows it.)
    const Runtime runtime = MakeRuntime(temp, temp.path() + "\\jre", kJava15Answer, 120000);
    SetHome(keys, kRuntime15, runtime.home);

    HANDLE reader = nullptr;
    REQUIRE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &reader, THREAD_TERMINATE,
                            FALSE, 0));
    ql::UniqueHandle readerThread(reader);
    const std::set<DWORD> threads = ThreadsOfThisProcess();
    const std::size_t handlesBefore = HandlesOfThisProcess();

    // Once the probe runs, its pending ReadFile is cancelled: the read fails (995) while the probe
    // has not ended.
    struct Canceller {
        HANDLE reader;
        std::string callLog;
        bool cancelled = false;
        static DWORD WINAPI Run(void* parameter) {
            auto* self = static_cast<Canceller*>(parameter);
            for (int i = 0; i < 6000 && !self->cancelled; ++i) {
                if (FileExists(self->callLog)) self->cancelled = CancelSynchronousIo(self->reader);
                if (!self->cancelled) Sleep(10);
            }
            return 0;
        }
    } canceller{readerThread.get(), runtime.bin() + "java-calls.log"};
    ql::UniqueHandle cancelling(CreateThread(nullptr, 0, &Canceller::Run, &canceller, 0, nullptr));
    REQUIRE(cancelling);

    std::string javaPath;
    const std::int32_t result = ql::FindRegisteredJava(javaPath);
    REQUIRE(WaitForSingleObject(cancelling.get(), kChildTimeoutMs) == WAIT_OBJECT_0);
    const DWORD cancellerId = GetThreadId(cancelling.get());
    cancelling.reset();
    REQUIRE(canceller.cancelled);
    CHECK(result == ERROR_OPERATION_ABORTED);
    CHECK(javaPath == runtime.java());

    struct RunningProbe {
        ql::UniqueHandle process;
        ~RunningProbe() {
            if (process) TerminateProcess(process.get(), 1);  // when a check below stops the test
        }
    } probe{OpenChildProcess("java.exe")};
    REQUIRE(probe.process);
    std::set<DWORD> known = threads;
    known.insert(cancellerId);
    std::vector<ql::UniqueHandle> waiters = ThreadsStartedSince(known);
    REQUIRE(waiters.size() == 1);

    CHECK(StackBytesChangedWhileWaiterEnds(probe.process.get(), waiters.front().get()) == 0);
    probe.process.reset();
    waiters.clear();
    CHECK(HandlesOfThisProcess() == handlesBefore);
}

TEST_CASE("FindBundledJava takes jre\\bin\\java.exe beside the program's folder") {
    Sandbox temp;
    const std::string product = temp.path() + "\\t b";
    const std::string launcher = product + "\\bin\\bundled_java_probe.exe";
    temp.CopyBuilt("bundled_java_probe.exe", launcher);
    std::string expected;

    SUBCASE("present: its canonical path") {
        PlaceJavaDouble(temp, product + "\\jre\\bin\\java.exe", std::nullopt);
        expected = "found\n" + product + "\\jre\\bin\\java.exe\n";
    }
    SUBCASE("absent: the path is left as it was") {
        expected = "not found\n(untouched)\n";
    }
    SUBCASE("jre\\bin without java.exe") {
        RequireFolders(product + "\\jre\\bin");
        expected = "not found\n(untouched)\n";
    }
    SUBCASE("java.exe in the program's own folder does not count") {
        PlaceJavaDouble(temp, product + "\\bin\\java.exe", std::nullopt);
        expected = "not found\n(untouched)\n";
    }

    const ql::test::RunResult run = ql::test::Run(Quote(launcher), kChildTimeoutMs);
    REQUIRE(run.finished);
    CHECK(run.output == expected);
    CHECK(run.exitCode == (expected.rfind("found", 0) == 0 ? 0u : 1u));
    CHECK(run.output.find("..") == std::string::npos);
}

TEST_CASE("FindBundledJava finds nothing when the runtime's path would not fit in MAX_PATH") {
    // The program's own path fits, but its folder + "\..\jre\bin\java.exe" does not: the path must not
    // shrink to the root of the drive, which exists.
    Sandbox temp;
    const std::size_t folderLength = MAX_PATH - 15;  // + "\b.exe" fits, + "\..\jre\bin\java.exe" does not
    const std::string folder = temp.path() + "\\" + std::string(folderLength - temp.path().size() - 1, 'd');
    REQUIRE(folder.size() == folderLength);
    const std::string launcher = folder + "\\b.exe";
    REQUIRE(launcher.size() < MAX_PATH);
    temp.CopyBuilt("bundled_java_probe.exe", launcher);

    const ql::test::RunResult run = ql::test::Run(Quote(launcher), kChildTimeoutMs);
    REQUIRE(run.finished);
    CHECK(run.output == "not found\n(untouched)\n");
}

TEST_SUITE_END();
