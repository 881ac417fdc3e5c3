// Benchmarks of the launcher's starts under Wine, each beside the floor of trivial program starts
// under the same Wine server, all series interleaved round by round:
//   forward  a forwarding launcher, from its start until the application's waitForOpenFileRequest
//            returns the request (a first instance and the test application already running)
//   first    a first start, from the launcher's start until the application waits for requests,
//            with the accompanying runtime (jre\ beside bin\) and with a registered one (HKLM
//            JavaSoft keys, which costs the version probe)
//   loads    what loading DLLs costs a trivial program (for finding what a start costs): each
//            further argument is one set of DLLs, separated by semicolons
//   burst    12 forwarders started together, beside 12 started one after another: from the first
//            start until the application has the last request
//   invoke   the extension's InvokeCommand for 1,000 and 10,000 selected files (the extension beside
//            the launcher, the application running): until it returns, and until the application
//            has the last path
// usage: launch_bench.exe [runs] [forward|first|burst|invoke|all]    (default: 40 all)
//        launch_bench.exe <runs> loads <dll>[;<dll>...]...
// It prints Markdown tables of milliseconds. Not a test: no time is judged.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <ole2.h>
#include <shlobj.h>

#include "QLPGPShellExt_h.h"
#include "bench_stats.h"
#include "command_request.h"
#include "hdrop_data_object.h"
#include "child_process.h"
#include "files.h"
#include "java_runtime.h"
#include "sandbox.h"
#include "registry.h"

using namespace ql::test;
using ql::bench::NowSeconds;
using ql::bench::Series;

namespace {

// Set by the application double before each wait call and when a call returns (javaw-control).
constexpr char kWaitingEvent[] = "QLBenchApplicationWaiting";
constexpr char kReturnedEvent[] = "QLBenchRequestReturned";
constexpr DWORD kTimeoutMs = 60000;
constexpr char kForwardedArguments[] = "0*open*C:\\users\\root\\Documents\\letter to the bank.txt*";
constexpr char kFirstArguments[] = "0*open**";

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "launch_bench: %s\n", what.c_str());
    std::exit(1);
}

