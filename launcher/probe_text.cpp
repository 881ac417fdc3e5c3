// The text rule of the version probe: which answers of "java -version" name a 1.5 runtime.
#include "java_runtime.h"

namespace ql {

bool ProbeOutputNamesJava15(std::string_view output) {
    // A runtime prints its version first, as java version "1.5.0_22"; later lines name builds and
    // virtual machines, whose numbers must not count. Output without a CR LF is not a runtime's.
    const std::size_t lineEnd = output.find("\r\n");
    if (lineEnd == std::string_view::npos) return false;
    const std::size_t version = output.find("\"1.5.");
    return version != std::string_view::npos && version < lineEnd;
}

}  // namespace ql
