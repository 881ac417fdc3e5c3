// System functions that only some natives need, bound when first called instead of at load time.
//
// The launcher links this library at load time, so every import of the library is loaded into every
// launcher process, a forwarder that lives a fraction of a second too. Under Wine ole32, oleaut32,
// comctl32 and netapi32 (with what they load in turn) cost a forwarder about as much as starting a
// whole program; only scheduleTask and getHAddresses use them. Each function here loads its DLL the
// way the load-time import did (LoadLibraryA's search, so a DLL override beside the program still
// applies), keeps it loaded for the life of the process, and answers with the function's own
// failure result when the DLL or the function cannot be found.
#pragma once

#include <windows.h>
#include <nb30.h>
#include <oleauto.h>
#include <prsht.h>

namespace ql::late {

// ole32; CoInitialize and CoCreateInstance fail with the load error as an HRESULT.
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object);
void CoTaskMemFree(LPVOID memory);
// oleaut32; SysAllocString gives null when unavailable, as when out of memory.
BSTR SysAllocString(const OLECHAR* text);
void SysFreeString(BSTR text);
// comctl32; PropertySheetA gives -1 (its failure) and DestroyPropertySheetPage FALSE.
INT_PTR PropertySheetA(LPCPROPSHEETHEADERA header);
BOOL DestroyPropertySheetPage(HPROPSHEETPAGE page);
// netapi32; NRC_SYSTEM when unavailable.
UCHAR Netbios(PNCB ncb);

}  // namespace ql::late
