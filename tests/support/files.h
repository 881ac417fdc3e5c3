// Files and folders for tests and the Java runtime doubles.
#pragma once

#include <optional>
#include <string>

#include "text.h"

namespace ql::test {

// The folder of the running program, with a trailing backslash. Test programs, helper programs and
// the deliverables are all built into one folder; the runtime doubles keep their files beside them.
std::string ProgramDirectory();

// Appends `line` and a line feed in one write, writers of all processes taking turns, so lines of
// concurrent writers never interleave or overlap.
void AppendLine(const std::string& path, const std::string& line);
// The whole file; nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);
// Replaces the file with `contents`; false when it cannot be written whole.
bool WriteWholeFile(const std::string& path, const std::string& contents);

bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
// Makes the folder and every missing folder above it; true when it exists afterwards.
bool MakeFolders(const std::string& path);
// Removes the folder with everything in it (read-only files included), whatever its names.
void RemoveTree(const std::wstring& folder);
void RemoveTree(const std::string& folder);

}  // namespace ql::test
