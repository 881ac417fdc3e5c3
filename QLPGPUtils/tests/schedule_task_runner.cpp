// Plays the Java application for one scheduleTask call: makes a top-level window to own the sheet,
// calls the native through the fake JNI, and writes what came back. The test drives the sheet and
// the question boxes of this process from outside, as a user would.
//
// usage: schedule_task_runner <task name> <command>
// "\uXXXX" in an argument stands for that UTF-16 unit, so tests can pass text the ANSI command
// line cannot carry.
// Output: "owner=<window>\n" before the call, the library's own lines during it, then
// "result=<text or (null)>\n", "outstanding chars=<n>\n" and "release problems=<n>\n".

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "bridge.h"
#include "fake_jni.h"

namespace {

using ScheduleTaskFn = jstring(JNICALL*)(JNIEnv*, jclass, jstring, jstring, jint);

void Write(const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::u16string Decoded(const wchar_t* argument) {
    std::u16string text;
    for (const wchar_t* c = argument; *c != L'\0'; ++c) {
        if (c[0] == L'\\' && c[1] == L'u' && std::wcslen(c) >= 6) {
            text += static_cast<char16_t>(std::wcstoul(std::wstring(c + 2, 4).c_str(), nullptr, 16));
            c += 5;
        } else {
            text += static_cast<char16_t>(*c);
        }
    }
    return text;
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 3) {
        Write("usage: schedule_task_runner <task name> <command>\n");
        return 2;
    }
    HMODULE library = LoadLibraryA("QLPGPUtils.dll");
    auto scheduleTask = reinterpret_cast<ScheduleTaskFn>(reinterpret_cast<void*>(
        GetProcAddress(library, ql::test::JniExportName("scheduleTask", 20).c_str())));
    if (scheduleTask == nullptr) {
        Write("scheduleTask not found\n");
        return 3;
    }

    HWND owner = CreateWindowExA(0, "STATIC", "Java application", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 300,
                                 nullptr, nullptr, nullptr, nullptr);
    Write("owner=" + std::to_string(static_cast<long long>(reinterpret_cast<INT_PTR>(owner))) + "\n");

    ql::test::FakeJvm jvm;
    jstring name = jvm.NewString(Decoded(arguments[1]));
    jstring command = jvm.NewString(Decoded(arguments[2]));
    jstring result = scheduleTask(jvm.env(), nullptr, name, command,
                                  static_cast<jint>(reinterpret_cast<INT_PTR>(owner)));

    Write("result=" + (result == nullptr ? std::string("(null)") : jvm.Utf8(result)) + "\n");
    Write("outstanding chars=" + std::to_string(jvm.OutstandingChars()) + "\n");
    Write("release problems=" + std::to_string(jvm.ReleaseProblems().size()) + "\n");
    DestroyWindow(owner);
    LocalFree(arguments);
    return 0;
}
