// Diagnostic lines on the process's standard output (the Java runtime's console).
#pragma once

namespace ql {

// printf-style; writes straight to the standard output handle, so it is safe under the loader lock
// and needs no C runtime stream. Lines longer than 1 KiB are cut.
void WriteDiagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ql
