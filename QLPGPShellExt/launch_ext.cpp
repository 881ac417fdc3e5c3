#include "launch_ext.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>

#include "command_request.h"
#include "drop_list.h"
#include "module.h"
#include "ownership.h"
#include "ql/product_names.h"
#include "selection_path.h"

namespace ql::shellext {

namespace {

// The platform's structures without their last member, as the menu insertion passes them.
constexpr UINT kMenuItemInfoSize = offsetof(MENUITEMINFOA, hbmpItem);
static_assert(kMenuItemInfoSize == (sizeof(void*) == 8 ? 72 : 44));
static_assert(sizeof(SHELLEXECUTEINFOA) == (sizeof(void*) == 8 ? 112 : 60));

constexpr UINT kIdentifiersUsed = 9;  // offsets 0..7 for the popup's items, 8 for the submenu item

struct CommandText {
    int kind;
    const char* menuText;
    const char* helpText;      // null: none
    const char* commandField;  // null: not a launcher command
};

constexpr CommandText kCommands[] = {
    {CMD_PROTECT, "Protect", "Protect selected files and/or directories", "protect"},
    {CMD_SECURE_TEXT_EDITOR, "Secure text editor", "Show Quillora OpenPGP secure text editor", "secure_text_editor"},
    {CMD_UNPROTECT, "Unprotect", "Decrypt and/or verify selected files", "unprotect"},
    {CMD_WIPE, "Secure delete", "Secure delete selected files and/or directories", "wipe"},
    {CMD_KEY_MANAGER, "Key Manager", "Show Quillora OpenPGP Key manager", "key_manager"},
    {CMD_DEFAULT_SETTINGS, "Default settings", "Show Quillora OpenPGP settings", "default_settings"},
    {CMD_HELP, "Help", nullptr, nullptr},
};

const CommandText* FindCommand(int kind) {
    for (const CommandText& command : kCommands)
        if (command.kind == kind) return &command;
    return nullptr;
}

bool HasEncryptedExtension(const std::wstring& path) {
    const wchar_t* extension = PathFindExtensionW(path.c_str());
    return lstrcmpiW(extension, L".asc") == 0 || lstrcmpiW(extension, L".pgp") == 0;
}

// The selected paths in UTF-16, however long; an 8-bit list is taken through the ANSI code page.
std::vector<std::wstring> DroppedPaths(const void* block, SIZE_T size) {
    const DropList list = ReadDropList(block, size);
    std::vector<std::wstring> paths;
    for (const std::u16string& name : list.wideNames) paths.emplace_back(name.begin(), name.end());
    for (const std::string& name : list.ansiNames) {
        const int length = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
        std::wstring path(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
        MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), path.data(), length);
        paths.push_back(std::move(path));
    }
    return paths;
}

// The failure of the platform call that just failed; never a success code, even when the call left
// no error behind.
HRESULT LastErrorResult() {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// This library's folder, without a trailing backslash; nothing (the last error says why) when its
// path cannot be had whole. A failed call leaves an empty path and a cut one a parent folder, and
// either would start whatever program lies there ("\QuilloraOpenPGP.exe" at the drive's root).
std::optional<std::string> ExtensionFolder() {
    char folder[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(g_hInstance, folder, MAX_PATH);
    if (length == 0) return std::nullopt;
    if (length >= MAX_PATH) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return std::nullopt;
    }
    PathRemoveFileSpecA(folder);
    return folder;
}

void ShowExecuteFailure(DWORD error) {
    char message[128];
    wsprintfA(message, "Failed to execute command. Error code: %d", static_cast<int>(error));
    MessageBoxA(nullptr, message, "Error", MB_ICONERROR);
}

// Starts the launcher with one request; shows the failure to the user. With `process`, the launcher's
// process handle is asked for and handed back.
bool StartLauncher(const std::string& program, const std::string& folder, const std::string& request,
                   HANDLE* process = nullptr) {
    SHELLEXECUTEINFOA execute = {};
    execute.cbSize = sizeof execute;
    execute.fMask = process != nullptr ? SEE_MASK_NOCLOSEPROCESS : 0;
    execute.hwnd = nullptr;
    execute.lpVerb = nullptr;
    execute.lpFile = program.c_str();
    execute.lpParameters = request.c_str();
    execute.lpDirectory = folder.c_str();
    execute.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&execute)) {
        ShowExecuteFailure(GetLastError());
        return false;
    }
    if (process != nullptr) *process = execute.hProcess;
    return true;
}

