#include "late_bound.h"

namespace ql::late {
namespace {

// The function `name` of `library`, or null. The DLL is never freed: natives may run again, and
// Windows keeps a system DLL loaded anyway once a process has used it.
template <typename Function>
Function* Bind(const char* library, const char* name) {
    HMODULE module = LoadLibraryA(library);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Bound once per process, on the first call (thread-safe static initialisation).
#define QL_LATE_BOUND(library, function) \
    static auto* const bound = Bind<decltype(::function)>(library, #function)

HRESULT LastErrorResult() {
    const DWORD error = GetLastError();
    return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace

HRESULT CoInitialize(LPVOID reserved) {
    QL_LATE_BOUND("ole32.dll", CoInitialize);
    return bound != nullptr ? bound(reserved) : LastErrorResult();
}

void CoUninitialize() {
    QL_LATE_BOUND("ole32.dll", CoUninitialize);
    if (bound != nullptr) bound();
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
    QL_LATE_BOUND("ole32.dll", CoCreateInstance);
    if (bound != nullptr) return bound(clsid, outer, context, iid, object);
    if (object != nullptr) *object = nullptr;
    return LastErrorResult();
}

void CoTaskMemFree(LPVOID memory) {
    QL_LATE_BOUND("ole32.dll", CoTaskMemFree);
    if (bound != nullptr) bound(memory);
}

BSTR SysAllocString(const OLECHAR* text) {
    QL_LATE_BOUND("oleaut32.dll", SysAllocString);
    return bound != nullptr ? bound(text) : nullptr;
}

void SysFreeString(BSTR text) {
    QL_LATE_BOUND("oleaut32.dll", SysFreeString);
    if (bound != nullptr) bound(text);
}

INT_PTR PropertySheetA(LPCPROPSHEETHEADERA header) {
    QL_LATE_BOUND("comctl32.dll", PropertySheetA);
    return bound != nullptr ? bound(header) : -1;
}

BOOL DestroyPropertySheetPage(HPROPSHEETPAGE page) {
    QL_LATE_BOUND("comctl32.dll", DestroyPropertySheetPage);
    return bound != nullptr ? bound(page) : FALSE;
}

UCHAR Netbios(PNCB ncb) {
    QL_LATE_BOUND("netapi32.dll", Netbios);
    return bound != nullptr ? bound(ncb) : NRC_SYSTEM;
}

}  // namespace ql::late
