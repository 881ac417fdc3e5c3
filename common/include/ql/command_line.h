// The text after the program name on a Windows command line, read as the programs' entry points
// should have received it. Platform-free, so it is tested on any host.
#pragma once

#include <string_view>

namespace ql {

// The whole command line (GetCommandLineA) without the program name and the blanks after it, as a
// GUI program's entry point receives it (lpCmdLine). The program name ends at the first blank or
// control character outside double quotes. Every byte beyond ASCII is an ordinary character,
// wherever it stands.
//
// Not the lpCmdLine of MinGW-w64's start-up code: it compares signed chars and so takes every byte
// from 0x80 up for a blank. It dropped the first characters of a path such as "\xC9t\xE9.pgp", turned
// a line of only such characters into an empty one, and ended a program name early in a folder such
// as "Zo\xEB". In the ANSI code pages, double-byte ones included, no trail byte is a blank, a control
// character or a double quote, so reading byte by byte is safe.
inline std::string_view ArgumentsAfterProgramName(std::string_view wholeCommandLine) {
    const auto blankOrControl = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    std::size_t at = 0;
    bool quoted = false;
    for (; at < wholeCommandLine.size(); ++at) {
        const char c = wholeCommandLine[at];
        if (blankOrControl(c) && !quoted) break;
        if (c == '"') quoted = !quoted;
    }
    while (at < wholeCommandLine.size() && blankOrControl(wholeCommandLine[at])) ++at;
    return wholeCommandLine.substr(at);
}

}  // namespace ql
