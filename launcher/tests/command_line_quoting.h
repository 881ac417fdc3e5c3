// Writing arguments so that SplitCommandLine reads them back unchanged: each in double quotes, inner
// quotes doubled, separated by one blank. Shared by the unit tests and the fuzz target (fuzz/).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ql::testing {

inline std::string QuoteArgument(std::string_view arg) {
    std::string quoted = "\"";
    for (char c : arg) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + '"';
}

inline std::string JoinQuoted(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& arg : args) line += (line.empty() ? "" : " ") + QuoteArgument(arg);
    return line;
}

}  // namespace ql::testing
