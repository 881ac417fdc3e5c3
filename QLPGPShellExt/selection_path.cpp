#include "selection_path.h"

#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "ql/ansi_text.h"

namespace ql::shellext {

namespace {

// Paths of MAX_PATH or more reach the file system only with the \\?\ prefix.
std::wstring ExtendedLengthForm(const std::wstring& path) {
    if (path.size() < MAX_PATH || path.rfind(L"\\\\?\\", 0) == 0) return path;
    if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

std::optional<std::wstring> ShortPathOf(const std::wstring& path) {
    const std::wstring query = ExtendedLengthForm(path);
    const DWORD needed = GetShortPathNameW(query.c_str(), nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::vector<wchar_t> buffer(needed);
    const DWORD length = GetShortPathNameW(query.c_str(), buffer.data(), needed);
    if (length == 0 || length >= needed) return std::nullopt;
    std::wstring shortPath(buffer.data(), length);
    // Give the short form back in the shape the long one had.
    if (query != path && shortPath.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + shortPath.substr(8);
    if (query != path && shortPath.rfind(L"\\\\?\\", 0) == 0) return shortPath.substr(4);
    return shortPath;
}

}  // namespace

std::optional<std::string> ToAnsiExactly(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int wideLength = static_cast<int>(text.size());
    BOOL usedDefault = FALSE;
    const int ansiLength = ql::WideToAnsiNoBestFit(text.data(), wideLength, nullptr, 0, &usedDefault);
    if (ansiLength <= 0 || usedDefault) return std::nullopt;
    std::string ansi(static_cast<std::size_t>(ansiLength), '\0');
    ql::WideToAnsiNoBestFit(text.data(), wideLength, ansi.data(), ansiLength, &usedDefault);
    if (usedDefault) return std::nullopt;
    // The round trip is the proof: a character the flag above does not catch still shows here, and so
    // does an unpaired surrogate, which a UTF-8 code page replaces.
    const int backLength = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), ansiLength, nullptr, 0);
    if (backLength != wideLength) return std::nullopt;
    std::wstring back(static_cast<std::size_t>(backLength), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), ansiLength, back.data(), backLength);
    if (back != text) return std::nullopt;
    return ansi;
}

std::optional<std::string> AnsiPathFor(const std::wstring& path) {
    if (path.empty()) return std::nullopt;
    if (auto exact = ToAnsiExactly(path)) return exact;
    if (auto shortPath = ShortPathOf(path)) return ToAnsiExactly(*shortPath);
    return std::nullopt;
}

bool IsFolderPath(const std::wstring& path) {
    if (path.size() < MAX_PATH) return PathIsDirectoryW(path.c_str()) != FALSE;
    const DWORD attributes = GetFileAttributesW(ExtendedLengthForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace ql::shellext
