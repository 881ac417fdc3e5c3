// Fuzz target for the registration-script text rules: expansion and parsing of arbitrary text; the
// same bytes also go to the extension's CF_HDROP list reader. Aborts when a property that holds for
// every input is broken.
//
// Input: bytes taken two at a time as UTF-16 code units (an odd last byte is dropped).
#include <cstddef>
#include <cstdint>
#include <string>

#include "drop_list.h"
#include "fuzz_check.h"
#include "registrar_script.h"
#include "tests/script_printer.h"

namespace {

using namespace ql::registrar;

using ql::fuzz::Require;

void CheckParse(const std::u16string& script) {
    const ParseResult parsed = ParseScript(script);
    if (!parsed.ok) {
        Require(parsed.keys.empty(), "a failed parse gives no keys");
        Require(!parsed.error.empty(), "a failed parse says why");
        Require(parsed.errorOffset <= script.size(), "the error offset lies in the input");
        return;
    }
    // Every key and value is printed quoted; parsing that text must give the same tree.
    const ParseResult again = ParseScript(testing::PrintScript(parsed.keys));
    Require(again.ok, "a printed tree parses");
    Require(testing::Flatten(again.keys) == testing::Flatten(parsed.keys), "a printed tree parses to itself");
    for (const ScriptNode& key : parsed.keys) Require(!key.name.empty(), "keys have names");
}

// Any text survives a trip through a quoted script text, as a key's default value and as a name.
void CheckQuoting(const std::u16string& text) {
    const std::u16string quoted = QuoteForScript(text);
    const ParseResult parsed = ParseScript(u"HKCR { k = s '" + quoted + u"' { val '" + quoted + u"x' = s 'v' } }");
    Require(parsed.ok && parsed.keys.size() == 1, "a quoted text parses");
    Require(parsed.keys[0].text == text, "a quoted text comes back whole");
    Require(parsed.keys[0].children.size() == 1 && parsed.keys[0].children[0].name == text + u"x",
            "a quoted name comes back whole");
}

void CheckExpansion(const std::u16string& text) {
    const Replacements replacements = {{u"MODULE", QuoteForScript(text)}, {u"APPID", u"{A}"}};
    std::u16string withoutPercent;
    for (char16_t c : text)
        if (c != u'%') withoutPercent += c;
    Require(ExpandReplacements(withoutPercent, replacements) == withoutPercent,
            "text without percent signs expands to itself");
    // What the library does with its own path: the expanded script names the path exactly.
    const auto expanded = ExpandReplacements(u"HKCR { k = s '%MODULE%' }", replacements);
    Require(expanded.has_value(), "a known replacement expands");
    const ParseResult parsed = ParseScript(*expanded);
    Require(parsed.ok && parsed.keys.size() == 1 && parsed.keys[0].text == text, "%MODULE% stands for the path");
    const Replacements plain = {{u"MODULE", u"M"}, {u"APPID", u"A"}};
    if (const auto any = ExpandReplacements(text, plain)) {
        Require(any->find(u"%MODULE%") == std::u16string::npos || text.find(u"%%") != std::u16string::npos,
                "a replaced name does not stay");
    }
}

// The same bytes as a CF_HDROP block: names stay within it, none is empty or holds a zero.
void CheckDropList(const std::uint8_t* data, std::size_t size) {
    const auto list = ql::shellext::ReadDropList(data, size);
    if (!list.valid) {
        Require(list.wideNames.empty() && list.ansiNames.empty(), "an invalid block gives no names");
        return;
    }
    std::size_t units = 0;
    for (const auto& name : list.wideNames) {
        Require(!name.empty() && name.find(u'\0') == std::u16string::npos, "wide names are whole");
        units += 2 * (name.size() + 1);
    }
    for (const auto& name : list.ansiNames) {
        Require(!name.empty() && name.find('\0') == std::string::npos, "8-bit names are whole");
        units += name.size() + 1;
    }
    Require(units + 20 <= size, "names lie within the block");
    Require(list.wide ? list.ansiNames.empty() : list.wideNames.empty(), "one kind of names");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ql::fuzz::BeginInput("registrar_script_fuzz", data, size);
    std::u16string text;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    CheckParse(text);
    CheckQuoting(text);
    CheckExpansion(text);
    CheckDropList(data, size);
    return 0;
}
