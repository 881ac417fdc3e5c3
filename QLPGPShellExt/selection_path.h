// Selected paths arrive from Explorer in UTF-16; the request string carries ANSI text. A name the
// ANSI code page cannot spell must not be "best-fitted" into another name ("dāta.txt" would become
// "data.txt", a different file that "Secure delete" would then wipe), so the conversion is exact or
// it does not happen.
#pragma once

#include <optional>
#include <string>

namespace ql::shellext {

// The ANSI text that converts back to exactly `text`, or nothing.
std::optional<std::string> ToAnsiExactly(const std::wstring& text);

// The ANSI path that names the file `path` names: the path itself when its ANSI form is exact,
// otherwise the file's short name when that one is; nothing when neither is.
std::optional<std::string> AnsiPathFor(const std::wstring& path);

// True when the path names a folder; works for paths of any length.
bool IsFolderPath(const std::wstring& path);

}  // namespace ql::shellext
