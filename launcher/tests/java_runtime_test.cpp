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
#include <vector>

#include "child_process.h"
#include "handle_table.h"
#include "java_runtime.h"
#include "ql/unique_handle.h"
#include "registry.h"


using ql::test::FileExists;
using ql::test::ProgramDirectory;
using ql::test::Quote;
using ql::test::ReadWholeFile;
using ql::test::RemoveTree;
using ql::test::WriteWholeFile;

namespace {

constexpr const char* kJavaSoftKey = "SOFTWARE\\JavaSoft";
constexpr const char* kRuntimeKey = "SOFTWARE\\JavaSoft\\Java Runtime Environment";
constexpr const char* kDevelopmentKitKey = "SOFTWARE\\JavaSoft\\Java Development Kit";

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

std::string JavaDouble() { return ProgramDirectory() + QL_JAVA_DOUBLE_FROM_BIN; }

void WriteFileText(const std::string& path, const std::string& text) {
    REQUIRE_MESSAGE(WriteWholeFile(path, text), "cannot write " << path);
}

void RequireFolders(const std::string& path) { REQUIRE_MESSAGE(ql::test::MakeFolders(path), "cannot make " << path); }

// A fresh folder under the temp folder for one test, removed with its contents at the end.
class TempFolder {
public:
    TempFolder() {
        char temp[MAX_PATH];
        REQUIRE(GetTempPathA(MAX_PATH, temp) > 0);
        char longTemp[MAX_PATH];
        REQUIRE(GetLongPathNameA(temp, longTemp, MAX_PATH) > 0);
        static int serial = 0;
        path_ = std::string(longTemp) + "ql-jr-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
        RemoveTree(path_);
        RequireFolders(path_);
    }
    ~TempFolder() { RemoveTree(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Without a trailing backslash.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A runtime folder <home>\bin\java.exe made of the double.
struct Runtime {
    std::string home;  // as it would be registered, without a trailing backslash

    std::string bin() const { return home + "\\bin\\"; }
    std::string java() const { return bin() + "java.exe"; }
    // The command lines the double received, one per line; nullopt when it never ran.
    std::optional<std::string> Calls() const { return ReadWholeFile(bin() + "java-calls.log"); }
    // What a probe of this runtime's java.exe is expected to have run.
    std::string OneProbe() const {
        std::string line = "\"";
        line += java();
        line += "\" -version\n";
        return line;
    }
};

// Puts the double at `programPath`, answering with `answer` (its built-in 1.5 answer when nullopt)
// after `delayMs`.
void PlaceJavaDouble(const std::string& programPath, const std::optional<std::string>& answer, int delayMs = 0) {
    const std::string folder = programPath.substr(0, programPath.find_last_of('\\') + 1);
    RequireFolders(folder.substr(0, folder.size() - 1));
    REQUIRE_MESSAGE(CopyFileA(JavaDouble().c_str(), programPath.c_str(), FALSE),
                    "cannot copy " << JavaDouble() << " (error " << GetLastError() << ")");
    if (answer) WriteFileText(folder + "probe-output", *answer);
    if (delayMs > 0) WriteFileText(folder + "probe-delay-ms", std::to_string(delayMs));
}

Runtime MakeRuntime(const std::string& home, const std::optional<std::string>& answer, int delayMs = 0) {
    Runtime runtime{home};
    PlaceJavaDouble(runtime.java(), answer, delayMs);
    return runtime;
}

bool KeyExists(const char* path) {
    ql::UniqueRegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// HKLM\SOFTWARE\JavaSoft for one test: removed when the test starts and again when it ends, whether
// its checks passed or not. The test programs run in a private Wine prefix.
class JavaSoftKeys {
public:
    static ql::UniqueRegKey Create(const std::string& path) {
        ql::UniqueRegKey key;
        REQUIRE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                nullptr) == ERROR_SUCCESS);
        return key;
    }
    // Sets "JavaHome" of <product>\<version> to exactly `size` bytes of `data`.
    static void SetRaw(const char* product, const char* version, DWORD type, const void* data, DWORD size) {
        ql::UniqueRegKey key = Create(std::string(product) + "\\" + version);
        REQUIRE(RegSetValueExA(key.get(), "JavaHome", 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS);
    }
    // "JavaHome" as an installer writes it: a string with its terminating NUL.
    static void SetHome(const char* product, const char* version, const std::string& home, DWORD type = REG_SZ) {
        SetRaw(product, version, type, home.c_str(), static_cast<DWORD>(home.size() + 1));
    }

private:
    ql::test::ScopedRegistryTree tree_{kJavaSoftKey};
};

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

TEST_CASE("the JavaSoft keys of a test are gone when it ends") {
    {
        JavaSoftKeys keys;
        JavaSoftKeys::SetHome(kRuntimeKey, "1.5", "C:\\somewhere");
        REQUIRE(KeyExists(kRuntimeKey));
    }
    CHECK_FALSE(KeyExists(kJavaSoftKey));
}

TEST_CASE("the version subkey \"1.5\" is taken before \"1.5.0\"") {
    JavaSoftKeys keys;
    TempFolder temp;
    const Runtime first = MakeRuntime(temp.path() + "\\first", kJava15Answer);
    const Runtime second = MakeRuntime(temp.path() + "\\second", kJava15Answer);

    SUBCASE("both present") {
        JavaSoftKeys::SetHome(kRuntimeKey, "1.5", first.home);
        JavaSoftKeys::SetHome(kRuntimeKey, "1.5.0", second.home);
        std::string javaPath;
        CHECK(ql::FindRegisteredJava(javaPath) == 0);
        CHECK(javaPath == first.java());
        CHECK(first.Calls() == first.OneProbe());
        CHECK_FALSE(second.Calls());
    }
    SUBCASE("only \"1.5.0\", beside other versions") {
        JavaSoftKeys::SetHome(kRuntimeKey, "1.4", first.home);
        JavaSoftKeys::SetHome(kRuntimeKey, "1.5.0", second.home);
        JavaSoftKeys::SetHome(kRuntimeKey, "1.6", first.home);
        std::string javaPath;
        CHECK(ql::FindRegisteredJava(javaPath) == 0);
        CHECK(javaPath == second.java());
        CHECK(second.Calls() == second.OneProbe());
        CHECK_FALSE(first.Calls());
    }
}

TEST_CASE("the development kit is asked only when the runtime key lacks a 1.5 subkey") {
    JavaSoftKeys keys;
    TempFolder temp;
    const Runtime runtime16 = MakeRuntime(temp.path() + "\\runtime16", kJava16Answer);
    const Runtime kit = MakeRuntime(temp.path() + "\\kit", kJava15Answer);
    const Runtime kitOther = MakeRuntime(temp.path() + "\\kit-other", kJava15Answer);

    SUBCASE("runtime key with other versions only: the kit's \"1.5.0\"") {
        JavaSoftKeys::SetHome(kRuntimeKey, "1.6", runtime16.home);
        JavaSoftKeys::SetHome(kDevelopmentKitKey, "1.5.0", kit.home);
        std::string javaPath;
        CHECK(ql::FindRegisteredJava(javaPath) == 0);
        CHECK(javaPath == kit.java());
        CHECK(kit.Calls() == kit.OneProbe());
        CHECK_FALSE(runtime16.Calls());
    }
    SUBCASE("empty runtime key: the kit's \"1.5\" before its \"1.5.0\"") {
        JavaSoftKeys::Create(kRuntimeKey);
        JavaSoftKeys::SetHome(kDevelopmentKitKey, "1.5", kit.home);
        JavaSoftKeys::SetHome(kDevelopmentKitKey, "1.5.0", kitOther.home);
        std::string javaPath;
        CHECK(ql::FindRegisteredJava(javaPath) == 0);
        CHECK(javaPath == kit.java());
        CHECK_FALSE(kitOther.Calls());
    }
    SUBCASE("a development kit alone is not asked: 6") {
        JavaSoftKeys::SetHome(kDevelopmentKitKey, "1.5", kit.home);
        std::string javaPath = "unchanged";
        CHECK(ql::FindRegisteredJava(javaPath) == ERROR_INVALID_HANDLE);
        CHECK(javaPath == "unchanged");
        CHECK_FALSE(kit.Calls());
    }
    SUBCASE("neither key with a 1.5 subkey: 6") {
        JavaSoftKeys::SetHome(kRuntimeKey, "1.4.2", runtime16.home);
        JavaSoftKeys::SetHome(kDevelopmentKitKey, "1.6", kit.home);
        JavaSoftKeys::SetHome(kDevelopmentKitKey, "1.5.1", kit.home);
        std::string javaPath = "unchanged";
        CHECK(ql::FindRegisteredJava(javaPath) == ERROR_INVALID_HANDLE);
        CHECK(javaPath == "unchanged");
        CHECK_FALSE(kit.Calls());
        CHECK_FALSE(runtime16.Calls());
    }
    SUBCASE("the runtime's 1.5 subkey without JavaHome does not send the search on to the kit") {
        JavaSoftKeys::Create(std::string(kRuntimeKey) + "\\1.5");
        JavaSoftKeys::SetHome(kDevelopmentKitKey, "1.5", kit.home);
        std::string javaPath = "unchanged";
        CHECK(ql::FindRegisteredJava(javaPath) == ERROR_FILE_NOT_FOUND);
        CHECK(javaPath == "unchanged");
        CHECK_FALSE(kit.Calls());
    }
}

TEST_CASE("no JavaSoft keys at all: 6") {
    JavaSoftKeys keys;
    REQUIRE_FALSE(KeyExists(kJavaSoftKey));
    std::string javaPath = "unchanged";
    CHECK(ql::FindRegisteredJava(javaPath) == ERROR_INVALID_HANDLE);
    CHECK(javaPath == "unchanged");
}

TEST_CASE("JavaHome must be a REG_SZ value") {
    JavaSoftKeys keys;
    TempFolder temp;
    const Runtime runtime = MakeRuntime(temp.path() + "\\jre", kJava15Answer);
    std::string javaPath = "unchanged";

    SUBCASE("REG_EXPAND_SZ") {
        JavaSoftKeys::SetHome(kRuntimeKey, "1.5", runtime.home, REG_EXPAND_SZ);
        CHECK(ql::FindRegisteredJava(javaPath) == kNotAString);
    }
    SUBCASE("REG_MULTI_SZ") {
        const std::string list = runtime.home + '\0' + '\0';
        JavaSoftKeys::SetRaw(kRuntimeKey, "1.5", REG_MULTI_SZ, list.data(), static_cast<DWORD>(list.size()));
        CHECK(ql::FindRegisteredJava(javaPath) == kNotAString);
    }
    SUBCASE("REG_DWORD") {
        const DWORD number = 15;
        JavaSoftKeys::SetRaw(kRuntimeKey, "1.5", REG_DWORD, &number, sizeof number);
        CHECK(ql::FindRegisteredJava(javaPath) == kNotAString);
    }
    CHECK(javaPath == "unchanged");
    CHECK_FALSE(runtime.Calls());
}

TEST_CASE("a version key without JavaHome gives the registry's status") {
    JavaSoftKeys keys;
    ql::UniqueRegKey version = JavaSoftKeys::Create(std::string(kRuntimeKey) + "\\1.5.0");
    REQUIRE(RegSetValueExA(version.get(), "RuntimeLib", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2) == 0);
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
        CAPTURE(c.name);
        JavaSoftKeys keys;
        TempFolder temp;
        const Runtime runtime = MakeRuntime(temp.path() + "\\jre", c.answer);
        JavaSoftKeys::SetHome(kRuntimeKey, "1.5", runtime.home);
        std::string javaPath;
        CHECK(ql::FindRegisteredJava(javaPath) == c.expected);
        CHECK(javaPath == runtime.java());  // set even when the probe refuses the runtime
        CHECK(runtime.Calls() == runtime.OneProbe());
    }
}

TEST_CASE("one backslash joins the home folder and bin, with or without a trailing one") {
    JavaSoftKeys keys;
    TempFolder temp;
    const Runtime runtime = MakeRuntime(temp.path() + "\\jre", kJava15Answer);

    SUBCASE("without") { JavaSoftKeys::SetHome(kRuntimeKey, "1.5", runtime.home); }
    SUBCASE("with") { JavaSoftKeys::SetHome(kRuntimeKey, "1.5", runtime.home + "\\"); }

    std::string javaPath;
    CHECK(ql::FindRegisteredJava(javaPath) == 0);
    CHECK(javaPath == runtime.home + "\\bin\\java.exe");
    CHECK(javaPath.find("\\\\") == std::string::npos);
    CHECK(runtime.Calls() == runtime.OneProbe());
}

TEST_CASE("a home folder without bin\\java.exe gives the error of starting the probe") {
    JavaSoftKeys keys;
    TempFolder temp;
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
    JavaSoftKeys::SetHome(kRuntimeKey, "1.5", home);
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
    JavaSoftKeys keys;
    TempFolder temp;
    const Runtime runtime = MakeRuntime(temp.path() + "\\jre", kJava15Answer, 1500);
    JavaSoftKeys::SetHome(kRuntimeKey, "1.5", runtime.home);
    std::string javaPath;
    CHECK(ql::FindRegisteredJava(javaPath) == 0);
    CHECK(javaPath == runtime.java());
    CHECK(runtime.Calls() == runtime.OneProbe());
}

TEST_CASE("a home folder with a blank runs the registered java.exe, not a program at the blank") {
    JavaSoftKeys keys;
    TempFolder temp;
    // Unquoted, "<temp>\plant x\jre\bin\java.exe -version" would start <temp>\plant.exe.
    const Runtime runtime = MakeRuntime(temp.path() + "\\plant x\\jre", kJava15Answer);
    PlaceJavaDouble(temp.path() + "\\plant.exe", kJava16Answer);
    JavaSoftKeys::SetHome(kRuntimeKey, "1.5", runtime.home);

    std::string javaPath;
    CHECK(ql::FindRegisteredJava(javaPath) == 0);
    CHECK(javaPath == runtime.java());
    CHECK(runtime.Calls() == runtime.OneProbe());
    CHECK_FALSE(FileExists(temp.path() + "\\java-calls.log"));
}

TEST_CASE("a JavaHome stored without its NUL is read to its stored size only") {
    JavaSoftKeys keys;
    TempFolder temp;
    const Runtime runtime = MakeRuntime(temp.path() + "\\jre", kJava15Answer);
    std::string expectedPath = runtime.java();

    SUBCASE("no NUL") {
        // The byte after the counted ones must not be a NUL, or the registry counts the NUL in itself.
        const std::string stored = runtime.home + "\\elsewhere";
        JavaSoftKeys::SetRaw(kRuntimeKey, "1.5", REG_SZ, stored.data(), static_cast<DWORD>(runtime.home.size()));
        ql::UniqueRegKey version;
        REQUIRE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kRuntimeKey) + "\\1.5").c_str(), 0, KEY_READ,
                              version.put()) == ERROR_SUCCESS);
        DWORD size = 0;
        REQUIRE(RegQueryValueExA(version.get(), "JavaHome", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS);
        REQUIRE(size == runtime.home.size());
    }
    SUBCASE("a NUL inside: the text ends there") {
        const std::string stored = runtime.home + '\0' + "\\elsewhere" + '\0';
        JavaSoftKeys::SetRaw(kRuntimeKey, "1.5", REG_SZ, stored.data(), static_cast<DWORD>(stored.size()));
    }
    SUBCASE("a trailing backslash and no NUL") {
        const std::string stored = runtime.home + "\\elsewhere";
        JavaSoftKeys::SetRaw(kRuntimeKey, "1.5", REG_SZ, stored.data(), static_cast<DWORD>(runtime.home.size() + 1));
    }

