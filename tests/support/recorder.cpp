// A program that only records how it was started, beside itself, and ends at once. Tests place it
// (tests/support/sandbox.h) wherever a program of the product or of the system is started: as the
// launcher beside the extension or the tray monitor, as the viewer of .htm files, and at the first
// blank of a folder name, where an unquoted path would start a program by mistake.
//
// Each start appends one record to "<its folder>\start-record.log", in one write:
//   cmdline <the whole command line, byte for byte>
//   request <the text after the program name and its blanks, as WinMain gets it>
//   cwd <the current folder>
//   show <the show command the starter asked for, -1 for none>
//   end
#include <windows.h>

#include <string>

#include "files.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    char folder[MAX_PATH * 4] = {};
    GetCurrentDirectoryA(sizeof folder, folder);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;
    const std::string record = std::string("cmdline ") + GetCommandLineA() + "\nrequest " +
                               (commandLine != nullptr ? commandLine : "") + "\ncwd " + folder + "\nshow " +
                               std::to_string(show) + "\nend";
    ql::test::AppendLine(ql::test::ProgramDirectory() + "start-record.log", record);
    return 0;
}