// The requests of one command that needs several launches, and the reference on this library that
// keeps it loaded while they are started.
struct LaunchSeries {
    std::string program;
    std::string folder;
    std::vector<std::string> requests;
    HMODULE module = nullptr;
};

// Waits until a launcher has its request in the running launcher's hands (it ended) or is itself
// the running launcher (it owns the monitor window), so that the next request arrives after it.
// False when it ended with a failure of its own, which it has shown to the user.
bool AwaitHandOver(HANDLE process) {
    constexpr DWORD kLookEveryMs = 50;
    const DWORD id = GetProcessId(process);
    for (;;) {
        if (WaitForSingleObject(process, kLookEveryMs) != WAIT_TIMEOUT) {
            DWORD code = 0;
            return GetExitCodeProcess(process, &code) && code == 0;
        }
        DWORD owner = 0;
        if (HWND monitor = FindWindowA(ql::kMonitorClassName, ql::kMonitorWindowTitle))
            GetWindowThreadProcessId(monitor, &owner);
        if (owner == id) return true;
    }
}

// Thread: starts one launcher per request, in order, each once the one before has handed its
// request over. A failure stops the series: the user has been told, and the rest would fail alike.
DWORD WINAPI RunLaunchSeries(void* parameter) {
    const HMODULE module = static_cast<LaunchSeries*>(parameter)->module;
    {
        const std::unique_ptr<LaunchSeries> series(static_cast<LaunchSeries*>(parameter));
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        for (const std::string& request : series->requests) {
            HANDLE process = nullptr;
            if (!StartLauncher(series->program, series->folder, request, &process)) break;
            if (process == nullptr) continue;  // started through something that gives no process
            const bool handedOver = AwaitHandOver(process);
            CloseHandle(process);
            if (!handedOver) break;
        }
        if (SUCCEEDED(com)) CoUninitialize();
    }
    UnlockModule();
    FreeLibraryAndExitThread(module, 0);
}

// Starts the series on a thread of its own, so that Explorer's thread returns at once.
void StartLaunchSeries(std::unique_ptr<LaunchSeries> series) {
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&RunLaunchSeries),
                            &series->module))
        series->module = nullptr;
    LockModule();
    if (series->module != nullptr) {
        if (HANDLE thread = CreateThread(nullptr, 0, &RunLaunchSeries, series.get(), 0, nullptr)) {
            series.release();  // the thread's now
            CloseHandle(thread);
            return;
        }
    }
    const DWORD error = GetLastError();
    if (series->module != nullptr) FreeLibrary(series->module);
    UnlockModule();
    ShowExecuteFailure(error);
}

}  // namespace

CQLPGPLaunchExt::CQLPGPLaunchExt() { LockModule(); }
CQLPGPLaunchExt::~CQLPGPLaunchExt() { UnlockModule(); }

CQLPGPLaunchExt* CreateLaunchExt() noexcept { return new (std::nothrow) CQLPGPLaunchExt(); }

STDMETHODIMP CQLPGPLaunchExt::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IQLPGPLaunchExt) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, IID_IUnknown)) {
        *ppv = static_cast<IQLPGPLaunchExt*>(this);
    } else if (IsEqualIID(riid, IID_IShellExtInit)) {
        *ppv = static_cast<IShellExtInit*>(this);
    } else if (IsEqualIID(riid, IID_IContextMenu)) {
        *ppv = static_cast<IContextMenu*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CQLPGPLaunchExt::AddRef() { return ++m_refCount; }

STDMETHODIMP_(ULONG) CQLPGPLaunchExt::Release() {
    const ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
}

// --- IDispatch: the interface has no members, so the type information answers everything.

namespace {

HRESULT LoadLaunchExtTypeInfo(LCID lcid, ITypeInfo** typeInfo) {
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadRegTypeLib(LIBID_QLPGPShellExtLib, 1, 0, lcid, library.put());
    if (FAILED(hr)) {
        // Not registered (or registered elsewhere): the library carries its own copy.
        wchar_t path[MAX_PATH] = {};
        if (GetModuleFileNameW(g_hInstance, path, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());
        hr = LoadTypeLibEx(path, REGKIND_NONE, library.put());
        if (FAILED(hr)) return hr;
    }
    return library->GetTypeInfoOfGuid(IID_IQLPGPLaunchExt, typeInfo);
}

}  // namespace

STDMETHODIMP CQLPGPLaunchExt::GetTypeInfoCount(UINT* pctinfo) {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

STDMETHODIMP CQLPGPLaunchExt::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
    if (ppTInfo == nullptr) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    return LoadLaunchExtTypeInfo(lcid, ppTInfo);
}

STDMETHODIMP CQLPGPLaunchExt::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                            DISPID* rgDispId) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    // The type information would read and write through these unchecked.
    if (cNames > 0 && (rgszNames == nullptr || rgDispId == nullptr)) return E_INVALIDARG;
    ComPtr<ITypeInfo> typeInfo;
    const HRESULT hr = LoadLaunchExtTypeInfo(lcid, typeInfo.put());
    if (FAILED(hr)) return hr;
    return typeInfo->GetIDsOfNames(rgszNames, cNames, rgDispId);
}

