// Small file helpers shared by the Java runtime doubles.
#pragma once

#include <string>

namespace ql::test {

// The folder of the running program, with a trailing backslash.
std::string OwnFolder();
// Appends `line` and a line feed in one write, so lines of concurrent writers never interleave.
void AppendLine(const std::string& path, const std::string& line);
// The whole file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& contents);

}  // namespace ql::test
