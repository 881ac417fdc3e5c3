#include "handle_table.h"

namespace ql::test {

namespace {

// One entry of the extended table, laid out as the system returns it in either bitness.
struct SystemEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};

constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

}  // namespace

std::optional<std::vector<HandleEntry>> HandlesOf(DWORD processId) {
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return std::nullopt;
    std::vector<ULONG_PTR> buffer(1 << 16);
    LONG status = 0;
    ULONG needed = 0;
    while ((status = query(kSystemExtendedHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR)), &needed)) == kInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return std::nullopt;
    // The table: a count, a reserved word, then the entries.
    const ULONG_PTR count = buffer[0];
    const auto* entries = reinterpret_cast<const SystemEntry*>(buffer.data() + 2);
    std::vector<HandleEntry> own;
    for (ULONG_PTR i = 0; i < count; ++i) {
        if (entries[i].processId != processId) continue;
        own.push_back(HandleEntry{entries[i].handle, entries[i].objectTypeIndex, entries[i].attributes});
    }
    return own;
}

}  // namespace ql::test
