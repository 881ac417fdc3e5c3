// Stand-in for a Java runtime's java.exe, for the launcher's version probe. It answers " -version"
// as a runtime does, on standard error, with text a test chooses, and notes every call it gets.
//
// Files beside this program:
//   probe-output    the exact bytes to answer with (default: a 1.5.0_22 runtime's answer)
//   probe-delay-ms  milliseconds to wait before answering (default 0)
//   java-calls.log  appended: one line per call, the command line as received
#include <windows.h>

#include <cstdlib>
#include <string>

#include "files.h"

int main() {
    const std::string folder = ql::test::ProgramDirectory();
    ql::test::AppendLine(folder + "java-calls.log", GetCommandLineA());

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
