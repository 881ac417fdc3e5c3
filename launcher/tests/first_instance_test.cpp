// The first launcher: how it starts the Java application, where it finds the runtime, and what it
// tells the user when it cannot. Real launcher processes under Wine, with a Java runtime double.
#include <doctest/doctest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "handle_table.h"
#include "launcher_harness.h"
#include "window_finder.h"
#include "registry.h"

using namespace ql::test;

namespace {

constexpr char kJavaSoft[] = "SOFTWARE\\JavaSoft";
constexpr char kRuntimeKey[] = "Java Runtime Environment";
constexpr char kDevelopmentKitKey[] = "Java Development Kit";

// Starts a first instance, waits until the application double recorded its command line, then lets
// the application end; the launcher must end with it, with exit code 0.
struct Started {
    std::string commandLine;
    std::string currentDirectory;
};

Started StartAndEnd(ProductTree& tree, const std::string& arguments, const std::string& runtimeBin = {}) {
    Child launcher = StartLauncher(tree, arguments);
    REQUIRE(launcher.started());
    REQUIRE(tree.WaitForRecord("publish", 1, kStartTimeoutMs, runtimeBin));
    Started started{tree.Events("cmdline", runtimeBin).at(0), tree.Events("cwd", runtimeBin).at(0)};

    HWND application = FindApplicationWindow();
    REQUIRE(application != nullptr);
    PostMessageA(application, WM_CLOSE, 0, 0);
    REQUIRE(launcher.Wait(kStartTimeoutMs));
    CHECK(launcher.ExitCode() == 0);
    return started;
}

// Runs a first instance that must fail: returns the message it showed and checks its exit code.
MessageBoxSeen FailingStart(ProductTree& tree, std::int32_t expectedExitCode) {
    Child launcher = StartLauncher(tree, "");
    REQUIRE(launcher.started());
    auto box = TakeMessageBox(launcher.id(), kStartTimeoutMs);
    REQUIRE(box.has_value());
    CHECK(box->caption == "Error");
    REQUIRE(launcher.Wait(kStartTimeoutMs));
    CHECK(launcher.ExitCode() == static_cast<DWORD>(expectedExitCode));
    return *box;
}

std::string JavaPrefix(const std::string& runtimeBin) {
    return "\"" + runtimeBin + "javaw.exe\" -cp qlopgp.jar com.brennick.Launcher ";
}

}  // namespace

TEST_SUITE_BEGIN("first_instance");

TEST_CASE("a first instance starts the bundled runtime with the launch arguments") {
    ProductTree tree;
    // A registered runtime that must not be used while the bundled one exists.
    ScopedRegistryTree javaSoft(kJavaSoft);
    const std::string registeredBin = tree.AddRuntime("registered jre");
    javaSoft.SetString(std::string(kRuntimeKey) + "\\1.5", "JavaHome", tree.root() + "registered jre");

    const std::string prefix = JavaPrefix(tree.jreBin());

    // What the application's command line holds after the program and class; "#": the window field
    // (see MarkWindow; the next test pins it down).
    struct Row {
        const char* name;
        const char* arguments;
        const char* passed;
    };
    const Row rows[] = {
        {"an empty command line asks to open the application", "", "\"0*open**\""},
        {"a bare path with blanks becomes an unprotect request", "\"C:\\My Files\\report 1.pgp\"",
         "\"#*unprotect*C:\\My Files\\report 1.pgp*\""},
        {"a bare path that begins beyond ASCII arrives whole", "\xC9t\xE9.pgp", "\"#*unprotect*\xC9t\xE9.pgp*\""},
        {"a quoted request from the Explorer menu is passed without its quotes",
         "\"4242*protect*C:\\a b\\x.txt*C:\\y*\"", "4242*protect*C:\\a b\\x.txt*C:\\y*"},
        {"a tray request is passed unchanged", "0*logon**", "0*logon**"},
        {"-p and its value follow the request", "0*key_manager** -p \"pass word\"", "0*key_manager**-p \"pass word\""},
        {"a final -p without a value changes nothing", "0*logoff** -p", "0*logoff**"},
    };
    for (const Row& row : rows) {
        const std::string name = row.name;
        CAPTURE(name);
        DeleteFileA((tree.jreBin() + "javaw-record.log").c_str());  // the application before has ended
        const Started started = StartAndEnd(tree, row.arguments);
        const std::string expected = prefix + row.passed;
        CHECK(MarkWindow(started.commandLine, expected) == expected);
        // The application runs in the launcher's folder, where qlopgp.jar lies.
        CHECK(started.currentDirectory + "\\" == tree.bin());
        CHECK(tree.Events("start").size() == 1);
    }
    // The registered runtime never ran: no probe, no application.
    CHECK(tree.Record(registeredBin).empty());
}

