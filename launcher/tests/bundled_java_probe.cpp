// Plays the launcher for the tests of FindBundledJava, which looks relative to the running program.
// Writes "found" or "not found" and then the path it was left with (a marker when it was not
// touched), each followed by a line feed, and exits with 0 when found, else 1.
#include <windows.h>

#include <string>

#include "java_runtime.h"

int main() {
    std::string javaPath = "(untouched)";
    const bool found = ql::FindBundledJava(javaPath);
    const std::string report = std::string(found ? "found" : "not found") + "\n" + javaPath + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    return found ? 0 : 1;
}
