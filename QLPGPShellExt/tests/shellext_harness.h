// Shared steps of the extension's tests: a product tree holding a copy of the extension, its
// registration with the system's regsvr32, and a look at what the extension passes to the platform.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

#include "printers.h"
#include "registry_snapshot.h"
#include "sandbox.h"
#include "text.h"

namespace ql::test {

// Generous bounds for things that normally take well under a second (32-bit runs go through qemu).
inline constexpr DWORD kWaitMs = 30000;

// This build's extension file name: QLPGPShellExt.dll or QLPGPShellExt64.dll.
inline std::string ExtensionFileName() { return sizeof(void*) == 8 ? "QLPGPShellExt64.dll" : "QLPGPShellExt.dll"; }

// The extension's product tree (see sandbox.h): a copy of the extension and the bridge library in
// bin\, the recorder program as the launcher QuilloraOpenPGP.exe, and a help page help\index.htm.
struct ExtensionTree : ProductTree {
    ExtensionTree() : ProductTree(Contents{{ExtensionFileName(), "QLPGPUtils.dll"}, false, true, {"QuilloraOpenPGP.exe"}}) {}
    std::string extension() const { return bin() + ExtensionFileName(); }
    // Without a trailing backslash, as the extension forms it.
    std::string binFolder() const { return bin().substr(0, bin().size() - 1); }
};

// COM on this thread, in a single-threaded apartment as on Explorer's threads, for the object's life.
struct Com {
    Com() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Com() { CoUninitialize(); }
};

// Explorer as the extension's host: its own menu, with two items around the place the extension is
// given, an item of a menu read back, and a command invoked by its offset (or a text verb's address).
struct ExplorerMenu {
    HMENU menu = CreatePopupMenu();
    ExplorerMenu() {
        AppendMenuW(menu, MF_STRING, 1, L"Open");
        AppendMenuW(menu, MF_STRING, 2, L"Properties");
    }
    ~ExplorerMenu() { DestroyMenu(menu); }
    ExplorerMenu(const ExplorerMenu&) = delete;
    ExplorerMenu& operator=(const ExplorerMenu&) = delete;
};

struct MenuItemSeen {
    UINT type = 0, state = 0, id = 0;
    HMENU submenu = nullptr;
    HBITMAP bitmap = nullptr;
    std::wstring text;
};
MenuItemSeen ReadItem(HMENU menu, UINT position);

inline HRESULT Invoke(IContextMenu* menu, UINT_PTR verb, HWND owner = nullptr) {
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    info.hwnd = owner;
    info.lpVerb = reinterpret_cast<LPCSTR>(verb);
    info.nShow = SW_SHOWNORMAL;
    return menu->InvokeCommand(&info);
}

// regsvr32 of this bitness on `path`, silent; its exit code (0: success).
DWORD RunRegsvr32(const std::string& path, bool unregister);

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
