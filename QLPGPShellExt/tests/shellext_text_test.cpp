// Unit tests of the extension's text rules: the registration scripts as shipped, the script parser
// and its replacements, and the request string the handler builds.
#include "command_request.h"
#include "drop_list.h"
#include "script_printer.h"
#include "registrar_script.h"
#include "shipped_scripts.h"

#include <doctest/doctest.h>

#include "printers.h"

#include <string>
#include <vector>

TEST_SUITE_BEGIN("shellext_text");

namespace {

using namespace ql::registrar;
using ql::registrar::testing::Flatten;
using ql::registrar::testing::PrintScript;

std::u16string Widen(const char* text) {
    std::u16string out;
    for (const char* c = text; *c != '\0'; ++c) out += static_cast<char16_t>(static_cast<unsigned char>(*c));
    return out;
}

constexpr char16_t kClsid[] = u"{DA19D376-8A92-474B-A4B0-44FEA32CA561}";
constexpr char16_t kAppId[] = u"{4C73F365-AEE3-40CD-BF6A-4F1D26EA2D5D}";

std::vector<std::u16string> ParseShipped(const char* script, const std::u16string& module) {
    const Replacements replacements = {{u"APPID", kAppId}, {u"MODULE", QuoteForScript(module)}};
    const auto expanded = ExpandReplacements(Widen(script), replacements);
    REQUIRE(expanded.has_value());
    const ParseResult parsed = ParseScript(*expanded);
    INFO("error " << parsed.error << " at " << parsed.errorOffset);
    REQUIRE(parsed.ok);
    return Flatten(parsed.keys);
}

}  // namespace

TEST_CASE("the AppID script names the AppID key, its description and the library's AppID value") {
    const std::u16string appIdKey = std::u16string(u"AppID\\") + kAppId;
    const std::vector<std::u16string> expected = {
        u"key AppID NoRemove",
        u"key " + appIdKey + u" = QLPGPShellExt",
        u"key AppID\\QLPGPShellExt.DLL",
        u"value AppID\\QLPGPShellExt.DLL [AppID] = " + std::u16string(kAppId),
    };
    CHECK(ParseShipped(kAppIDScript, u"C:\\x.dll") == expected);
}

TEST_CASE("the class script names every key and value in order, the module path quoted once") {
    // A path holding a single quote: doubled for the script, stored once.
    const std::u16string module = u"C:\\Program Files\\Quillora's\\bin\\QLPGPShellExt.dll";
    const std::u16string classKey = std::u16string(u"CLSID\\") + kClsid;
    const std::u16string clsid = kClsid;
    const std::vector<std::u16string> expected = {
        u"key QLPGPShellExt.QLPGPLaunchExt.1 ForceRemove = QLPGPLaunchExt Class",
        u"key QLPGPShellExt.QLPGPLaunchExt.1\\CLSID = " + clsid,
        u"key QLPGPShellExt.QLPGPLaunchExt ForceRemove = QLPGPLaunchExt Class",
        u"key QLPGPShellExt.QLPGPLaunchExt\\CLSID = " + clsid,
        u"key QLPGPShellExt.QLPGPLaunchExt\\CurVer = QLPGPShellExt.QLPGPLaunchExt.1",
        u"key CLSID NoRemove",
        u"key " + classKey + u" ForceRemove = QLPGPLaunchExt Class",
        u"key " + classKey + u"\\ProgID = QLPGPShellExt.QLPGPLaunchExt.1",
        u"key " + classKey + u"\\VersionIndependentProgID = QLPGPShellExt.QLPGPLaunchExt",
        u"key " + classKey + u"\\Programmable ForceRemove",
        u"key " + classKey + u"\\InprocServer32 = " + module,
        u"value " + classKey + u"\\InprocServer32 [ThreadingModel] = Apartment",
        u"value " + classKey + u" [AppID] = " + std::u16string(kAppId),
        u"key " + classKey + u"\\TypeLib = {A03773EF-0FCD-4F47-92E0-9A49C56E1E7A}",
        u"key * NoRemove",
        u"key *\\shellex NoRemove",
        u"key *\\shellex\\ContextMenuHandlers NoRemove",
        u"key *\\shellex\\ContextMenuHandlers\\QLOPGP ForceRemove = " + clsid,
        u"key Directory NoRemove",
        u"key Directory\\shellex NoRemove",
        u"key Directory\\shellex\\ContextMenuHandlers NoRemove",
        u"key Directory\\shellex\\ContextMenuHandlers\\QLOPGP ForceRemove = " + clsid,
    };
    CHECK(ParseShipped(kQLPGPLaunchExtScript, module) == expected);
}

