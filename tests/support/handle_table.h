// The system's table of open handles (NtQuerySystemInformation, class 64, the extended handle
// information): which handles a process holds and whether each is inheritable. Under Wine 8
// GetProcessHandleCount reports 0 whatever is open; this table is right in both bitnesses.
#pragma once

#include <windows.h>

#include <optional>
#include <vector>

namespace ql::test {

struct HandleEntry {
    ULONG_PTR value = 0;       // the handle as the owning process sees it
    USHORT typeIndex = 0;      // the object type, as a number only the table itself explains
    ULONG attributes = 0;      // OBJ_INHERIT (2) when a child process would inherit it
    bool inheritable() const { return (attributes & 2) != 0; }
};

// Every handle `processId` holds; nothing when the table cannot be read.
std::optional<std::vector<HandleEntry>> HandlesOf(DWORD processId);

}  // namespace ql::test