    std::string javaPath;
    CHECK(ql::FindRegisteredJava(javaPath) == 0);
    CHECK(javaPath == expectedPath);
    CHECK(runtime.Calls() == runtime.OneProbe());
}

TEST_CASE("an empty JavaHome gives 2 and starts nothing") {
    JavaSoftKeys keys;
    TempFolder temp;
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
    PlaceJavaDouble(rootBin + "\\java.exe", kJava15Answer);
    REQUIRE(FileExists("\\bin\\java.exe"));

    SUBCASE("size 0") { JavaSoftKeys::SetRaw(kRuntimeKey, "1.5", REG_SZ, "", 0); }
    SUBCASE("a lone NUL") { JavaSoftKeys::SetRaw(kRuntimeKey, "1.5", REG_SZ, "", 1); }
    SUBCASE("a NUL first") { JavaSoftKeys::SetRaw(kRuntimeKey, "1.5", REG_SZ, "\0C:\\jre", 8); }

    std::string javaPath = "unchanged";
    CHECK(ql::FindRegisteredJava(javaPath) == ERROR_FILE_NOT_FOUND);
    CHECK(javaPath == "unchanged");
    CHECK_FALSE(FileExists(rootBin + "\\java-calls.log"));
}

TEST_CASE("a probe leaves no handle open once the waiter is done") {
    JavaSoftKeys keys;
    TempFolder temp;
    const Runtime accepted = MakeRuntime(temp.path() + "\\accepted", kJava15Answer);
    const Runtime refused = MakeRuntime(temp.path() + "\\refused", kJava16Answer);

    auto probeOnce = [](const Runtime& runtime) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kRuntimeKey);
        JavaSoftKeys::SetHome(kRuntimeKey, "1.5", runtime.home);
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
    JavaSoftKeys keys;
    TempFolder temp;
    // The double would wait two minutes before answering; the test ends it long before. (Should the
    // cancel not reach the read, the probe ends by itself and the result shows it.)
    const Runtime runtime = MakeRuntime(temp.path() + "\\jre", kJava15Answer, 120000);
    JavaSoftKeys::SetHome(kRuntimeKey, "1.5", runtime.home);

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
    TempFolder temp;
    const std::string product = temp.path() + "\\t b";
    const std::string launcher = product + "\\bin\\bundled_java_probe.exe";
    RequireFolders(product + "\\bin");
    REQUIRE(CopyFileA((ProgramDirectory() + "bundled_java_probe.exe").c_str(), launcher.c_str(), FALSE));
    std::string expected;

    SUBCASE("present: its canonical path") {
        PlaceJavaDouble(product + "\\jre\\bin\\java.exe", std::nullopt);
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
        PlaceJavaDouble(product + "\\bin\\java.exe", std::nullopt);
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
    TempFolder temp;
    const std::size_t folderLength = MAX_PATH - 15;  // + "\b.exe" fits, + "\..\jre\bin\java.exe" does not
    const std::string folder = temp.path() + "\\" + std::string(folderLength - temp.path().size() - 1, 'd');
    REQUIRE(folder.size() == folderLength);
    const std::string launcher = folder + "\\b.exe";
    REQUIRE(launcher.size() < MAX_PATH);
    RequireFolders(folder);
    REQUIRE(CopyFileA((ProgramDirectory() + "bundled_java_probe.exe").c_str(), launcher.c_str(), FALSE));

    const ql::test::RunResult run = ql::test::Run(Quote(launcher), kChildTimeoutMs);
    REQUIRE(run.finished);
    CHECK(run.output == "not found\n(untouched)\n");
}
