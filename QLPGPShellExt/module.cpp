// The in-process server: the module object, the class factory, the exports and the entry point.
#include "module.h"

#include <ole2.h>

#include <new>
#include <span>
#include <string>
#include <utility>

#include "app_id.h"
#include "launch_ext.h"
#include "ownership.h"
#include "registrar.h"

HINSTANCE g_hInstance = nullptr;

namespace ql::shellext {

namespace {

constexpr int kAppIdScript = 101;
constexpr int kClassScript = 102;

using ClassObjectCreator = HRESULT (*)(IUnknown** classObject);
using ScriptRunner = HRESULT (*)(bool doRegister);

// One row per creatable class; the extension has one.
struct ObjectMapEntry {
    const CLSID* clsid;
    ScriptRunner updateRegistry;
    ClassObjectCreator createClassObject;
    IUnknown* cachedClassObject;  // published and read only through the two functions below
};

// The cached class object is read without the lock by every request after the first, possibly on
// another thread than the one that made it: it is published with a full barrier, after the object
// is complete, and read with one, so no thread sees the pointer before the object behind it.
IUnknown* ReadClassObject(ObjectMapEntry& entry) noexcept {
    return static_cast<IUnknown*>(
        InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&entry.cachedClassObject), nullptr, nullptr));
}
IUnknown* ExchangeClassObject(ObjectMapEntry& entry, IUnknown* classObject) noexcept {
    return static_cast<IUnknown*>(
        InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&entry.cachedClassObject), classObject));
}

class CQLPGPShellExtModule {
public:
    CQLPGPShellExtModule() noexcept {
        if (!InitializeCriticalSectionAndSpinCount(&classObjectLock_, 0)) failed_ = true;
    }
    ~CQLPGPShellExtModule() {
        for (ObjectMapEntry& entry : objectMap_)
            if (IUnknown* classObject = ExchangeClassObject(entry, nullptr)) classObject->Release();
        if (!failed_) DeleteCriticalSection(&classObjectLock_);
    }
    CQLPGPShellExtModule(const CQLPGPShellExtModule&) = delete;
    CQLPGPShellExtModule& operator=(const CQLPGPShellExtModule&) = delete;

    bool failed() const noexcept { return failed_; }
    void Lock() noexcept { InterlockedIncrement(&lockCount_); }
    void Unlock() noexcept { InterlockedDecrement(&lockCount_); }
    LONG LockCount() const noexcept { return InterlockedCompareExchange(const_cast<LONG*>(&lockCount_), 0, 0); }

    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
    std::span<ObjectMapEntry> objectMap() noexcept { return objectMap_; }

private:
    static HRESULT UpdateLaunchExtRegistry(bool doRegister);
    static HRESULT CreateLaunchExtClassObject(IUnknown** classObject);

    LONG lockCount_ = 0;
    ObjectMapEntry objectMap_[1] = {
        {&CLSID_QLPGPLaunchExt, &UpdateLaunchExtRegistry, &CreateLaunchExtClassObject, nullptr},
    };
    CRITICAL_SECTION classObjectLock_{};
    bool failed_ = false;
};

CQLPGPShellExtModule g_module;

// The class object: its reference count is interlocked, and every reference beyond the object
// map's own holds the module, so a client that keeps the factory keeps the library loaded.
class LaunchExtFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        const LONG count = InterlockedIncrement(&refCount_);
        if (count == 2) g_module.Lock();
        return static_cast<ULONG>(count);
    }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = InterlockedDecrement(&refCount_);
        if (count == 1) g_module.Unlock();
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        CQLPGPLaunchExt* object = CreateLaunchExt();
        if (object == nullptr) return E_OUTOFMEMORY;
        // The creation reference goes once the query has added its own; a failed query destroys it.
        const HRESULT hr = static_cast<IQLPGPLaunchExt*>(object)->QueryInterface(riid, ppv);
        static_cast<IQLPGPLaunchExt*>(object)->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL fLock) override {
        if (fLock) {
            g_module.Lock();
        } else {
            g_module.Unlock();
        }
        return S_OK;
    }

private:
    LONG refCount_ = 1;
};

HRESULT CQLPGPShellExtModule::CreateLaunchExtClassObject(IUnknown** classObject) {
    auto* factory = new (std::nothrow) LaunchExtFactory();
    if (factory == nullptr) return E_OUTOFMEMORY;
    *classObject = factory;
    return S_OK;
}

