// Text conversions for tests, programs and doubles alike: between UTF-16 and a code page (the
// process's ANSI code page unless told otherwise), always over the whole text, NULs included, with
// the system's own default replacement; nothing is cut at a fixed size.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace ql::test {

inline std::wstring Widen(std::string_view text, UINT codePage = CP_ACP) {
    if (text.empty()) return {};
    const int units = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(units > 0 ? units : 0, L'\0');
    if (units > 0) MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
    return wide;
}

inline std::string Narrow(std::wstring_view text, UINT codePage = CP_ACP) {
    if (text.empty()) return {};
    const int bytes =
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), narrow.data(), bytes, nullptr,
                            nullptr);
    return narrow;
}

inline std::wstring FromUtf8(std::string_view utf8) { return Widen(utf8, CP_UTF8); }
inline std::string ToUtf8(std::wstring_view wide) { return Narrow(wide, CP_UTF8); }
// ANSI text (the thread's code page) as UTF-8: how the application double records request texts.
inline std::string AnsiToUtf8(std::string_view ansi) { return ToUtf8(Widen(ansi)); }

}  // namespace ql::test
