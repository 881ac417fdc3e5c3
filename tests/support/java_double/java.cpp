// Stand-in for a Java runtime's java.exe, for the launcher's version probe. It answers " -version"
// as a runtime does, on standard error, with text a test chooses, and notes every call it gets.
//
// Files beside this program:
//   probe-output    the exact bytes to answer with (default: a 1.5.0_22 runtime's answer)
//   probe-delay-ms  milliseconds to wait before answering (default 0)
//   probe-hold      while this file exists, the double waits before answering (a test deletes it)
//   java-calls.log  appended: one line per call, the command line as received
//   probe-handles   written at the start: the values of its standard input, output and error
//                   handles, in decimal, blank-separated. Inherited handles keep their values, so
//                   these are also the values of the pipe ends in the process that started it.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "files.h"

int main() {
    const std::string folder = ql::test::ProgramDirectory();
    const auto value = [](DWORD which) { return std::to_string(reinterpret_cast<ULONG_PTR>(GetStdHandle(which))); };
    ql::test::WriteWholeFile(folder + "probe-handles",
                             value(STD_INPUT_HANDLE) + " " + value(STD_OUTPUT_HANDLE) + " " + value(STD_ERROR_HANDLE));
    ql::test::AppendLine(folder + "java-calls.log", GetCommandLineA());

    while (ql::test::FileExists(folder + "probe-hold")) Sleep(10);

    if (auto delay = ql::test::ReadWholeFile(folder + "probe-delay-ms")) Sleep(static_cast<DWORD>(std::atoi(delay->c_str())));

    std::string output;
    if (auto chosen = ql::test::ReadWholeFile(folder + "probe-output")) {
        output = *chosen;
    } else {
        output =
            "java version \"1.5.0_22\"\r\n"
            "Java(TM) 2 Runtime Environment, Standard Edition (build 1.5.0_22-b03)\r\n"
            "Java HotSpot(TM) Client VM (build 1.5.0_22-b03, mixed mode, sharing)\r\n";
    }
    if (std::string(GetCommandLineA()).find(" -version") == std::string::npos) return 1;
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), output.data(), static_cast<DWORD>(output.size()), &written, nullptr);
    return 0;
}
