#include "shellext_harness.h"

#include <doctest/doctest.h>

#include <sstream>
#include <stdexcept>
#include <vector>

#include "child_process.h"
#include "files.h"
#include "handle_table.h"
#include "ql/unique_handle.h"

namespace ql::test {

std::string ExtensionFileName() { return sizeof(void*) == 8 ? "QLPGPShellExt64.dll" : "QLPGPShellExt.dll"; }

ExtensionTree::ExtensionTree() {
    const std::string built = ProgramDirectory();
    if (!CopyFileA((built + ExtensionFileName()).c_str(), extension().c_str(), FALSE))
        throw std::runtime_error("cannot copy the extension into " + bin());
    if (!CopyFileA((built + "shellext_double\\QuilloraOpenPGP.exe").c_str(), launcher().c_str(), FALSE))
        throw std::runtime_error("cannot place the recording launcher in " + bin());
    if (!MakeFolders(root() + "help") || !WriteWholeFile(root() + "help\\index.htm", "<html></html>"))
        throw std::runtime_error("cannot write the help page");
}

std::vector<ExtensionTree::StartRecord> ExtensionTree::Starts(const std::string& folder) const {
    std::istringstream lines(ReadWholeFile((folder.empty() ? bin() : folder) + "start-record.log").value_or(""));
    std::vector<StartRecord> starts;
    StartRecord current;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("cmdline ", 0) == 0) current.commandLine = line.substr(8);
        if (line.rfind("cwd ", 0) == 0) current.currentDirectory = line.substr(4);
        if (line.rfind("show ", 0) == 0) current.show = std::stoi(line.substr(5));
        if (line == "end") starts.push_back(std::exchange(current, StartRecord{}));
    }
    return starts;
}

bool ExtensionTree::WaitForStarts(std::size_t count, const std::string& folder) const {
    const ULONGLONG deadline = GetTickCount64() + kWaitMs;
    while (Starts(folder).size() < count) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(20);
    }
    return true;
}

void ExtensionTree::ClearStarts(const std::string& folder) const {
    DeleteFileA(((folder.empty() ? bin() : folder) + "start-record.log").c_str());
}

DWORD RunRegsvr32(const std::string& path, bool unregister) {
    const RunResult result = Run(std::string("regsvr32.exe /s ") + (unregister ? "/u " : "") + "\"" + path + "\"", kWaitMs);
    return result.finished ? result.exitCode : 0xFFFFFFFF;
}

bool KeyExists(const std::wstring& key) {
    UniqueRegKey opened;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
}

std::optional<std::wstring> ReadString(const std::wstring& key, const std::wstring& name) {
    wchar_t data[2048] = {};
    DWORD bytes = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    UniqueRegKey opened;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) != ERROR_SUCCESS) return std::nullopt;
    if (RegQueryValueExW(opened.get(), name.empty() ? nullptr : name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(data), &bytes) != ERROR_SUCCESS || type != REG_SZ)
        return std::nullopt;
    return std::wstring(data);
}

std::vector<std::wstring> SubKeys(const std::wstring& key) {
    std::vector<std::wstring> names;
    UniqueRegKey opened;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(opened.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

std::vector<std::wstring> ValueNames(const std::wstring& key) {
    std::vector<std::wstring> names;
    UniqueRegKey opened;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumValueW(opened.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (length > 0) names.emplace_back(name, length);
    }
    return names;
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

std::size_t OwnHandleCount() {
    const auto handles = HandlesOf(GetCurrentProcessId());
    REQUIRE(handles.has_value());
    return handles->size();
}

}  // namespace ql::test
