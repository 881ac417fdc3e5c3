// Registration scripts: the text form of the registry entries the extension writes and removes.
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {DA19...} = s 'QLPGPLaunchExt Class'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Apartment'
//               }
//           }
//       }
//   }
//
// Braces nest keys under the root HKCR. After a key name, "= s '...'" sets its default value; inside
// a key, "val <name> = s '...'" sets a named value. Every value is a REG_SZ string. ForceRemove and
// NoRemove before a key name change what registration and removal do to that key. Names and texts
// may be quoted with single quotes; a single quote inside them is written twice. %NAME% stands for a
// replacement and "%%" for one percent sign; both are expanded before parsing.
//
// This part is text only (no Windows API), so it is tested and fuzzed on any platform; the registry
// walk over the parsed tree lives in registrar.cpp.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ql::registrar {

enum class KeyFlag { None, ForceRemove, NoRemove };

// One key or one named value of a script, in script order.
struct ScriptNode {
    enum class Kind { Key, Value };
    Kind kind = Kind::Key;
    std::u16string name;
    KeyFlag flag = KeyFlag::None;        // keys only
    std::optional<std::u16string> text;  // a key's default value, or a named value's data
    std::vector<ScriptNode> children;    // keys only: named values and sub-keys, in script order
};

struct ParseResult {
    bool ok = false;
    std::vector<ScriptNode> keys;  // the keys directly under HKCR
    std::size_t errorOffset = 0;   // where parsing stopped, in characters, when !ok
    std::string error;             // why, when !ok
};

using Replacements = std::vector<std::pair<std::u16string, std::u16string>>;

// Replaces every %NAME% by its value and "%%" by "%". Nothing when a name is unknown or a percent
// sign is left open. Names are compared exactly.
std::optional<std::u16string> ExpandReplacements(std::u16string_view script, const Replacements& replacements);

// The text with every single quote doubled, to stand inside a single-quoted script text.
std::u16string QuoteForScript(std::u16string_view text);

// Parses an expanded script. Only the root HKCR (or HKEY_CLASSES_ROOT) and values of type s are
// understood; anything else is an error.
ParseResult ParseScript(std::u16string_view script);

// Key names that registration never deletes, even when marked ForceRemove (ASCII letter case ignored).
bool IsProtectedKeyName(std::u16string_view name);

}  // namespace ql::registrar
