// The one argument encoding of bridge_peer.exe: `bridge_peer <verb> <argument>...`, every argument
// the hexadecimal digits of its UTF-8 bytes, so that no code-page conversion of the command line can
// touch a path or title beyond the ANSI code page, and a U+0000 inside a text arrives as sent.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <string>

#include "files.h"
#include "child_process.h"

namespace ql::test {

inline std::string ToPeerArgument(const std::string& utf8) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : utf8) hex += std::string{digits[byte >> 4], digits[byte & 15]};
    return hex;
}

inline std::string FromPeerArgument(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return bytes;
}

// The command line of the peer (or of its copy at `program`, relative to the build's program folder).
inline std::string PeerCommand(const std::string& verb, std::initializer_list<std::string> utf8Arguments,
                               const std::string& program = "bridge_peer.exe") {
    std::string line = Quote(ProgramDirectory() + program) + " " + verb;
    for (const std::string& argument : utf8Arguments) line += " " + Quote(ToPeerArgument(argument));  // an empty one as ""
    return line;
}

}  // namespace ql::test
