// Stand-in for QuilloraOpenPGP.exe beside the tray monitor in a test tree: records how it was started
// and ends at once. Each start appends two lines to "launcher-record.log" beside this program:
//   cmdline <the whole command line>
//   request <the text after the program name and its blanks, as the launcher's WinMain gets it>
// The same program, copied under other names, stands for a program planted at the first blank of
// a folder name and for the help viewer that the shell starts for the help page.
#include <windows.h>

#include <string>

#include "files.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    const std::string record = ql::test::ProgramDirectory() + "launcher-record.log";
    ql::test::AppendLine(record, std::string("cmdline ") + GetCommandLineA() + "\nrequest " +
                                     (commandLine != nullptr ? commandLine : ""));
    return 0;
}
