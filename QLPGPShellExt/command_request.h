// The request string the handler hands to the launcher: a double quote, the owner window in signed
// decimal, "*", the command field, "*", then every selected path followed by "*", and a closing
// double quote. Paths go in as they are: a path cannot hold an asterisk or a double quote.
// Text only, so it is tested on any platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ql::shellext {

std::string BuildCommandRequest(std::int32_t ownerWindow, std::string_view commandField,
                                const std::vector<std::string>& paths);

}  // namespace ql::shellext
