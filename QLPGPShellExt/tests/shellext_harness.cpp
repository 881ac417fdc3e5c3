#include "shellext_harness.h"

#include <doctest/doctest.h>

#include "child_process.h"
#include "handle_table.h"

namespace ql::test {

DWORD RunRegsvr32(const std::string& path, bool unregister) {
    const RunResult result = Run(std::string("regsvr32.exe /s ") + (unregister ? "/u " : "") + "\"" + path + "\"", kWaitMs);
    return result.finished ? result.exitCode : 0xFFFFFFFF;
}

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return;
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); entry->Name != 0;
         ++entry) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            void** slot = reinterpret_cast<void**>(&slots->u1.Function);
            DWORD oldProtection = 0;
            if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtection)) return;
            original_ = *slot;
            *slot = replacement;
            VirtualProtect(slot, sizeof(void*), oldProtection, &oldProtection);
            slot_ = slot;
            return;
        }
    }
}

ImportPatch::~ImportPatch() {
    if (slot_ == nullptr) return;
    DWORD oldProtection = 0;
    VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &oldProtection);
    *slot_ = original_;
    VirtualProtect(slot_, sizeof(void*), oldProtection, &oldProtection);
}

MenuItemSeen ReadItem(HMENU menu, UINT position) {
    wchar_t text[128] = {};
    MENUITEMINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING | MIIM_BITMAP | MIIM_CHECKMARKS;
    info.dwTypeData = text;
    info.cch = 127;
    REQUIRE(GetMenuItemInfoW(menu, position, TRUE, &info));
    return {info.fType, info.fState, info.wID, info.hSubMenu, info.hbmpItem, text};
}

std::size_t OwnHandleCount() {
    const auto handles = HandlesOf(GetCurrentProcessId());
    REQUIRE(handles.has_value());
    return handles->size();
}

}  // namespace ql::test
