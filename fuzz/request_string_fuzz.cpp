// Fuzz target for the launcher's request-string helpers (the command-line split, the launch and the
// forwarded request builders, the open test): runs all of them on arbitrary bytes and aborts when a
// property that holds for every input is broken.
//
// Input layout: the first four bytes (little-endian) are the foreground window value, the rest is
// the command line. Inputs shorter than four bytes are a command line with window 0.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "request_string.h"
#include "tests/command_line_quoting.h"

namespace {

using Args = std::vector<std::string>;
using ql::fuzz::Require;

bool Contains(std::string_view text, char c) {
    return text.find(c) != std::string_view::npos;
}

std::string Without(std::string_view text, std::string_view dropped) {
    std::string kept;
    for (char c : text) {
        if (dropped.find(c) == std::string_view::npos) kept += c;
    }
    return kept;
}

std::size_t Count(std::string_view text, char c) {
    std::size_t n = 0;
    for (char d : text) n += d == c;
    return n;
}

using ql::testing::JoinQuoted;

// Splitting at blanks with no quote handling: what the splitter must do on a line without quotes.
Args SplitAtBlanks(std::string_view text) {
    Args args;
    std::string current;
    for (char c : text) {
        if (c != ' ') {
            current += c;
        } else if (!current.empty()) {
            args.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) args.push_back(std::move(current));
    return args;
}

std::string UnprotectPrefix(std::int32_t foreground) {
    return "\"" + std::to_string(foreground) + "*unprotect*";
}

// An opening quote at the very end adds an argument only when text follows it.
void CheckSplitAtEnd(std::string_view line, const Args& args) {
    const std::string canonical = JoinQuoted(args);
    Require(ql::SplitCommandLine(canonical + " \"") == args,
            "a stray quote at the end adds no argument");
    const std::string rest = Without(line, "\"");
    if (rest.empty()) return;
    Args longer = args;
    longer.push_back(rest);
    Require(ql::SplitCommandLine(canonical + " \"" + rest) == longer,
            "an unterminated quoted argument counts");
}

// In a bare word a doubled quote is one literal quote and a lone quote is dropped.
void CheckSplitBareQuotes(std::string_view line) {
    const std::string word = Without(line, "\" ");
    if (word.empty()) return;
    Require(ql::SplitCommandLine(word + "\"\"" + word) == Args{word + "\"" + word},
            "a doubled quote in a bare word");
    Require(ql::SplitCommandLine(word + "\"" + word) == Args{word + word},
            "a lone quote in a bare word");
}

// The split's state machine written out as its table: state, character, action, next state.
Args SplitByTable(std::string_view line) {
    enum State { Between, Quoted, Bare } state = Between;
    Args args;
    std::string buffer;
    std::size_t i = 0;
    auto doubled = [&] { return line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"'; };
    while (i < line.size()) {
        const char c = line[i];
        if (state == Between) {
            if (c == '"') { buffer.clear(); ++i; state = Quoted; }
            else if (c == ' ') { ++i; }
            else { buffer.clear(); state = Bare; }  // the same character again, in state Bare
        } else if (state == Quoted) {
            if (doubled()) { buffer += '"'; i += 2; }
            else if (c == '"') { args.push_back(buffer); ++i; state = Between; }
            else { buffer += c; ++i; }
        } else {
            if (c == ' ') { args.push_back(buffer); ++i; state = Between; }
            else if (doubled()) { buffer += '"'; i += 2; }
            else if (c == '"') { ++i; }
            else { buffer += c; ++i; }
        }
    }
    if (state == Bare || (state == Quoted && !buffer.empty())) args.push_back(buffer);
    return args;
}

void CheckSplit(std::string_view line) {
    const Args args = ql::SplitCommandLine(line);
    Require(args == SplitByTable(line), "split follows its state table");
    std::string joined;
    std::size_t quotes = 0;
    for (const std::string& arg : args) {
        joined += arg;
        quotes += Count(arg, '"');
    }
    // Blanks and quotes are the only characters the splitter drops or adds; all others are kept
    // once each, in order.
    Require(Without(joined, "\" ") == Without(line, "\" "),
            "split keeps every other character in order");
    Require(2 * quotes <= Count(line, '"'), "split: each literal quote costs two quotes of input");
    Require(joined.size() <= line.size(), "split output is no longer than its input");
    if (!Contains(line, '"')) {
        Require(args == SplitAtBlanks(line), "split of a line without quotes is a split at blanks");
    }
    Require(ql::SplitCommandLine(JoinQuoted(args)) == args,
            "split gives back its arguments written in quotes");
    Require(ql::SplitCommandLine(JoinQuoted(args) + " ") == args,
            "a blank after the closing quote adds no argument");
    CheckSplitAtEnd(line, args);
    CheckSplitBareQuotes(line);
}

void CheckStrip(std::string_view text) {
    const std::string stripped = ql::StripOuterQuotes(text);
    const std::size_t lead = !text.empty() && text.front() == '"' ? 1 : 0;
    Require(stripped.size() + 2 >= text.size(), "strip removes at most two characters");
    Require(text.substr(lead, stripped.size()) == stripped, "strip keeps a contiguous middle part");
    Require(ql::StripOuterQuotes("\"" + std::string(text) + "\"") == text,
            "strip undoes one pair of quotes");
    if (!text.empty() && text.front() != '"' && text.back() != '"') {
        Require(stripped == text, "strip leaves text without outer quotes alone");
    }
}

// The launch text depends only on the arguments, so their canonical quoted form gives the same.
void CheckLaunchProperties(std::string_view line, std::int32_t fg) {
    const std::string launch = ql::BuildLaunchArguments(line, fg);
    Require(!launch.empty() && Contains(launch, '*'), "launch text is a request");
    const Args args = ql::SplitCommandLine(line);
    const std::string canonical = JoinQuoted(args);
    Require(ql::BuildLaunchArguments(canonical, fg) == launch,
            "launch text depends only on the arguments");
    if (!Contains(line, '*')) {
        Require(launch.front() == '"' && launch.back() == '"',
                "a built launch text starts and ends with a quote");
        const bool open = launch.starts_with("\"0*open**\"");
        Require(open || launch.starts_with(UnprotectPrefix(fg)),
                "a built launch text opens or unprotects");
        Require(ql::IsOpenRequest(launch) == open,
                "IsOpenRequest tells the two built launch texts apart");
    }
    if (args.empty() || args.back() != "-p") {
        Require(ql::BuildLaunchArguments(canonical + " -p", fg) == launch,
                "a final -p changes nothing");
    }
}

// The launch text from the arguments, read the plain way: -p takes the next argument whatever it
// holds, any other argument replaces the item, a final -p is dropped; an item holding an asterisk
// is a request and goes on exactly as split, even with a -p value appended to it.
void CheckLaunchModel(std::string_view line, std::int32_t fg) {
    const Args args = ql::SplitCommandLine(line);
    std::string item, value;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "-p") {
            item = args[i];
        } else if (i + 1 < args.size()) {
            value = args[++i];
        }
    }
    std::string expected;
    if (Contains(item, '*')) {
        expected = item;
    } else if (item.empty()) {
        expected = "\"0*open**\"";
    } else {
        expected = UnprotectPrefix(fg) + ql::StripOuterQuotes(item) + "*\"";
    }
    if (!value.empty()) expected += "-p \"" + value + "\"";
    const std::string launch = ql::BuildLaunchArguments(line, fg);
    Require(launch == expected, "launch text follows the item and the last -p value");
    if (Contains(item, '*')) Require(launch.starts_with(item), "a request item is passed on as split");
}

// A -p pair added at the end sets the value and leaves the request part alone.
void CheckLaunchOption(std::string_view line, std::int32_t fg, std::string_view value) {
    const Args args = ql::SplitCommandLine(line);
    if (value.empty() || (!args.empty() && args.back() == "-p")) return;
    const std::string canonical = JoinQuoted(args);
    const std::string without = ql::BuildLaunchArguments(canonical + " -p \"\"", fg);
    const std::string with = ql::BuildLaunchArguments(canonical + " -p " + ql::testing::QuoteArgument(value), fg);
    Require(with == without + "-p \"" + std::string(value) + "\"",
            "a -p value is appended to the request");
}

void CheckForward(std::string_view line, std::int32_t fg) {
    const std::string forwarded = ql::BuildForwardedRequest(line, fg);
    Require(!forwarded.empty() && Contains(forwarded, '*'), "forwarded text is a request");
    Require(ql::BuildForwardedRequest(forwarded, fg ^ 1) == forwarded,
            "forwarding a forwarded text changes nothing");
    if (line.empty()) {
        Require(forwarded == "0*open**", "an empty line forwards open");
    } else if (Contains(line, '*')) {
        Require(forwarded == line, "a line with an asterisk is forwarded unchanged");
    } else {
        const std::string prefix = UnprotectPrefix(fg);
        Require(forwarded.size() >= prefix.size() + 2 && forwarded.starts_with(prefix) &&
                    forwarded.ends_with("*\""),
                "a path is forwarded as unprotect");
        const std::string_view item =
            std::string_view(forwarded).substr(prefix.size(), forwarded.size() - prefix.size() - 2);
        Require(item == ql::StripOuterQuotes(line), "the forwarded item field is the whole line");
        Require(!ql::IsOpenRequest(forwarded), "an unprotect request is not an open request");
    }
}

// One quoted path (not empty, not -p) gives the same text whether launched or forwarded.
void CheckLaunchMatchesForward(std::string_view line, std::int32_t fg) {
    const std::string path = Without(line, "\"*");
    if (path.empty() || path == "-p") return;
    const std::string quoted = "\"" + path + "\"";
    Require(ql::BuildLaunchArguments(quoted, fg) == ql::BuildForwardedRequest(quoted, fg),
            "one quoted path launches and forwards alike");
}

std::string AsciiUpper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

// "open" spelled in the letter case picked by the bits of the window value.
std::string OpenInCase(std::int32_t bits) {
    std::string word = "open";
    for (std::size_t i = 0; i < word.size(); ++i) {
        const bool upper = (static_cast<std::uint32_t>(bits) >> i) & 1u;
        if (upper) word[i] = static_cast<char>(word[i] - 'a' + 'A');
    }
    return word;
}

// The open test reads only the command field: whatever stands before the first asterisk (the window
// field, a leading quote) and whatever follows the second one do not matter.
void CheckIsOpenReadsOnlyTheCommand(std::string_view text) {
    const std::size_t first = text.find('*');
    const std::size_t second = first == std::string_view::npos ? first : text.find('*', first + 1);
    bool expected = false;
    if (second != std::string_view::npos) {
        const std::string command = AsciiUpper(text.substr(first + 1, second - first - 1));
        expected = command == "OPEN";
    }
    Require(ql::IsOpenRequest(text) == expected, "the open test compares the command field with open");
    if (first == std::string_view::npos) return;
    const std::string rest(text.substr(first));
    Require(ql::IsOpenRequest("\"" + rest) == expected, "a leading quote is part of the window field");
    Require(ql::IsOpenRequest("-2147483648" + rest) == expected, "the window field is not examined");
    Require(ql::IsOpenRequest(Without(text.substr(0, first), "*") + rest + "x\"*") == expected ||
                second == std::string_view::npos,
            "the item fields are not examined");
}

void CheckIsOpen(std::string_view text, std::int32_t fg) {
    const bool open = ql::IsOpenRequest(text);
    if (open) Require(Count(text, '*') >= 2, "an open request has a complete command field");
    Require(ql::IsOpenRequest(AsciiUpper(text)) == open, "IsOpenRequest ignores ASCII letter case");
    const std::string window = Without(text, "*");
    const std::string word = OpenInCase(fg);
    Require(ql::IsOpenRequest(window + "*" + word + "*" + std::string(text)),
            "the second field open is found");
    Require(!ql::IsOpenRequest(window + "*" + word + "x*" + std::string(text)),
            "open followed by more is not open");
    Require(!ql::IsOpenRequest(window), "text without an asterisk is not a request");
    Require(ql::IsOpenRequest(ql::BuildForwardedRequest("", fg)), "the empty forward is open");
    Require(ql::IsOpenRequest(ql::BuildLaunchArguments("", fg)), "the empty launch is open");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ql::fuzz::BeginInput("request_string_fuzz", data, size);
    std::int32_t fg = 0;
    if (size >= 4) {
        const std::uint32_t raw =
            data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
        fg = static_cast<std::int32_t>(raw);
        data += 4;
        size -= 4;
    }
    const std::string line(reinterpret_cast<const char*>(data), size);

    CheckSplit(line);
    CheckStrip(line);
    CheckLaunchProperties(line, fg);
    CheckLaunchModel(line, fg);
    CheckLaunchOption(line, fg, line.substr(0, line.size() / 2));
    CheckForward(line, fg);
    CheckLaunchMatchesForward(line, fg);
    CheckIsOpen(line, fg);
    CheckIsOpenReadsOnlyTheCommand(line);
    return 0;
}
