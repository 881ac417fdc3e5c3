// The launcher's error messages: a message box without owner, caption "Error", error icon.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace ql {

inline void ShowError(const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), "Error", MB_ICONERROR);
}

// Messages that end in "Error code: %d": the code as a signed decimal number.
inline void ShowErrorSigned(const char* text, std::int32_t code) {
    ShowError(text + std::to_string(code));
}

// The other messages: the code as an unsigned 32-bit decimal number (-1 shows as 4294967295).
inline void ShowErrorUnsigned(const char* text, std::int32_t code) {
    ShowError(text + std::to_string(static_cast<std::uint32_t>(code)));
}

}  // namespace ql
