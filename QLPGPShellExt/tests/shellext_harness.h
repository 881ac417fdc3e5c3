// Shared steps of the extension's tests: a product tree holding a copy of the extension, its
// registration with the system's regsvr32, registry reads, and a look at what the extension passes
// to the platform.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "sandbox.h"
#include "text.h"

namespace ql::test {

// Generous bounds for things that normally take well under a second (32-bit runs go through qemu).
inline constexpr DWORD kWaitMs = 30000;

// This build's extension file name: QLPGPShellExt.dll or QLPGPShellExt64.dll.
std::string ExtensionFileName();

// A product tree (see sandbox.h) with a copy of the extension in bin\, the recording program
// in place of the launcher, and a help page in help\index.htm.
class ExtensionTree {
public:
    ExtensionTree();
    std::string root() const { return tree_.root(); }
    std::string bin() const { return tree_.bin(); }
    std::string extension() const { return tree_.bin() + ExtensionFileName(); }
    std::string launcher() const { return tree_.launcher(); }
    // Without a trailing backslash, as the extension forms it.
    std::string binFolder() const { return bin().substr(0, bin().size() - 1); }

    // Records of the program's starts in `folder` (with trailing backslash; default bin\).
    struct StartRecord {
        std::string commandLine;
        std::string currentDirectory;
        int show = -1;
    };
    std::vector<StartRecord> Starts(const std::string& folder = {}) const;
    bool WaitForStarts(std::size_t count, const std::string& folder = {}) const;
    void ClearStarts(const std::string& folder = {}) const;

private:
    ProductTree tree_{ProductTree::Runtime::None};
};

// regsvr32 of this bitness on `path`, silent; its exit code (0: success).
DWORD RunRegsvr32(const std::string& path, bool unregister);

// Registry reads under HKEY_CLASSES_ROOT, in this build's view.
bool KeyExists(const std::wstring& key);
// The REG_SZ value (default value for an empty name); nothing when key or value is missing.
std::optional<std::wstring> ReadString(const std::wstring& key, const std::wstring& name = L"");
std::vector<std::wstring> SubKeys(const std::wstring& key);
// The names of the key's named values (the default value is not among them).
std::vector<std::wstring> ValueNames(const std::wstring& key);

// The number of handles this process has open, from the system's handle table
// (NtQuerySystemInformation class 64): Wine's GetProcessHandleCount always reports 0.
std::size_t OwnHandleCount();

// Replaces one imported function of a loaded module by `replacement` for the life of the object:
// the test sees exactly what the module passes to the platform, and forwards the call.
class ImportPatch {
public:
    ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    bool patched() const { return slot_ != nullptr; }
    void* original() const { return original_; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

}  // namespace ql::test
