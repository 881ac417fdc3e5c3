// Finding the Java runtime that runs the application.
//
// Two places are searched, in this order: the runtime that accompanies the product ("jre" beside the
// launcher's folder), taken without a check; then a runtime registered under the JavaSoft keys for
// version 1.5, accepted only if running it with " -version" names a 1.5 version on its first line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ql {

// The accompanying runtime, "..\jre\bin\java.exe" from the launcher's folder, canonicalised. Sets
// `javaPath` and returns true when the file exists; otherwise leaves `javaPath` as it was.
bool FindBundledJava(std::string& javaPath);

// A registered 1.5 runtime. `javaPath` is set to the home folder + "bin\java.exe" as soon as the
// home folder is read, even if the probe then fails. Returns 0 on success, a platform error code,
// -1 when "JavaHome" is not a string value, or -2 when the probe did not report version 1.5.
std::int32_t FindRegisteredJava(std::string& javaPath);

// Whether the output of "java -version" names a 1.5 version on its first line: a double quote
// followed by "1.5." before the first CR LF. Output without any CR LF does not.
bool ProbeOutputNamesJava15(std::string_view output);

}  // namespace ql