TEST_CASE("script syntax: quoting, nesting, flags and values") {
    struct Case {
        const char16_t* script;
        std::vector<std::u16string> flat;
    };
    const Case cases[] = {
        {u"", {}},
        {u"HKCR { }", {}},
        {u"HKEY_CLASSES_ROOT { a }", {u"key a"}},
        {u"hkcr {\r\n\ta\r\n}", {u"key a"}},
        {u"HKCR { 'a b' = s 'it''s' }", {u"key a b = it's"}},
        {u"HKCR { a = s '' }", {u"key a = "}},
        {u"HKCR { a { val 'n m' = s 'v' b = s 'w' { } } }", {u"key a", u"value a [n m] = v", u"key a\\b = w"}},
        {u"HKCR { NoRemove a { ForceRemove b } }", {u"key a NoRemove", u"key a\\b ForceRemove"}},
        // A quoted keyword is a name, not a keyword.
        {u"HKCR { 'NoRemove' 'val' }", {u"key NoRemove", u"key val"}},
        {u"HKCR { {GUID} = s '{x}' }", {u"key {GUID} = {x}"}},
        {u"HKCR { a } HKCR { b }", {u"key a", u"key b"}},
        {u"HKCR { a = s 'x{ }y' }", {u"key a = x{ }y"}},
    };
    for (const Case& c : cases) {
        CAPTURE(std::u16string(c.script));
        const ParseResult parsed = ParseScript(c.script);
        INFO("error " << parsed.error << " at " << parsed.errorOffset);
        REQUIRE(parsed.ok);
        CHECK(Flatten(parsed.keys) == c.flat);
        // The printed tree parses back to itself.
        const ParseResult again = ParseScript(PrintScript(parsed.keys));
        REQUIRE(again.ok);
        CHECK(Flatten(again.keys) == c.flat);
    }
}

TEST_CASE("script errors are reported with where parsing stopped, and give no keys") {
    struct Case {
        const char16_t* script;
        std::size_t offset;
    };
    const Case cases[] = {
        {u"HKLM { a }", 0},                  // only the classes root
        {u"HKCR a", 5},                      // no opening brace
        {u"HKCR { a", 8},                    // no closing brace
        {u"HKCR { a { b }", 14},             // inner key closed, outer not
        {u"HKCR { a = s 'open }", 13},       // unterminated text
        {u"HKCR { a = d '1' }", 11},         // only string values
        {u"HKCR { a = s b }", 13},           // text not quoted
        {u"HKCR { a = }", 11},
        {u"HKCR { = s 'x' }", 7},            // no name
        {u"HKCR { a { val = s 'x' } }", 15}, // value without a name
        {u"HKCR { a { val n s 'x' } }", 17}, // value without =
        {u"HKCR { '' }", 7},                 // empty name
        {u"HKCR { } }", 9},
    };
    for (const Case& c : cases) {
        CAPTURE(std::u16string(c.script));
        const ParseResult parsed = ParseScript(c.script);
        CHECK_FALSE(parsed.ok);
        CHECK(parsed.keys.empty());
        CHECK_FALSE(parsed.error.empty());
        CHECK(parsed.errorOffset == c.offset);
    }
    // Nesting is bounded, so a hostile script cannot exhaust the stack.
    std::u16string deep = u"HKCR { ";
    for (int i = 0; i < 40; ++i) deep += u"k { ";
    for (int i = 0; i < 40; ++i) deep += u"} ";
    CHECK_FALSE(ParseScript(deep + u"}").ok);
}

