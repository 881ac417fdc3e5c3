// A program that only records how it was started, beside itself, and ends. Tests place it in a
// product tree as the launcher QuilloraOpenPGP.exe (the extension starts it with the request) and as
// the viewer of .htm files (the extension's Help opens the help page with it).
//
// Each start appends one record to "<its folder>\start-record.log":
//   cmdline <the whole command line, byte for byte>
//   cwd <the current folder>
//   show <the show command the starter asked for>
//   end
#include <windows.h>

#include <string>

#include "files.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char folder[MAX_PATH * 4] = {};
    GetCurrentDirectoryA(sizeof folder, folder);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
    const std::string record = std::string("cmdline ") + GetCommandLineA() + "\ncwd " + folder +
                               "\nshow " + std::to_string(show) + "\nend";
    ql::test::AppendLine(ql::test::ProgramDirectory() + "start-record.log", record);
    return 0;
}