TEST_CASE("the window in front when the launcher starts names the request's window") {
    ProductTree tree;
    HWND front = CreateWindowExA(0, "STATIC", "front window", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 100, 100,
                                 nullptr, nullptr, nullptr, nullptr);
    REQUIRE(front != nullptr);
    SetForegroundWindow(front);
    REQUIRE(GetForegroundWindow() == front);

    Started started = StartAndEnd(tree, "C:\\file.pgp");
    DestroyWindow(front);
    const auto number = static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(front));
    CHECK(started.commandLine == JavaPrefix(tree.jreBin()) + "\"" + std::to_string(number) + "*unprotect*C:\\file.pgp*\"");
}

TEST_CASE("a first instance finds a registered 1.5 runtime") {
    ProductTree tree(ProductTree::Runtime::None);
    ScopedRegistryTree javaSoft(kJavaSoft);
    const std::string home = tree.root() + "Java 1.5 home";  // a blank: the program path is quoted
    const std::string runtimeBin = tree.AddRuntime("Java 1.5 home");

    SUBCASE("under the runtime key's 1.5.0 subkey, home without a trailing backslash") {
        javaSoft.SetString(std::string(kRuntimeKey) + "\\1.5.0", "JavaHome", home);
    }
    SUBCASE("under the development kit's 1.5 subkey when the runtime key has no version") {
        javaSoft.SetString(kRuntimeKey, "CurrentVersion", "1.4");
        javaSoft.SetString(std::string(kDevelopmentKitKey) + "\\1.5", "JavaHome", home + "\\");
    }
    Started started = StartAndEnd(tree, "0*logon**", runtimeBin);
    CHECK(started.commandLine == JavaPrefix(runtimeBin) + "0*logon**");
    // Exactly one probe, with the quoted program path.
    CHECK(tree.ReadText(runtimeBin + "java-calls.log") == "\"" + runtimeBin + "java.exe\" -version\n");
}

TEST_CASE("no pipe end of the version probe reaches the application") {
    ProductTree tree(ProductTree::Runtime::None);
    ScopedRegistryTree javaSoft(kJavaSoft);
    const std::string runtimeBin = tree.AddRuntime("registered jre");
    javaSoft.SetString(std::string(kRuntimeKey) + "\\1.5", "JavaHome", tree.root() + "registered jre");
    tree.WriteFile(runtimeBin + "javaw-control", "list-pipes\n");
    // The probe answers only once this file is gone: until then the launcher holds its pipe ends.
    tree.WriteFile(runtimeBin + "probe-hold", "");

    Child launcher = StartLauncher(tree, "0*logon**");
    REQUIRE(launcher.started());
    // The probe's standard handles, which by inheritance are the launcher's pipe ends too.
    const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs;
    while (tree.ReadText(runtimeBin + "java-calls.log").empty() && GetTickCount64() < deadline) Sleep(10);
    std::istringstream values(tree.ReadText(runtimeBin + "probe-handles"));
    ULONG_PTR input = 0, output = 0, error = 0;
    const bool read = static_cast<bool>(values >> input >> output >> error);
    REQUIRE(read);
    CHECK(error == output);

    // The launcher makes its ends non-inheritable as soon as the probe has started. Without that
    // they stay inheritable for as long as the probe runs (and until the waiter closes them), and the
    // application, started with handle inheritance, could take them along.
    const auto launcherEnds = [&] {
        std::vector<HandleEntry> ends;
        for (const HandleEntry& entry : HandlesOf(launcher.id()).value_or(std::vector<HandleEntry>{}))
            if (entry.value == input || entry.value == output) ends.push_back(entry);
        return ends;
    };
    const auto anyInheritable = [](const std::vector<HandleEntry>& ends) {
        return std::any_of(ends.begin(), ends.end(), [](const HandleEntry& end) { return end.inheritable(); });
    };
    std::vector<HandleEntry> ends = launcherEnds();
    while (anyInheritable(ends) && GetTickCount64() < deadline) {
        Sleep(10);
        ends = launcherEnds();
    }
    CHECK(ends.size() == 2);
    CHECK_FALSE(anyInheritable(ends));

    REQUIRE(DeleteFileA((runtimeBin + "probe-hold").c_str()));
    REQUIRE(tree.WaitForRecord("publish", 1, kStartTimeoutMs, runtimeBin));
    // The pipes the application held at its start: none of them is one of the probe's.
    const std::vector<std::string> pipes = tree.Events("pipes", runtimeBin);
    REQUIRE(pipes.size() == 1);
    CHECK(pipes[0] != "unknown");
    std::istringstream held(pipes[0]);
    for (ULONG_PTR pipe = 0; held >> pipe;) {
        CAPTURE(pipe);
        CHECK(pipe != input);
        CHECK(pipe != output);
    }

    PostMessageA(FindApplicationWindow(), WM_CLOSE, 0, 0);
    REQUIRE(launcher.Wait(kStartTimeoutMs));
    CHECK(launcher.ExitCode() == 0);
}

