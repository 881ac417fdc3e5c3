// The request string the handler hands to the launcher: a double quote, the owner window in signed
// decimal, "*", the command field, "*", then every selected path followed by "*", and a closing
// double quote. Paths go in as they are: a path cannot hold an asterisk or a double quote.
// Text only, so it is tested on any platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ql::shellext {

std::string BuildCommandRequest(std::int32_t ownerWindow, std::string_view commandField,
                                const std::vector<std::string>& paths);

// The longest request the handler starts the launcher with. Process creation takes a command line of
// at most 32,767 characters, terminator included. A launcher that becomes the first instance builds
// the Java command line from the request: the quoted runtime program (a java.exe path of at most
// MAX_PATH - 1 characters, one longer as javaw.exe), " -cp qlopgp.jar com.brennick.Launcher " and
// the request without its enclosing quotes. That line is longer than the launcher's own (the quoted
// launcher path, a blank, the request), so it sets the bound.
inline constexpr std::size_t kCommandLineLimit = 32767;
inline constexpr std::size_t kLongestRuntimeProgram = 260;
inline constexpr std::size_t kJavaMainTextLength = sizeof(" -cp qlopgp.jar com.brennick.Launcher ") - 1;
inline constexpr std::size_t kLongestRequest =
    kCommandLineLimit - 1 - (2 + kLongestRuntimeProgram + kJavaMainTextLength) + 2;
static_assert(kLongestRequest == 32468);

// The selection as consecutive requests with the same window and command fields, in list order, each
// at most `longest` characters and each holding whole paths. A path that would not fit even alone is
// left out. With no path to carry, one request without item fields.
std::vector<std::string> BuildCommandRequests(std::int32_t ownerWindow, std::string_view commandField,
                                              const std::vector<std::string>& paths,
                                              std::size_t longest = kLongestRequest);

}  // namespace ql::shellext
