// The second process of the bridge tests: it loads QLPGPUtils.dll as the Java application does (the
// Java side played by the fake JNI) or holds what a native must meet in another process, and writes
// what it saw on standard output, unbuffered, to the same handle the library writes its lines to.
// Arguments are encoded as bridge_peer.h says (hexadecimal UTF-8).
//   state                        the shared block's handles, pending flag and request text
//   wait <main> <hidden> <count> waitForOpenFileRequest <count> times, each result on a line
//   send <text>                  RequestOpenFile
//   race <writer> <count>        <count> self-checking texts (race_text.h) as fast as possible
//   roundtrip                    state, then send "roundtrip*", wait for it, state again
//   hold <path> <share mode>     holds the file open ("held"), until ended
//   window <title>               shows a window ("window <handle>"), then "activated"/"deactivated"
//                                as it gains and loses activation, until closed
//   addresses <library> <elements already in the vector> <java>
//                                getHAddresses of that library once; java: "full", "no-class",
//                                "no-method", or "untouchable" (any JNI call ends the process)
//   schedule <task name> <command>
//                                scheduleTask with a top-level window of its own as the owner:
//                                "owner=<window>", the library's lines, "result=<text or (null)>",
//                                "outstanding chars=<n>", "release problems=<n>"
#include <jni.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bridge.h"
#include "bridge_peer.h"
#include "fake_jni.h"
#include "race_text.h"
#include "text.h"

using namespace ql::test;

namespace {

void Print(const std::string& line) {
    const std::string record = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

std::string Number(long long value) { return std::to_string(value); }

void PrintState(const Bridge& bridge) {
    const ql::SharedBlock* block = bridge.shared();
    Print("main=" + Number(static_cast<int>(block->mainWnd)) + " hidden=" + Number(static_cast<int>(block->hiddenWnd)) +
          " pending=" + Number(static_cast<int>(block->creatorPending)) + " request=[" + block->requestBuffer + "]");
}

void PrintResult(FakeJvm& jvm, jstring result) {
    if (result == nullptr) return Print("null");
    const std::string text = jvm.Utf8(result);
    Print("got[" + Number(static_cast<long long>(text.size())) + "]:" + text);
}

template <typename Fn>
Fn Native(HMODULE library, const char* method, int argumentBytes) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, JniExportName(method, argumentBytes).c_str())));
}

int Channel(const std::string& verb, const std::vector<std::string>& args) {
    Bridge bridge;
    if (!bridge.loaded()) {
        Print("cannot load QLPGPUtils.dll (" + Number(GetLastError()) + ")");
        return 3;
    }
    FakeJvm jvm;
    if (verb == "state" && args.empty()) {
        PrintState(bridge);
    } else if (verb == "wait" && args.size() == 3) {
        for (int i = 0, count = std::atoi(args[2].c_str()); i < count; ++i)
            PrintResult(jvm, bridge.waitForOpenFileRequest(jvm.env(), nullptr, std::atoi(args[0].c_str()),
                                                           std::atoi(args[1].c_str())));
    } else if (verb == "send" && args.size() == 1) {
        Print("sent " + Number(bridge.RequestOpenFile(args[0].c_str())));
    } else if (verb == "race" && args.size() == 2) {
        const int writer = std::atoi(args[0].c_str());
        for (int i = 0, count = std::atoi(args[1].c_str()); i < count; ++i) bridge.RequestOpenFile(RaceText(writer, i).c_str());
        Print("raced");
    } else if (verb == "roundtrip" && args.empty()) {
        PrintState(bridge);
        Print("sent " + Number(bridge.RequestOpenFile("roundtrip*")));
        PrintResult(jvm, bridge.waitForOpenFileRequest(jvm.env(), nullptr, 77, 78));
        PrintState(bridge);
    } else {
        return 2;
    }
    return 0;
}

int HoldFile(const std::wstring& path, DWORD share) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Print("cannot open: " + Number(GetLastError()));
        return 1;
    }
    Print("held");
    Sleep(INFINITE);
    return 0;
}

LRESULT CALLBACK PeerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ACTIVATE) Print(LOWORD(wParam) == WA_INACTIVE ? "deactivated" : "activated");
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