TEST_CASE("replacements: names, doubled percent signs, unknown names") {
    const Replacements replacements = {{u"APPID", u"{A}"}, {u"MODULE", u"C:\\it''s.dll"}, {u"EMPTY", u""}};
    struct Case {
        const char16_t* script;
        const char16_t* expanded;  // null: expansion fails
    };
    const Case cases[] = {
        {u"", u""},
        {u"no replacement", u"no replacement"},
        {u"'%APPID%'", u"'{A}'"},
        {u"%MODULE%%APPID%", u"C:\\it''s.dll{A}"},
        {u"100%%", u"100%"},
        {u"%EMPTY%x", u"x"},
        {u"%appid%", nullptr},  // names are exact
        {u"%UNKNOWN%", nullptr},
        {u"50% off", nullptr},
        {u"%", nullptr},
    };
    for (const Case& c : cases) {
        CAPTURE(std::u16string(c.script));
        const auto expanded = ExpandReplacements(c.script, replacements);
        if (c.expanded == nullptr) {
            CHECK_FALSE(expanded.has_value());
        } else {
            REQUIRE(expanded.has_value());
            CHECK(*expanded == c.expanded);
        }
    }
    CHECK(QuoteForScript(u"a'b''c") == u"a''b''''c");
    CHECK(QuoteForScript(u"") == u"");
}

TEST_CASE("the protected key names, in any letter case, and nothing else") {
    for (const char16_t* name : {u"AppID", u"appid", u"CLSID", u"Component Categories", u"FILETYPE", u"Interface",
                                 u"Hardware", u"Mime", u"SAM", u"Security", u"SYSTEM", u"software", u"TypeLib"}) {
        CAPTURE(std::u16string(name));
        CHECK(IsProtectedKeyName(name));
    }
    for (const char16_t* name : {u"", u"AppID2", u"CLSI", u"ComponentCategories", u"QLOPGP", u"*", u"Directory",
                                 u"CLSID\\x", u"Type Lib"}) {
        CAPTURE(std::u16string(name));
        CHECK_FALSE(IsProtectedKeyName(name));
    }
}

TEST_CASE("the request string: quotes, window field, command field and one field per path") {
    using ql::shellext::BuildCommandRequest;
    struct Case {
        std::int32_t window;
        const char* command;
        std::vector<std::string> paths;
        const char* request;
    };
    const Case cases[] = {
        {66, "protect", {"C:\\Docs\\report.txt", "C:\\Docs\\old"}, "\"66*protect*C:\\Docs\\report.txt*C:\\Docs\\old*\""},
        {0, "wipe", {"C:\\a b\\c.pgp"}, "\"0*wipe*C:\\a b\\c.pgp*\""},
        {-2, "key_manager", {"C:\\x", "C:\\x"}, "\"-2*key_manager*C:\\x*C:\\x*\""},
        {INT32_MIN, "unprotect", {"D:\\"}, "\"-2147483648*unprotect*D:\\*\""},
        {INT32_MAX, "default_settings", {}, "\"2147483647*default_settings*\""},
        {7, "secure_text_editor", {std::string("C:\\caf\xE9.txt")}, "\"7*secure_text_editor*C:\\caf\xE9.txt*\""},
    };
    for (const Case& c : cases) {
        CAPTURE(c.request);
        CHECK(BuildCommandRequest(c.window, c.command, c.paths) == c.request);
    }
}

