// Request strings: the text that carries every user request to the Java application.
//
// A request string is ANSI text of fields, each ended by an asterisk: the window field (a window
// handle in signed decimal, or "0"), the command field ("open", "unprotect", "protect", "wipe",
// "secure_text_editor", "key_manager", "default_settings", "logon", "logoff"), then one field per
// path. The whole may be enclosed in double quotes. These helpers read and build them; they use no
// Windows API, so they are tested on any platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ql/command_line.h"  // ArgumentsAfterProgramName: the launcher's command line

namespace ql {

// Splits the launcher's command line into arguments. Only the blank separates arguments (a tab is
// an ordinary character); two double quotes in a row stand for one literal double quote, inside and
// outside quoted text; a closing quote followed by other characters ends the argument there.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Removes one leading and then one trailing double quote, where present.
std::string StripOuterQuotes(std::string_view text);

// The text placed after the Java main class name on the Java command line of a first instance.
// foregroundAtStart is the 32-bit value of the window that was in the foreground at start (0: none).
std::string BuildLaunchArguments(std::string_view commandLine, std::int32_t foregroundAtStart);

// The text a forwarding launcher sends to the running one.
std::string BuildForwardedRequest(std::string_view commandLine, std::int32_t foregroundAtStart);

// True when the command field is "open", in any letter case.
bool IsOpenRequest(std::string_view request);

}  // namespace ql