int ShowPeerWindow(const std::wstring& title) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &PeerWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QLNativesPeerWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 10, 10, 200, 100,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, SW_SHOWNOACTIVATE);
    Print("window " + Number(reinterpret_cast<INT_PTR>(window)));
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}

[[noreturn]] void JavaCalled() {
    Print("the runtime was called");
    ExitProcess(3);
}

int Addresses(const std::string& libraryPath, int elementsBefore, const std::string& java) {
    using GetHAddressesFn = void(JNICALL*)(JNIEnv*, jclass, jobject);
    const auto getHAddresses = Native<GetHAddressesFn>(LoadLibraryA(libraryPath.c_str()), "getHAddresses", 12);
    if (getHAddresses == nullptr) {
        Print("getHAddresses not found");
        return 2;
    }
    if (java == "untouchable") {
        JNINativeInterface_ functions{};
        void** slots = reinterpret_cast<void**>(&functions);
        for (std::size_t i = 0; i < sizeof functions / sizeof(void*); ++i) slots[i] = reinterpret_cast<void*>(&JavaCalled);
        JNIEnv env{&functions};
        int vector = 0;  // never looked at
        getHAddresses(&env, nullptr, reinterpret_cast<jobject>(&vector));
        Print("returned without calling the runtime");
        return 0;
    }
    FakeJvm jvm;
    if (java == "no-class") jvm.RemoveClass("java/util/Vector");
    if (java == "no-method") jvm.RemoveMethod("java/util/Vector", "add", "(Ljava/lang/Object;)Z");
    std::vector<std::u16string> before;
    for (int i = 0; i < elementsBefore; ++i) before.push_back(u"before" + std::u16string(1, u'0' + i));
    jobject vector = jvm.NewVector(before);

    getHAddresses(jvm.env(), nullptr, vector);

    std::string elements;
    for (const auto& text : jvm.VectorTexts(vector)) elements += (elements.empty() ? "" : " ") + ToModifiedUtf8(text);
    Print("vector: " + elements);
    const std::string pending = jvm.PendingException();
    Print("pending: " + (pending.empty() ? std::string("none") : pending));
    Print("misuses: " + Number(static_cast<long long>(jvm.Misuses().size())) +
          " live local references: " + Number(static_cast<long long>(jvm.LiveLocalRefs())));
    return 0;
}

int Schedule(const std::wstring& taskName, const std::wstring& command) {
    using ScheduleTaskFn = jstring(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jint);
    const auto scheduleTask = Native<ScheduleTaskFn>(LoadLibraryA("QLPGPUtils.dll"), "scheduleTask", 20);
    if (scheduleTask == nullptr) {
        Print("scheduleTask not found");
        return 3;
    }
    HWND owner = CreateWindowExA(0, "STATIC", "Java application", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 300,
                                 nullptr, nullptr, nullptr, nullptr);
    Print("owner=" + Number(reinterpret_cast<INT_PTR>(owner)));
    FakeJvm jvm;
    const jstring result = scheduleTask(jvm.env(), nullptr, jvm.NewString(std::u16string(taskName.begin(), taskName.end())),
                                        jvm.NewString(std::u16string(command.begin(), command.end())),
                                        static_cast<jint>(reinterpret_cast<INT_PTR>(owner)));
    Print("result=" + (result == nullptr ? std::string("(null)") : jvm.Utf8(result)));
    Print("outstanding chars=" + Number(jvm.OutstandingChars()));
    Print("release problems=" + Number(static_cast<long long>(jvm.ReleaseProblems().size())));
    DestroyWindow(owner);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string verb = argv[1];
    std::vector<std::string> args;  // UTF-8
    for (int i = 2; i < argc; ++i) args.push_back(FromPeerArgument(argv[i]));

    if (verb == "hold" && args.size() == 2)
        return HoldFile(FromUtf8(args[0]), static_cast<DWORD>(std::strtoul(args[1].c_str(), nullptr, 10)));
    if (verb == "window" && args.size() == 1) return ShowPeerWindow(FromUtf8(args[0]));
    if (verb == "addresses" && args.size() == 3) return Addresses(args[0], std::atoi(args[1].c_str()), args[2]);
    if (verb == "schedule" && args.size() == 2) return Schedule(FromUtf8(args[0]), FromUtf8(args[1]));
    return Channel(verb, args);
}
