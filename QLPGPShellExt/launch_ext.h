// The context-menu handler: one object per Explorer context menu. It takes the selection, adds the
// submenu "Quillora OpenPGP" and starts the launcher beside this library with the picked command
// and every selected path.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <map>
#include <string>
#include <vector>

#include "QLPGPShellExt_h.h"

namespace ql::shellext {

enum CommandKind : int {
    CMD_PROTECT = 1,
    CMD_SECURE_TEXT_EDITOR = 2,
    CMD_UNPROTECT = 5,
    CMD_WIPE = 6,
    CMD_KEY_MANAGER = 7,
    CMD_DEFAULT_SETTINGS = 8,
    CMD_HELP = 9,
};

// Apartment-threaded: every call comes on the thread that created the object, so the reference
// count is a plain one. The object holds one module lock for its life.
class CQLPGPLaunchExt final : public IQLPGPLaunchExt, public IShellExtInit, public IContextMenu {
public:
    CQLPGPLaunchExt();
    CQLPGPLaunchExt(const CQLPGPLaunchExt&) = delete;
    CQLPGPLaunchExt& operator=(const CQLPGPLaunchExt&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch, answered from the type library
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

    // IShellExtInit
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE pidlFolder, IDataObject* pdtobj, HKEY hkeyProgID) override;

    // IContextMenu
    STDMETHODIMP QueryContextMenu(HMENU hmenu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast, UINT uFlags) override;
    STDMETHODIMP InvokeCommand(LPCMINVOKECOMMANDINFO pici) override;
    STDMETHODIMP GetCommandString(UINT_PTR idCmd, UINT uType, UINT* pReserved, LPSTR pszName, UINT cchMax) override;

private:
    virtual ~CQLPGPLaunchExt();

    void RunCommand(int kind, HWND ownerWindow);
    HRESULT CaptureSelection(IDataObject* dataObject);
    HRESULT BuildMenu(HMENU hmenu, UINT indexMenu, UINT idCmdFirst);

    ULONG m_refCount = 1;

    BOOL m_bHasDirectory = FALSE;
    BOOL m_bHasEncrypted = FALSE;
    std::vector<std::string> m_files;
    std::map<int, int> m_commands;
};

// A new handler object with one reference, or null when memory ran out.
CQLPGPLaunchExt* CreateLaunchExt() noexcept;

}  // namespace ql::shellext