TEST_CASE("a selection too long for one launch: consecutive requests of whole paths, each within the bound") {
    using ql::shellext::BuildCommandRequests;
    const std::string a(10, 'a'), b(10, 'b'), c(10, 'c'), tooLong(21, 'x');  // 31 alone
    struct Case {
        std::size_t longest;
        std::vector<std::string> paths;
        std::vector<std::string> requests;
    };
    // "\"7*wipe*" is 8 characters; a path adds itself and an asterisk; the closing quote 1.
    const Case cases[] = {
        {31, {a, b}, {"\"7*wipe*" + a + "*" + b + "*\""}},                         // exactly the bound
        {30, {a, b}, {"\"7*wipe*" + a + "*\"", "\"7*wipe*" + b + "*\""}},          // one short of it
        {30, {a, tooLong, b, c}, {"\"7*wipe*" + a + "*\"", "\"7*wipe*" + b + "*\"", "\"7*wipe*" + c + "*\""}},
        {20, {a}, {"\"7*wipe*" + a + "*\""}},                                      // one path alone at the bound
        {19, {a}, {"\"7*wipe*\""}},                                                // left out: the command still runs
        {100, {}, {"\"7*wipe*\""}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.longest);
        CHECK(BuildCommandRequests(7, "wipe", c.paths, c.longest) == c.requests);
    }
}

TEST_CASE("the CF_HDROP list is read in one pass, within the block, in UTF-16 or 8-bit text") {
    using ql::shellext::ReadDropList;
    // A DROPFILES header (pFiles, pt, fNC, fWide) followed by `names`.
    auto block = [](std::uint32_t pFiles, bool wide, const std::string& names) {
        std::string bytes(20, '\0');
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((pFiles >> (8 * i)) & 0xFF);
        bytes[16] = wide ? 1 : 0;
        return bytes + names;
    };
    auto utf16 = [](const std::u16string& text) {
        std::string bytes;
        for (char16_t c : text) {
            bytes += static_cast<char>(c & 0xFF);
            bytes += static_cast<char>(c >> 8);
        }
        return bytes;
    };
    struct Case {
        const char* what;
        std::string bytes;
        bool valid;
        std::vector<std::u16string> wide;
        std::vector<std::string> ansi;
    };
    const std::u16string longName(400, u'x');
    const Case cases[] = {
        {"two wide names", block(20, true, utf16(std::u16string(u"C:\\a\0C:\\d\u0101ta\0\0", 15))), true,
         {u"C:\\a", u"C:\\d\u0101ta"}, {}},
        {"a wide name longer than MAX_PATH", block(20, true, utf16(longName + std::u16string(2, u'\0'))), true, {longName}, {}},
        {"duplicates stay", block(20, true, utf16(std::u16string(u"C:\\a\0C:\\a\0\0", 11))), true, {u"C:\\a", u"C:\\a"}, {}},
        {"8-bit names", block(20, false, std::string("C:\\caf\xE9\0C:\\b\0\0", 14)), true, {}, {"C:\\caf\xE9", "C:\\b"}},
        {"names after a gap in the header", block(24, true, std::string(4, 'z') + utf16(std::u16string(u"C:\\a\0\0", 6))),
         true, {u"C:\\a"}, {}},
        {"an empty list", block(20, true, std::string(4, '\0')), true, {}, {}},
        {"the list ends at the first empty name", block(20, false, std::string("a\0\0b\0\0", 6)), true, {}, {"a"}},
        {"a last name without its terminator is not taken", block(20, false, std::string("a\0bc", 4)), true, {}, {"a"}},
        {"an odd last byte of a wide list", block(20, true, utf16(std::u16string(u"ab\0", 3)) + "c"), true, {u"ab"}, {}},
        {"a header that does not fit", std::string(19, '\0'), false, {}, {}},
        {"names that start inside the header", block(8, true, utf16(std::u16string(u"a\0\0", 3))), false, {}, {}},
        {"names that start past the block", block(1000, true, ""), false, {}, {}},
        {"names that start at the very end", block(20, true, ""), true, {}, {}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        const auto list = ReadDropList(c.bytes.data(), c.bytes.size());
        CHECK(list.valid == c.valid);
        CHECK(list.wideNames == c.wide);
        CHECK(list.ansiNames == c.ansi);
    }
    CHECK_FALSE(ReadDropList(nullptr, 100).valid);
}

TEST_SUITE_END();
