// Unit tests of the version-probe text rule: a quoted 1.5 version on the first CR LF line.
#include "java_runtime.h"

#include <doctest/doctest.h>

#include <string>
#include <string_view>

TEST_SUITE_BEGIN("probe_text");

using ql::ProbeOutputNamesJava15;

TEST_CASE("a runtime's answer naming 1.5 on its first line is accepted") {
    CHECK(ProbeOutputNamesJava15("java version \"1.5.0_22\"\r\n"
                                 "Java(TM) 2 Runtime Environment, Standard Edition (build 1.5.0_22-b03)\r\n"
                                 "Java HotSpot(TM) Client VM (build 1.5.0_22-b03, mixed mode, sharing)\r\n"));
    CHECK(ProbeOutputNamesJava15("java version \"1.5.0\"\r\n"));
    CHECK(ProbeOutputNamesJava15("\"1.5.\r\n"));                 // the marker ends where the line ends
    CHECK(ProbeOutputNamesJava15("x\"1.5.\r\nmore"));
    CHECK(ProbeOutputNamesJava15("\"\"1.5.9\"\r\n"));            // a quote before the marker's quote
    CHECK(ProbeOutputNamesJava15("\"1.5.0\" \"1.6.0\"\r\n"));    // a second version does not matter
    CHECK(ProbeOutputNamesJava15("\r\"1.5.0\"\r\n"));            // a lone CR does not end the line
    CHECK(ProbeOutputNamesJava15("\n\"1.5.0\"\r\n"));            // nor does a lone LF
    CHECK(ProbeOutputNamesJava15("\"1.5.0\"\r\n\"1.5.1\"\r\n"));
}

TEST_CASE("text after a NUL byte still counts: the output is bytes, not a C string") {
    using namespace std::string_view_literals;
    CHECK(ProbeOutputNamesJava15("\0java version \"1.5.0\"\r\n"sv));
    CHECK(ProbeOutputNamesJava15("java version \"1.5.0\"\0\r\n"sv));
    CHECK_FALSE(ProbeOutputNamesJava15("java version \"1.6.0\"\0\r\n\"1.5.0\"\r\n"sv));
}

TEST_CASE("answers that do not name 1.5 on the first line are refused") {
    CHECK_FALSE(ProbeOutputNamesJava15(""));
    CHECK_FALSE(ProbeOutputNamesJava15("\r\n"));
    CHECK_FALSE(ProbeOutputNamesJava15("java version \"1.6.0_45\"\r\n"));
    CHECK_FALSE(ProbeOutputNamesJava15("java version 1.5.0_22\r\n"));        // no quote
    CHECK_FALSE(ProbeOutputNamesJava15("java version '1.5.0_22'\r\n"));      // another quote
    CHECK_FALSE(ProbeOutputNamesJava15("java version \"1.5\"\r\n"));         // no dot after 1.5
    CHECK_FALSE(ProbeOutputNamesJava15("java version \"1.50\"\r\n"));
    CHECK_FALSE(ProbeOutputNamesJava15("java version \" 1.5.0\"\r\n"));
    CHECK_FALSE(ProbeOutputNamesJava15("java version \"11.5.0\"\r\n"));
}

TEST_CASE("a 1.5 version only after the first CR LF is refused") {
    CHECK_FALSE(ProbeOutputNamesJava15("java version \"1.6.0\"\r\nbuild \"1.5.0\"\r\n"));
    CHECK_FALSE(ProbeOutputNamesJava15("\r\n\"1.5.0\"\r\n"));
    CHECK_FALSE(ProbeOutputNamesJava15("\"1.5\r\n.0\"\r\n"));                // split by the line end
}

TEST_CASE("without any CR LF nothing is accepted") {
    CHECK_FALSE(ProbeOutputNamesJava15("java version \"1.5.0_22\""));
    CHECK_FALSE(ProbeOutputNamesJava15("java version \"1.5.0_22\"\n"));
    CHECK_FALSE(ProbeOutputNamesJava15("java version \"1.5.0_22\"\r"));
    CHECK_FALSE(ProbeOutputNamesJava15("java version \"1.5.0_22\"\n\r"));
}

namespace {

// The rule written another way: cut at the first CR LF (there must be one) and look in the first line.
bool FirstLineNamesJava15(const std::string& output) {
    const std::size_t lineEnd = output.find("\r\n");
    if (lineEnd == std::string::npos) return false;
    return output.substr(0, lineEnd).find("\"1.5.") != std::string::npos;
}

}  // namespace

TEST_CASE("every short text over the rule's own characters agrees with the first-line reading") {
    // All texts of up to seven characters (the shortest accepted one, "1.5. and CR LF, has seven)
    // from the characters the rule looks at, plus one it does not.
    constexpr std::string_view alphabet = "\"1.5\r\nx";
    constexpr int kMaxLength = 7;
    std::string text;
    long accepted = 0, total = 0;
    auto visit = [&](auto&& self, int depth) -> void {
        ++total;
        const bool expected = FirstLineNamesJava15(text);
        if (ProbeOutputNamesJava15(text) != expected) {
            FAIL_CHECK("disagreement on the text of " << text.size() << " bytes: " << text);
        }
        if (expected) ++accepted;
        if (depth == kMaxLength) return;
        for (char c : alphabet) {
            text.push_back(c);
            self(self, depth + 1);
            text.pop_back();
        }
    };
    visit(visit, 0);
    CHECK(total == 960800);   // 1 + 7 + ... + 7^7 texts were seen
    CHECK(accepted > 0);      // and the walk reached accepted texts, so it compared both outcomes
}

TEST_SUITE_END();