class Event {
public:
    explicit Event(const char* name) : handle_(CreateEventA(nullptr, FALSE, FALSE, name)) {
        if (handle_ == nullptr) Fail(std::string("cannot create event ") + name);
    }
    ~Event() { CloseHandle(handle_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    void Reset() const { ResetEvent(handle_); }
    bool Wait() const { return WaitForSingleObject(handle_, kTimeoutMs) == WAIT_OBJECT_0; }

private:
    HANDLE handle_;
};

Child Start(const std::string& commandLine) {
    Child::Options options;
    options.captureOutput = false;  // the launcher's Java process would inherit a pipe
    Child child(commandLine, options);
    if (!child.started()) Fail("cannot start " + commandLine + " (" + std::to_string(child.startError()) + ")");
    return child;
}

std::string Trivial(const std::string& arguments = {}) {
    return Quote(ProgramDirectory() + "bench_trivial.exe") + (arguments.empty() ? "" : " " + arguments);
}

// Milliseconds from the start of the program until it has ended.
double StartToEnd(const std::string& commandLine) {
    const double start = NowSeconds();
    Child child = Start(commandLine);
    if (!child.Wait(kTimeoutMs)) Fail("no end of " + commandLine);
    const double end = NowSeconds();
    if (child.ExitCode() != 0) Fail(commandLine + " ended with " + std::to_string(child.ExitCode()));
    return (end - start) * 1e3;
}

void WriteControl(const ProductTree& tree, const std::string& runtimeBin) {
    tree.WriteFile(runtimeBin + "javaw-control",
                   std::string("waiting-event ") + kWaitingEvent + "\nreturned-event " + kReturnedEvent + "\n");
}

// Ends the application double (WM_CLOSE to its main window) and with it the launcher supervising it.
void CloseApplication(Child& launcher) {
    HWND application = FindWindowA("QLTestJavaMain", nullptr);
    if (application == nullptr) Fail("the application's window is missing");
    PostMessageA(application, WM_CLOSE, 0, 0);
    if (!launcher.Wait(kTimeoutMs)) Fail("the first instance did not end with its application");
}

// Each round runs every series once, starting one series later than the round before, so that no
// series always follows the same one.
void RunInterleaved(int rounds, std::vector<std::pair<Series*, std::function<double()>>>& series) {
    for (int round = 0; round < rounds; ++round)
        for (std::size_t i = 0; i < series.size(); ++i) {
            auto& [target, measure] = series[(i + static_cast<std::size_t>(round)) % series.size()];
            target->samples.push_back(measure());
        }
}

void ForwardBenchmark(int rounds) {
    const Event waiting(kWaitingEvent);
    const Event returned(kReturnedEvent);
    ProductTree tree;
    WriteControl(tree, tree.jreBin());
    Child first = Start(tree.LauncherCommand("0*logon**"));
    if (!waiting.Wait()) Fail("the first instance's application does not wait for requests");

    // Beside the floor, what a trivial program pays for loading what the launcher loads: user32 alone
    // (any program that finds a window needs it), and all of the launcher's imports.
    const std::string imports = "user32.dll;shlwapi.dll;" + ProgramDirectory() + "QLPGPUtils.dll";
    Series floor{"trivial program, start to end (floor)", {}};
    Series user32{"trivial + LoadLibrary user32", {}};
    Series launcherImports{"trivial + LoadLibrary of the launcher's imports (user32, shlwapi, QLPGPUtils)", {}};
    Series forwarded{"**forwarded request: launcher start to waitForOpenFileRequest return**", {}};
    Series forwarderLife{"forwarding launcher, start to end", {}};

    auto forward = [&] {
        returned.Reset();
        const double start = NowSeconds();
        Child forwarder = Start(tree.LauncherCommand(kForwardedArguments));
        if (!returned.Wait()) Fail("the forwarded request did not arrive");
        const double arrived = NowSeconds();
        if (!forwarder.Wait(kTimeoutMs)) Fail("the forwarder did not end");
        forwarderLife.samples.push_back((NowSeconds() - start) * 1e3);
        if (forwarder.ExitCode() != 0) Fail("the forwarder ended with " + std::to_string(forwarder.ExitCode()));
        return (arrived - start) * 1e3;
    };
    std::vector<std::pair<Series*, std::function<double()>>> series = {
        {&floor, [&] { return StartToEnd(Trivial()); }},
        {&forwarded, forward},
        {&user32, [&] { return StartToEnd(Trivial("load user32.dll")); }},
        {&launcherImports, [&] { return StartToEnd(Trivial("load " + imports)); }},
    };
    RunInterleaved(rounds, series);

    const std::size_t delivered = tree.Events("request").size();
    CloseApplication(first);
    if (delivered != static_cast<std::size_t>(rounds)) Fail("the application received " + std::to_string(delivered) + " requests");

    std::printf("### Forwarded request (%d-bit)\n\n", static_cast<int>(sizeof(void*) * 8));
    ql::bench::PrintTable("ms", {&floor, &forwarded, &forwarderLife, &user32, &launcherImports}, &floor);
    const double importsMedian = ql::bench::Summarize(launcherImports.samples).median;
    std::printf("Forwarded request: %.2f x the floor, %.2f x a trivial program loading the launcher's imports.\n\n",
                ql::bench::Summarize(forwarded.samples).median / ql::bench::Summarize(floor.samples).median,
                importsMedian > 0 ? ql::bench::Summarize(forwarded.samples).median / importsMedian : 0.0);
}

void FirstStartBenchmark(int rounds) {
    const Event waiting(kWaitingEvent);
    ProductTree accompanied;
    WriteControl(accompanied, accompanied.jreBin());

    ProductTree registered(ProductTree::Runtime::None);
    const std::string registeredBin = registered.AddRuntime("registered jre");
    WriteControl(registered, registeredBin);
    ScopedRegistryTree javaSoft("SOFTWARE\\JavaSoft");
    const std::string javaHome = registered.root() + "registered jre";
    if (!javaSoft.SetString("Java Runtime Environment\\1.5", "JavaHome", javaHome)) Fail("cannot register the runtime");

    Series floor{"trivial program, start to end (floor)", {}};
    Series two{"two trivial starts in a row", {}};
    Series three{"three trivial starts in a row", {}};
    Series bundled{"**first start, accompanying runtime: launcher start to application waiting**", {}};
    Series viaRegistry{"**first start, registered runtime: launcher start to application waiting**", {}};
    Series probe{"version probe alone (FindRegisteredJava in this process)", {}};

    auto firstStart = [&](const ProductTree& tree) {
        waiting.Reset();
        const double start = NowSeconds();
        Child launcher = Start(tree.LauncherCommand(kFirstArguments));
        if (!waiting.Wait()) Fail("the application does not wait for requests");
        const double running = NowSeconds();
        CloseApplication(launcher);
        return (running - start) * 1e3;
    };
    auto probeAlone = [&] {
        std::string javaPath;
        const double start = NowSeconds();
        const std::int32_t code = ql::FindRegisteredJava(javaPath);
        const double end = NowSeconds();
        if (code != 0) Fail("the version probe failed with " + std::to_string(code));
        return (end - start) * 1e3;
    };
    std::vector<std::pair<Series*, std::function<double()>>> series = {
        {&floor, [&] { return StartToEnd(Trivial()); }},
        {&bundled, [&] { return firstStart(accompanied); }},
        {&two, [&] { return StartToEnd(Trivial("chain 2")); }},
        {&viaRegistry, [&] { return firstStart(registered); }},
        {&three, [&] { return StartToEnd(Trivial("chain 3")); }},
        {&probe, probeAlone},
    };
    RunInterleaved(rounds, series);

    std::printf("### First start (%d-bit)\n\n", static_cast<int>(sizeof(void*) * 8));
    ql::bench::PrintTable("ms", {&floor, &two, &three, &bundled, &viaRegistry, &probe}, &floor);
    const double bundledMedian = ql::bench::Summarize(bundled.samples).median;
    const double registeredMedian = ql::bench::Summarize(viaRegistry.samples).median;
    const double twoMedian = ql::bench::Summarize(two.samples).median;
    std::printf("Accompanying runtime: %.2f x two trivial starts. Registered runtime: %.2f ms more than the "
                "accompanying one (the version probe).\n\n",
                twoMedian > 0 ? bundledMedian / twoMedian : 0.0, registeredMedian - bundledMedian);
    std::fflush(stdout);
}

// A first instance and its application, waiting for requests.
struct RunningApplication {
    ProductTree tree;
    Child first;
    RunningApplication() : first(Start(tree.LauncherCommand("0*logon**"))) {
        const ULONGLONG deadline = GetTickCount64() + kTimeoutMs;
        while (tree.Events("publish").empty())
            if (GetTickCount64() > deadline) Fail("the application does not wait for requests"); else Sleep(5);
    }
    ~RunningApplication() { CloseApplication(first); }
    // Waits until the application has recorded `count` requests; the moment it saw them.
    double WaitForRequests(std::size_t count) const {
        const ULONGLONG deadline = GetTickCount64() + 4 * kTimeoutMs;
        while (tree.Events("request").size() < count)
            if (GetTickCount64() > deadline) Fail("requests missing in the application"); else Sleep(1);
        return NowSeconds();
    }
};

void BurstBenchmark(int rounds) {
    constexpr int kBurst = 12;
    RunningApplication application;
    Series together{"**12 forwarders started together: first start to the last request in the application**", {}};
    Series inTurn{"12 forwarders one after another: first start to the last request in the application", {}};
    std::size_t expected = 0;
    auto burst = [&](bool wait) {
        const double start = NowSeconds();
        std::vector<Child> forwarders;
        for (int i = 0; i < kBurst; ++i) {
            forwarders.push_back(Start(application.tree.LauncherCommand(
                "\"0*unprotect*C:\\Users\\root\\Documents\\burst " + std::to_string(expected + i) + ".pgp*\"")));
            if (wait && !forwarders.back().Wait(kTimeoutMs)) Fail("a forwarder did not end");
        }
        expected += kBurst;
        const double last = application.WaitForRequests(expected);
        for (Child& forwarder : forwarders)
            if (!forwarder.Wait(kTimeoutMs) || forwarder.ExitCode() != 0) Fail("a forwarder failed");
        return (last - start) * 1e3;
    };
    std::vector<std::pair<Series*, std::function<double()>>> series = {
        {&together, [&] { return burst(false); }},
        {&inTurn, [&] { return burst(true); }},
    };
    RunInterleaved(rounds, series);
    std::vector<std::string> arrived = application.tree.Events("request");
    std::sort(arrived.begin(), arrived.end());
    if (std::unique(arrived.begin(), arrived.end()) != arrived.end() || arrived.size() != expected)
        Fail("a burst request was lost or delivered twice");
    std::printf("### Burst of 12 requests (%d-bit), the application running\n\n", static_cast<int>(sizeof(void*) * 8));
    ql::bench::PrintTable("ms", {&together, &inTurn}, &inTurn);
}

void InvokeBenchmark(int rounds) {
    RunningApplication application;
    // The extension beside the launcher, as installed, loaded as Explorer loads it.
    const std::string name = sizeof(void*) == 8 ? "QLPGPShellExt64.dll" : "QLPGPShellExt.dll";
    const std::string extension = application.tree.bin() + name;
    if (!CopyFileA((ProgramDirectory() + name).c_str(), extension.c_str(), FALSE)) Fail("cannot copy " + name);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HMODULE module = LoadLibraryA(extension.c_str());
    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    if (getClassObject == nullptr ||
        getClassObject(CLSID_QLPGPLaunchExt, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK)
        Fail("cannot load " + extension);

    std::printf("### InvokeCommand for large selections (%d-bit), the application running\n\n",
                static_cast<int>(sizeof(void*) * 8));
    std::printf("| files | launches | runs | returned to Explorer ms (median) | max | last path in the application ms (median) | max |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
    std::size_t expected = 0;
    for (const int count : {1000, 10000}) {
        std::vector<std::wstring> paths;
        std::vector<std::string> ansi;
        for (int i = 0; i < count; ++i) {
            const std::string number = std::to_string(100000 + i);
            ansi.push_back("C:\\Users\\root\\Documents\\selection\\" + std::string(61, 'n') + number + ".txt");  // "Protect" first
            paths.emplace_back(ansi.back().begin(), ansi.back().end());
        }
        const std::size_t launches = ql::shellext::BuildCommandRequests(0, "protect", ansi).size();
        Series returned{"returned", {}}, arrived{"arrived", {}};
        const int runs = count >= 10000 ? std::max(1, rounds / 8) : std::max(1, rounds / 4);
        for (int run = 0; run < runs; ++run) {
            IShellExtInit* init = nullptr;
            factory->CreateInstance(nullptr, IID_IShellExtInit, reinterpret_cast<void**>(&init));
            IContextMenu* menu = nullptr;
            init->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu));
            HdropDataObject data(HdropDataObject::Mode::Hdrop, paths);
            if (init->Initialize(nullptr, &data, nullptr) != S_OK) Fail("Initialize failed");
            HMENU explorer = CreatePopupMenu();
            menu->QueryContextMenu(explorer, 0, 1, 0x7FFF, CMF_NORMAL);
            CMINVOKECOMMANDINFO info = {};
            info.cbSize = sizeof info;
            info.lpVerb = MAKEINTRESOURCEA(0);
            info.nShow = SW_SHOWNORMAL;
            const double start = NowSeconds();
            if (menu->InvokeCommand(&info) != S_OK) Fail("InvokeCommand failed");
            returned.samples.push_back((NowSeconds() - start) * 1e3);
            expected += launches;
            arrived.samples.push_back((application.WaitForRequests(expected) - start) * 1e3);
            DestroyMenu(explorer);
            menu->Release();
            init->Release();
        }
        // Every path of the last run arrived once, whole.
        const std::vector<std::string> requests = application.tree.Events("request");
        std::string carried;
        for (std::size_t i = requests.size() - launches; i < requests.size(); ++i)
            carried += requests[i].substr(11, requests[i].size() - 12);  // "\"0*protect*" ... "\""
        std::string all;
        for (const std::string& path : ansi) all += path + "*";
        if (carried != all) Fail("the selection did not arrive whole, in order");
        const auto r = ql::bench::Summarize(returned.samples), a = ql::bench::Summarize(arrived.samples);
        std::printf("| %d | %zu | %d | %.2f | %.2f | %.1f | %.1f |\n", count, launches, runs, r.median, r.max, a.median,
                    a.max);
        std::fflush(stdout);
    }
    std::printf("\n");
    factory->Release();
}

void LoadsBenchmark(int rounds, const std::vector<std::string>& sets) {
    std::vector<Series> rows(sets.size() + 1);
    rows[0].name = "trivial program, start to end (floor)";
    std::vector<std::pair<Series*, std::function<double()>>> series = {{&rows[0], [] { return StartToEnd(Trivial()); }}};
    for (std::size_t i = 0; i < sets.size(); ++i) {
        rows[i + 1].name = "trivial + LoadLibrary " + sets[i];
        const std::string command = Trivial("load " + sets[i]);
        series.push_back({&rows[i + 1], [command] { return StartToEnd(command); }});
    }
    RunInterleaved(rounds, series);
    std::vector<const Series*> table;
    for (const Series& row : rows) table.push_back(&row);
    std::printf("### DLL loads (%d-bit)\n\n", static_cast<int>(sizeof(void*) * 8));
    ql::bench::PrintTable("ms", table, &rows[0]);
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // "\n", not "\r\n", in the tables
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
    const std::string which = argc > 2 ? argv[2] : "all";
    if (rounds >= 1 && which == "loads") {
        LoadsBenchmark(rounds, std::vector<std::string>(argv + 3, argv + argc));
        return 0;
    }
    if (rounds < 1 || (which != "forward" && which != "first" && which != "burst" && which != "invoke" &&
                       which != "all")) {
        std::fprintf(stderr, "usage: launch_bench.exe [runs] [forward|first|burst|invoke|all]\n"
                             "       launch_bench.exe <runs> loads <dll>[;<dll>...]...\n");
        return 2;
    }
    try {
        if (which == "forward" || which == "all") ForwardBenchmark(rounds);
        if (which == "first" || which == "all") FirstStartBenchmark(rounds);
        if (which == "burst" || which == "all") BurstBenchmark(rounds);
        if (which == "invoke" || which == "all") InvokeBenchmark(rounds);
    } catch (const std::exception& error) {
        Fail(error.what());
    }
    return 0;
}
