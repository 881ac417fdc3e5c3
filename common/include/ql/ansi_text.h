// UTF-16 text into the system's ANSI code page without look-alike letters.
#pragma once

#include <windows.h>

namespace ql {

// WideCharToMultiByte(CP_ACP, ...) that never best-fits a character into another one ("ā" into
// "a"): with WC_NO_BEST_FIT_CHARS, and `usedDefault` tells whether a character had no spelling.
// A machine set to "Use Unicode UTF-8 for worldwide language support" has the ANSI code page UTF-8,
// for which Windows refuses that flag and a used-default pointer (the call fails); UTF-8 spells
// every character and has no best fit, so there the text is converted without either.
// `usedDefault` may be null.
inline int WideToAnsiNoBestFit(const wchar_t* text, int length, char* ansi, int ansiSize, BOOL* usedDefault) {
    if (GetACP() == CP_UTF8) {
        if (usedDefault != nullptr) *usedDefault = FALSE;
        return WideCharToMultiByte(CP_ACP, 0, text, length, ansi, ansiSize, nullptr, nullptr);
    }
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, length, ansi, ansiSize, nullptr, usedDefault);
}

}  // namespace ql