TEST_CASE("without a usable runtime the launcher says why and exits with the code") {
    ProductTree tree(ProductTree::Runtime::None);
    ScopedRegistryTree javaSoft(kJavaSoft);
    const std::string prefix = "Failed to start QuilloraOpenPGP. Unable to find required JRE. Error code: ";

    SUBCASE("no runtime registered: the value query on no key fails with 6") {
        CHECK(FailingStart(tree, 6).text == prefix + "6");
    }
    SUBCASE("a development kit alone is not consulted") {
        javaSoft.SetString(std::string(kDevelopmentKitKey) + "\\1.5", "JavaHome", tree.root() + "jdk");
        CHECK(FailingStart(tree, 6).text == prefix + "6");
    }
    SUBCASE("a JavaHome that is not a string: -1, shown unsigned") {
        javaSoft.Set(std::string(kRuntimeKey) + "\\1.5", "JavaHome", REG_DWORD, std::string("\1\0\0\0", 4));
        CHECK(FailingStart(tree, -1).text == prefix + "4294967295");
    }
    SUBCASE("a runtime that is not 1.5: -2, shown unsigned") {
        const std::string runtimeBin = tree.AddRuntime("jre16");
        tree.WriteFile(runtimeBin + "probe-output", "java version \"1.6.0_45\"\r\nmore\r\n");
        javaSoft.SetString(std::string(kRuntimeKey) + "\\1.5", "JavaHome", tree.root() + "jre16");
        CHECK(FailingStart(tree, -2).text == prefix + "4294967294");
        CHECK(tree.Events("start", runtimeBin).empty());
    }
    SUBCASE("a home folder without the runtime: the platform's code") {
        javaSoft.SetString(std::string(kRuntimeKey) + "\\1.5", "JavaHome", tree.root() + "missing");
        Child launcher = StartLauncher(tree, "");
        auto box = TakeMessageBox(launcher.id(), kStartTimeoutMs);
        REQUIRE(box.has_value());
        REQUIRE(launcher.Wait(kStartTimeoutMs));
        const DWORD code = launcher.ExitCode();
        CHECK((code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND));
        CHECK(box->text == prefix + std::to_string(code));
    }
}

TEST_CASE("the launcher carries its icon and runs as the invoking user") {
    HMODULE image = LoadLibraryExA((ProgramDirectory() + "QuilloraOpenPGP.exe").c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE);
    REQUIRE(image != nullptr);
    CHECK(FindResourceA(image, MAKEINTRESOURCEA(1), RT_GROUP_ICON) != nullptr);
    HRSRC manifest = FindResourceA(image, MAKEINTRESOURCEA(1), RT_MANIFEST);
    REQUIRE(manifest != nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(image, manifest)));
    const std::string xml(text, SizeofResource(image, manifest));
    CHECK(std::regex_search(xml, std::regex(R"(requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false")")));
    FreeLibrary(image);
}

TEST_SUITE_END();
