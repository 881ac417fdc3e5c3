#include "diagnostics.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace ql {

void WriteDiagnostic(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length <= 0) return;
    if (length >= static_cast<int>(sizeof line)) length = sizeof line - 1;

    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(out, line, static_cast<DWORD>(length), &written, nullptr);
}

}  // namespace ql
