// Fuzz target for the version-probe text rule: which outputs of "java -version" name a 1.5 runtime
// (a double quote followed by "1.5." on the first line, which must end in CR LF). Aborts when a
// property that holds for every input is broken.
//
// Input: the probe's output, as raw bytes (NUL bytes included: the output is read as bytes).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "java_runtime.h"

namespace {

using ql::ProbeOutputNamesJava15;
using ql::fuzz::Require;

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kMarker = "\"1.5.";

// The rule written another way: the text up to the first CR LF, searched for the marker.
bool FirstLineNamesJava15(std::string_view output) {
    const std::size_t lineEnd = output.find(kLineEnd);
    if (lineEnd == std::string_view::npos) return false;
    return output.substr(0, lineEnd).find(kMarker) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ql::fuzz::BeginInput("probe_text_fuzz", data, size);
    const std::string output(reinterpret_cast<const char*>(data), size);
    const bool accepted = ProbeOutputNamesJava15(output);

    Require(accepted == FirstLineNamesJava15(output), "the rule reads the first CR LF line for the marker");
    if (output.find(kLineEnd) == std::string::npos) Require(!accepted, "output without CR LF is refused");
    // Lines after the first never matter: neither what follows, nor a marker on a later line.
    Require(ProbeOutputNamesJava15(output + "\r\n\"1.5.0\"\r\n") ==
                (accepted || (output.find(kLineEnd) == std::string::npos &&
                              FirstLineNamesJava15(output + "\r\n"))),
            "a later 1.5 line does not count");
    Require(!ProbeOutputNamesJava15("\r\n" + output), "an empty first line names nothing");
    if (accepted) {
        Require(ProbeOutputNamesJava15(output.substr(0, output.find(kLineEnd) + 2)),
                "the first line alone is accepted");
    }
    // The first line of this output, whatever it holds, followed by a 1.5 version on the same line.
    const std::string firstLine = output.substr(0, output.find(kLineEnd));
    Require(ProbeOutputNamesJava15(firstLine + "java version \"1.5.0_22\"\r\n" + output),
            "a quoted 1.5 version on the first line is accepted");
    Require(ProbeOutputNamesJava15(firstLine + "\r\n") == FirstLineNamesJava15(firstLine + "\r\n"),
            "the first line decides");
    return 0;
}