STDMETHODIMP CQLPGPLaunchExt::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                     UINT* puArgErr) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (pDispParams == nullptr) return E_INVALIDARG;
    ComPtr<ITypeInfo> typeInfo;
    const HRESULT hr = LoadLaunchExtTypeInfo(lcid, typeInfo.put());
    if (FAILED(hr)) return hr;
    return typeInfo->Invoke(static_cast<IQLPGPLaunchExt*>(this), dispIdMember, wFlags, pDispParams, pVarResult,
                            pExcepInfo, puArgErr);
}

// --- IShellExtInit

STDMETHODIMP CQLPGPLaunchExt::Initialize(PCIDLIST_ABSOLUTE, IDataObject* pdtobj, HKEY) {
    if (pdtobj == nullptr) return E_INVALIDARG;
    try {
        return CaptureSelection(pdtobj);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CQLPGPLaunchExt::CaptureSelection(IDataObject* dataObject) {
    FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    if (FAILED(dataObject->GetData(&format, &medium))) return E_INVALIDARG;
    const LockedGlobalMedium locked(medium);
    if (locked.data() == nullptr) return E_INVALIDARG;

    // Read in one pass: DragQueryFileW would walk the list from its start for every entry.
    for (const std::wstring& path : DroppedPaths(locked.data(), GlobalSize(locked.global()))) {
        // An entry the ANSI code page cannot name exactly is left out rather than renamed.
        std::optional<std::string> ansiPath = AnsiPathFor(path);
        if (!ansiPath) continue;
        m_files.push_back(std::move(*ansiPath));
        if (!m_bHasDirectory && IsFolderPath(path)) m_bHasDirectory = TRUE;
        if (!m_bHasEncrypted && HasEncryptedExtension(path)) m_bHasEncrypted = TRUE;
    }
    return m_files.empty() ? E_INVALIDARG : S_OK;
}

// --- IContextMenu

STDMETHODIMP CQLPGPLaunchExt::QueryContextMenu(HMENU hmenu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                                               UINT uFlags) {
    if (uFlags & CMF_DEFAULTONLY) return S_OK;
    // Too few identifiers for the whole menu: add nothing rather than step past idCmdLast.
    if (idCmdLast < idCmdFirst || idCmdLast - idCmdFirst < kIdentifiersUsed - 1)
        return MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_NULL, 0);
    try {
        return BuildMenu(hmenu, indexMenu, idCmdFirst);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CQLPGPLaunchExt::BuildMenu(HMENU hmenu, UINT indexMenu, UINT idCmdFirst) {
    SetLastError(ERROR_SUCCESS);
    UniqueMenu popup(CreatePopupMenu());
    if (!popup) return LastErrorResult();

    const bool unprotectFirst = !m_bHasDirectory && m_bHasEncrypted;
    struct Item {
        UINT flags;
        int kind;  // 0: separator
    };
    const Item items[] = {
        {MF_STRING, unprotectFirst ? CMD_UNPROTECT : CMD_PROTECT},
        {MF_STRING, CMD_SECURE_TEXT_EDITOR},
        {MF_STRING, CMD_WIPE},
        {MF_SEPARATOR, 0},
        {MF_STRING, CMD_KEY_MANAGER},
        {MF_STRING, CMD_DEFAULT_SETTINGS},
        {MF_SEPARATOR, 0},
        {MF_STRING, CMD_HELP},
    };
    // The offsets take their commands only once the menu is in place: a menu that could not be added
    // runs nothing.
    std::map<int, int> commands;
    for (UINT offset = 0; offset < std::size(items); ++offset) {
        const Item& item = items[offset];
        const char* text = item.kind == 0 ? "" : FindCommand(item.kind)->menuText;
        if (!InsertMenuA(popup.get(), offset, MF_BYPOSITION | item.flags, idCmdFirst + offset, text))
            return LastErrorResult();
        if (item.kind != 0) commands[static_cast<int>(offset)] = item.kind;
    }

    char title[] = "Quillora OpenPGP";
    MENUITEMINFOA info = {};
    info.cbSize = kMenuItemInfoSize;
    info.fMask = MIIM_ID | MIIM_SUBMENU | MIIM_TYPE;
    info.fType = MFT_STRING;
    info.wID = idCmdFirst + kIdentifiersUsed - 1;
    info.hSubMenu = popup.get();
    info.dwTypeData = title;
    SetLastError(ERROR_SUCCESS);
    if (!InsertMenuItemA(hmenu, indexMenu, TRUE, &info)) return LastErrorResult();
    popup.release();  // Explorer's menu owns it now and destroys it with itself
    for (const auto& [offset, kind] : commands) m_commands[offset] = kind;
    return MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_NULL, kIdentifiersUsed);
}

STDMETHODIMP CQLPGPLaunchExt::GetCommandString(UINT_PTR idCmd, UINT uType, UINT*, LPSTR pszName, UINT cchMax) {
    // Verb and validation requests: the handler has no text verbs.
    if ((uType & GCS_HELPTEXTA) == 0) return S_OK;
    const auto found = m_commands.find(static_cast<int>(idCmd));
    if (idCmd > INT32_MAX || found == m_commands.end()) return E_INVALIDARG;
    const CommandText* command = FindCommand(found->second);
    if (command == nullptr || command->helpText == nullptr || pszName == nullptr) return E_INVALIDARG;
    if (uType & GCS_UNICODE) {
        wchar_t wide[128] = {};
        MultiByteToWideChar(CP_THREAD_ACP, 0, command->helpText, -1, wide, static_cast<int>(std::size(wide)));
        lstrcpynW(reinterpret_cast<LPWSTR>(pszName), wide, static_cast<int>(cchMax));
    } else {
        lstrcpynA(pszName, command->helpText, static_cast<int>(cchMax));
    }
    return S_OK;
}

STDMETHODIMP CQLPGPLaunchExt::InvokeCommand(LPCMINVOKECOMMANDINFO pici) {
    if (pici == nullptr) return E_INVALIDARG;
    // A verb given as text: decided on the whole pointer, since a 64-bit text verb may lie where the
    // low 32 bits of its address read as an offset.
    const UINT_PTR verb = reinterpret_cast<UINT_PTR>(pici->lpVerb);
    if (!IS_INTRESOURCE(verb)) return E_INVALIDARG;
    const auto found = m_commands.find(static_cast<int>(verb & 0xFFFF));
    if (found == m_commands.end()) return E_INVALIDARG;
    try {
        RunCommand(found->second, pici->hwnd);
    } catch (...) {
        // Out of memory while building the request: the command is not run.
    }
    return S_OK;
}

void CQLPGPLaunchExt::RunCommand(int kind, HWND ownerWindow) {
    const CommandText* command = FindCommand(kind);
    if (command == nullptr) return;
    // A window handle's whole value sits in its low 32 bits, in both builds.
    const auto window = static_cast<std::int32_t>(reinterpret_cast<UINT_PTR>(ownerWindow));
    const std::optional<std::string> ownFolder = ExtensionFolder();
    if (!ownFolder) {
        // The help page is never reported; a command that cannot find its launcher is.
        if (kind != CMD_HELP) ShowExecuteFailure(GetLastError());
        return;
    }
    const std::string& folder = *ownFolder;

    if (kind == CMD_HELP) {
        const std::string page = folder + "\\..\\help\\index.htm";
        char canonical[MAX_PATH] = {};
        if (page.size() >= MAX_PATH || !PathCanonicalizeA(canonical, page.c_str())) return;
        ShellExecuteA(ownerWindow, "open", canonical, nullptr, nullptr, SW_SHOWMAXIMIZED);
        return;
    }

    const std::string program = folder + "\\QuilloraOpenPGP.exe";
    // As many requests as it takes for every launch to stay within the command-line limit.
    std::vector<std::string> requests = BuildCommandRequests(window, command->commandField, m_files);
    if (requests.size() == 1) {
        StartLauncher(program, folder, requests.front());
        return;
    }
    auto series = std::make_unique<LaunchSeries>();
    series->program = program;
    series->folder = folder;
    series->requests = std::move(requests);
    StartLaunchSeries(std::move(series));
}

}  // namespace ql::shellext