HRESULT CQLPGPShellExtModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (failed_) return E_UNEXPECTED;
    for (ObjectMapEntry& entry : objectMap_) {
        if (!IsEqualCLSID(*entry.clsid, rclsid)) continue;
        IUnknown* classObject = ReadClassObject(entry);
        if (classObject == nullptr) {
            EnterCriticalSection(&classObjectLock_);
            HRESULT created = S_OK;
            classObject = ReadClassObject(entry);
            if (classObject == nullptr) {
                created = entry.createClassObject(&classObject);
                if (SUCCEEDED(created)) ExchangeClassObject(entry, classObject);
            }
            LeaveCriticalSection(&classObjectLock_);
            if (FAILED(created)) return created;
        }
        const HRESULT hr = classObject->QueryInterface(riid, ppv);
        if (SUCCEEDED(hr) && *ppv == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

// The library's own path (GetModuleFileNameA) in UTF-16 through the thread's ANSI code page.
HRESULT ModulePath(std::string& ansi, std::wstring& wide) {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(g_hInstance, path, MAX_PATH);
    if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
    if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    ansi.assign(path, length);
    const int wideLength = MultiByteToWideChar(CP_THREAD_ACP, 0, path, static_cast<int>(length), nullptr, 0);
    wide.assign(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, path, static_cast<int>(length), wide.data(), wideLength);
    return S_OK;
}

HRESULT RunScript(int resourceId, registrar::Direction direction) {
    std::string ansiPath;
    std::wstring widePath;
    const HRESULT hr = ModulePath(ansiPath, widePath);
    if (FAILED(hr)) return hr;
    const std::u16string module(widePath.begin(), widePath.end());
    const registrar::Replacements replacements = {
        {u"APPID", kAppId},
        {u"MODULE", registrar::QuoteForScript(module)},
    };
    return registrar::RunScriptResource(ansiPath.c_str(), resourceId, replacements, direction);
}

HRESULT CQLPGPShellExtModule::UpdateLaunchExtRegistry(bool doRegister) {
    return RunScript(kClassScript, doRegister ? registrar::Direction::Register : registrar::Direction::Unregister);
}

// The type library from the library file's resource, else from the .tlb file beside it.
HRESULT LoadOwnTypeLib(std::wstring& path, ITypeLib** library) {
    std::string ansiPath;
    HRESULT hr = ModulePath(ansiPath, path);
    if (FAILED(hr)) return hr;
    hr = LoadTypeLib(path.c_str(), library);
    if (SUCCEEDED(hr)) return hr;
    std::wstring tlb = path;
    const std::size_t dot = tlb.find_last_of(L'.');
    const std::size_t slash = tlb.find_last_of(L'\\');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) tlb.resize(dot);
    tlb += L".tlb";
    return LoadTypeLib(tlb.c_str(), library);
}

HRESULT RegisterOwnTypeLib() {
    std::wstring path;
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadOwnTypeLib(path, library.put());
    if (FAILED(hr)) return hr;
    // A help file would give a help folder; this library names none.
    BSTR helpFile = nullptr;
    std::wstring helpFolder;
    if (SUCCEEDED(library->GetDocumentation(-1, nullptr, nullptr, nullptr, &helpFile)) && helpFile != nullptr) {
        helpFolder = helpFile;
        const std::size_t slash = helpFolder.find_last_of(L'\\');
        helpFolder.resize(slash == std::wstring::npos ? 0 : slash);
        SysFreeString(helpFile);
    }
    return RegisterTypeLib(library.get(), path.data(), helpFolder.empty() ? nullptr : helpFolder.data());
}

HRESULT UnregisterOwnTypeLib() {
    std::wstring path;
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadOwnTypeLib(path, library.put());
    if (FAILED(hr)) return hr;
    TLIBATTR* attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (FAILED(hr)) return hr;
    hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                           attributes->syskind);
    library->ReleaseTLibAttr(attributes);
    return hr;
}

HRESULT RegisterServer() {
    HRESULT hr = RunScript(kAppIdScript, registrar::Direction::Register);
    if (FAILED(hr)) return hr;
    for (ObjectMapEntry& entry : g_module.objectMap()) {
        hr = entry.updateRegistry(true);
        if (FAILED(hr)) return hr;
    }
    return RegisterOwnTypeLib();
}

HRESULT UnregisterServer() {
    HRESULT hr = S_OK;
    for (ObjectMapEntry& entry : g_module.objectMap()) {
        hr = entry.updateRegistry(false);
        if (FAILED(hr)) return hr;
    }
    hr = UnregisterOwnTypeLib();
    if (FAILED(hr)) return hr;
    return RunScript(kAppIdScript, registrar::Direction::Unregister);
}

}  // namespace

void LockModule() noexcept { g_module.Lock(); }
void UnlockModule() noexcept { g_module.Unlock(); }

}  // namespace ql::shellext

using ql::shellext::g_module;

extern "C" {

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    try {
        return g_module.GetClassObject(rclsid, riid, ppv);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllCanUnloadNow() { return g_module.LockCount() == 0 ? S_OK : S_FALSE; }

// Registration is machine-wide and runs in the system's default locale, whatever the host's is.
STDAPI DllRegisterServer() {
    const ql::shellext::ScopedThreadLocale systemLocale(LOCALE_SYSTEM_DEFAULT);
    try {
        return ql::shellext::RegisterServer();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllUnregisterServer() {
    const ql::shellext::ScopedThreadLocale systemLocale(LOCALE_SYSTEM_DEFAULT);
    try {
        return ql::shellext::UnregisterServer();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID) {
    g_hInstance = hInstance;
    if (reason == DLL_PROCESS_ATTACH && g_module.failed()) return FALSE;
    return TRUE;
}

}  // extern "C"
