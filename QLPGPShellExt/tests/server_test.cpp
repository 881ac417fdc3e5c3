// The in-process server: registration and removal by the system's regsvr32 (read back from the
// registry), the type library, the class factory and the library's lifetime rules.
#include <doctest/doctest.h>

#include <windows.h>
#include <ole2.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "QLPGPShellExt_h.h"
#include "ql/com_ptr.h"
#include "shellext_harness.h"

using namespace ql::test;

namespace {

const std::string kClsid = "{DA19D376-8A92-474B-A4B0-44FEA32CA561}";
const std::string kAppId = "{4C73F365-AEE3-40CD-BF6A-4F1D26EA2D5D}";
const std::string kLibId = "{A03773EF-0FCD-4F47-92E0-9A49C56E1E7A}";
const std::string kClassKey = "CLSID\\" + kClsid;
const std::string kProgId = "QLPGPShellExt.QLPGPLaunchExt";
// This build's view of the type library's registration.
const std::string kTypeLibKey = "TypeLib\\" + kLibId + "\\1.0\\0\\" + (sizeof(void*) == 8 ? "win64" : "win32");

// The tree below each of `keys` in the classes, in one.
RegistrySnapshot Classes(const std::vector<std::string>& keys) {
    RegistrySnapshot found;
    for (const std::string& key : keys) found.Merge(RegistrySnapshot(HKEY_CLASSES_ROOT, key));
    return found;
}

// The name and help text a type library or a type gives of itself, as "name | help".
template <typename T>
std::string Documentation(T* item) {
    BSTR name = nullptr, help = nullptr;
    REQUIRE(item->GetDocumentation(-1, &name, &help, nullptr, nullptr) == S_OK);
    const std::string text = ToUtf8(name ? name : L"") + " | " + ToUtf8(help ? help : L"");
    SysFreeString(name);
    SysFreeString(help);
    return text;
}

TYPEATTR Attributes(ITypeInfo* info) {
    TYPEATTR* attributes = nullptr;
    REQUIRE(info->GetTypeAttr(&attributes) == S_OK);
    const TYPEATTR copy = *attributes;
    info->ReleaseTypeAttr(attributes);
    return copy;
}

// The extension loaded straight into this process, as a registration host or COM would load it.
struct LoadedExtension {
    HMODULE module;
    HRESULT(STDAPICALLTYPE* DllGetClassObject)(REFCLSID, REFIID, void**);
    HRESULT(STDAPICALLTYPE* DllCanUnloadNow)();
    HRESULT(STDAPICALLTYPE* DllRegisterServer)();
    HRESULT(STDAPICALLTYPE* DllUnregisterServer)();
    explicit LoadedExtension(const std::string& path) : module(LoadLibraryA(path.c_str())) {
        REQUIRE(module != nullptr);
        DllGetClassObject = reinterpret_cast<decltype(DllGetClassObject)>(GetProcAddress(module, "DllGetClassObject"));
        DllCanUnloadNow = reinterpret_cast<decltype(DllCanUnloadNow)>(GetProcAddress(module, "DllCanUnloadNow"));
        DllRegisterServer = reinterpret_cast<decltype(DllRegisterServer)>(GetProcAddress(module, "DllRegisterServer"));
        DllUnregisterServer = reinterpret_cast<decltype(DllUnregisterServer)>(GetProcAddress(module, "DllUnregisterServer"));
        REQUIRE(reinterpret_cast<void*>(DllGetClassObject) != nullptr);
        REQUIRE(reinterpret_cast<void*>(DllCanUnloadNow) != nullptr);
        REQUIRE(reinterpret_cast<void*>(DllRegisterServer) != nullptr);
        REQUIRE(reinterpret_cast<void*>(DllUnregisterServer) != nullptr);
    }
    ~LoadedExtension() { FreeLibrary(module); }
};

}  // namespace

TEST_SUITE_BEGIN("server");

TEST_CASE("regsvr32 writes every key and value of the registration, and regsvr32 /u removes them") {
    Com com;
    ExtensionTree tree;
    const std::string module = tree.extension();
    // Another program's handler that must survive our removal.
    const std::string otherHandler = "*\\shellex\\ContextMenuHandlers\\QLTestOtherHandler";
    REQUIRE(WriteString(HKEY_CLASSES_ROOT, otherHandler, "", "{00000000-0000-0000-0000-000000000001}"));
    struct OtherHandler {
        ~OtherHandler() { RegDeleteTreeA(HKEY_CLASSES_ROOT, "*\\shellex\\ContextMenuHandlers\\QLTestOtherHandler"); }
    } removeOtherHandler;

    REQUIRE(RunRegsvr32(tree.extension(), false) == 0);

    // Every key the registration owns, whole: these keys and values, nothing more.
    const std::vector<std::string> owned = {"AppID\\" + kAppId, "AppID\\QLPGPShellExt.DLL", kProgId + ".1", kProgId, kClassKey,
                                            "*\\shellex\\ContextMenuHandlers\\QLOPGP",
                                            "Directory\\shellex\\ContextMenuHandlers\\QLOPGP"};
    const RegistrySnapshot expected = {
        {"AppID\\" + kAppId, "", "QLPGPShellExt"},
        {"AppID\\QLPGPShellExt.DLL", "AppID", kAppId},
        {kProgId + ".1", "", "QLPGPLaunchExt Class"},
        {kProgId + ".1\\CLSID", "", kClsid},
        {kProgId, "", "QLPGPLaunchExt Class"},
        {kProgId + "\\CLSID", "", kClsid},
        {kProgId + "\\CurVer", "", kProgId + ".1"},
        {kClassKey, "", "QLPGPLaunchExt Class"},
        {kClassKey, "AppID", kAppId},
        {kClassKey + "\\ProgID", "", kProgId + ".1"},
        {kClassKey + "\\VersionIndependentProgID", "", kProgId},
        {kClassKey + "\\Programmable"},
        {kClassKey + "\\InprocServer32", "", module},
        {kClassKey + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {kClassKey + "\\TypeLib", "", kLibId},
        {"*\\shellex\\ContextMenuHandlers\\QLOPGP", "", kClsid},
        {"Directory\\shellex\\ContextMenuHandlers\\QLOPGP", "", kClsid},
        {kTypeLibKey, "", module},
    };
    std::vector<std::string> registered = owned;
    registered.push_back(kTypeLibKey);
    CHECK(Differences(expected, Classes(registered)) == NoDifferences);

    // The type library as registered declares the library, the dual interface and the class.
    {
        IID libId{};
        REQUIRE(CLSIDFromString(Widen(kLibId).c_str(), &libId) == S_OK);
        ql::ComPtr<ITypeLib> library;
        REQUIRE(LoadRegTypeLib(libId, 1, 0, 0, library.put()) == S_OK);
        CHECK(Documentation(library.get()) == "QLPGPShellExtLib | QLPGPShellExt 1.0 Type Library");

        ql::ComPtr<ITypeInfo> interfaceInfo, vtableInfo, baseInfo, classInfo;
        REQUIRE(library->GetTypeInfoOfGuid(IID_IQLPGPLaunchExt, interfaceInfo.put()) == S_OK);
        CHECK(Documentation(interfaceInfo.get()) == "IQLPGPLaunchExt | IQLPGPLaunchExt Interface");
        // A dual interface: the dispatch side, and the vtable side that derives from IDispatch.
        TYPEATTR attributes = Attributes(interfaceInfo.get());
        CHECK(attributes.typekind == TKIND_DISPATCH);
        constexpr WORD kDual = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
        CHECK((attributes.wTypeFlags & kDual) == kDual);
        HREFTYPE reference = 0;
        REQUIRE(interfaceInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference) == S_OK);
        REQUIRE(interfaceInfo->GetRefTypeInfo(reference, vtableInfo.put()) == S_OK);
        attributes = Attributes(vtableInfo.get());
        CHECK(attributes.typekind == TKIND_INTERFACE);
        CHECK((attributes.wTypeFlags & (kDual | TYPEFLAG_FOLEAUTOMATION)) == (kDual | TYPEFLAG_FOLEAUTOMATION));
        CHECK(attributes.cFuncs == 0);
        CHECK(attributes.cImplTypes == 1);
        REQUIRE(vtableInfo->GetRefTypeOfImplType(0, &reference) == S_OK);
        REQUIRE(vtableInfo->GetRefTypeInfo(reference, baseInfo.put()) == S_OK);
        CHECK(IsEqualIID(Attributes(baseInfo.get()).guid, IID_IDispatch));
        ql::ComPtr<ITypeLib> containing;
        UINT index = 0;
        REQUIRE(baseInfo->GetContainingTypeLib(containing.put(), &index) == S_OK);
        CHECK(Documentation(containing.get()).rfind("stdole | ", 0) == 0);  // the standard IDispatch, imported

        REQUIRE(library->GetTypeInfoOfGuid(CLSID_QLPGPLaunchExt, classInfo.put()) == S_OK);
        CHECK(Documentation(classInfo.get()) == "QLPGPLaunchExt | QLPGPLaunchExt Class");
        attributes = Attributes(classInfo.get());
        CHECK(attributes.typekind == TKIND_COCLASS);
        CHECK((attributes.wTypeFlags & TYPEFLAG_FCANCREATE) != 0);
        CHECK(attributes.cImplTypes == 1);
        INT implFlags = 0;
        CHECK(classInfo->GetImplTypeFlags(0, &implFlags) == S_OK);
        CHECK((implFlags & IMPLTYPEFLAG_FDEFAULT) != 0);
    }

    // The object's own IDispatch reports that one type information.
    {
        ql::ComPtr<IDispatch> dispatch;
        REQUIRE(CoCreateInstance(CLSID_QLPGPLaunchExt, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                 dispatch.put_void()) == S_OK);
        UINT count = 0;
        CHECK(dispatch->GetTypeInfoCount(&count) == S_OK);
        CHECK(count == 1);
        ITypeInfo* none = reinterpret_cast<ITypeInfo*>(1);
        CHECK(dispatch->GetTypeInfo(1, 0, &none) == DISP_E_BADINDEX);
        CHECK(none == nullptr);
        ql::ComPtr<ITypeInfo> info;
        REQUIRE(dispatch->GetTypeInfo(0, 0, info.put()) == S_OK);
        CHECK(IsEqualIID(Attributes(info.get()).guid, IID_IQLPGPLaunchExt));
        LPOLESTR unknownName = const_cast<LPOLESTR>(L"Frobnicate");
        DISPID id = 0;
        CHECK(dispatch->GetIDsOfNames(IID_NULL, &unknownName, 1, 0, &id) == DISP_E_UNKNOWNNAME);
    }

    REQUIRE(RunRegsvr32(tree.extension(), true) == 0);
    std::vector<std::string> gone = owned;
    gone.push_back("TypeLib\\" + kLibId);
    CHECK(Differences({}, Classes(gone)) == NoDifferences);
    for (const char* kept : {"AppID", "CLSID", "*", "*\\shellex", "*\\shellex\\ContextMenuHandlers", "Directory",
                             "Directory\\shellex", "Directory\\shellex\\ContextMenuHandlers"}) {
        CAPTURE(std::string(kept));
        CHECK(KeyExists(HKEY_CLASSES_ROOT, kept));
    }
    CHECK(ReadString(HKEY_CLASSES_ROOT, otherHandler) == "{00000000-0000-0000-0000-000000000001}");
    IID libId{};
    CLSIDFromString(Widen(kLibId).c_str(), &libId);
    ITypeLib* library = nullptr;
    CHECK(FAILED(LoadRegTypeLib(libId, 1, 0, 0, &library)));
    IUnknown* object = nullptr;
    CHECK(CoCreateInstance(CLSID_QLPGPLaunchExt, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                           reinterpret_cast<void**>(&object)) == REGDB_E_CLASSNOTREG);
}

TEST_CASE("registering again gives the same entries; ForceRemove clears the class key, not CLSID") {
    Com com;
    ExtensionTree tree;
    REQUIRE(RunRegsvr32(tree.extension(), false) == 0);
    const RegistrySnapshot classOnce(HKEY_CLASSES_ROOT, kClassKey), progIdOnce(HKEY_CLASSES_ROOT, kProgId);
    REQUIRE_FALSE(classOnce.empty());

    REQUIRE(WriteString(HKEY_CLASSES_ROOT, kClassKey, "QLTestStray", "stale"));
    REQUIRE(WriteString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32\\QLTestStale", "", "stale"));
    REQUIRE(WriteString(HKEY_CLASSES_ROOT, "CLSID", "QLTestStray", "kept"));
    REQUIRE(WriteString(HKEY_CLASSES_ROOT, kProgId + "\\QLTestStale", "", "stale"));
    REQUIRE(RunRegsvr32(tree.extension(), false) == 0);
    CHECK(Differences(classOnce, RegistrySnapshot(HKEY_CLASSES_ROOT, kClassKey)) == NoDifferences);
    CHECK(Differences(progIdOnce, RegistrySnapshot(HKEY_CLASSES_ROOT, kProgId)) == NoDifferences);
    CHECK(ReadString(HKEY_CLASSES_ROOT, "CLSID", "QLTestStray") == "kept");

    // A stray sub-key keeps its key through removal; what the script names goes.
    REQUIRE(RunRegsvr32(tree.extension(), true) == 0);
    CHECK(RegDeleteKeyValueA(HKEY_CLASSES_ROOT, "CLSID", "QLTestStray") == 0);
    CHECK_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
}

TEST_CASE("a library path holding a single quote is registered with that quote once") {
    Com com;
    ExtensionTree tree;
    const std::string path = tree.root() + "it's here\\" + ExtensionFileName();
    tree.CopyBuilt(tree.extension(), path);
    REQUIRE(RunRegsvr32(path, false) == 0);
    CHECK(ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32") == path);
    CHECK(ReadString(HKEY_CLASSES_ROOT, kTypeLibKey) == path);
    CHECK(RunRegsvr32(path, true) == 0);
    CHECK_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
}

TEST_CASE("a registration host gets its own thread locale back from both operations") {
    Com com;
    ExtensionTree tree;
    LoadedExtension extension(tree.extension());
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    REQUIRE(SetThreadLocale(german));
    REQUIRE(GetThreadLocale() == german);
    CHECK(extension.DllRegisterServer() == S_OK);
    CHECK(GetThreadLocale() == german);
    CHECK(ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32") == tree.extension());
    CHECK(extension.DllUnregisterServer() == S_OK);
    CHECK(GetThreadLocale() == german);
    CHECK_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    // Registration and removal leave the module's counts as they were.
    CHECK(extension.DllCanUnloadNow() == S_OK);
    SetThreadLocale(LOCALE_USER_DEFAULT);
}

TEST_CASE("class factory and lifetime: one cached factory, refused requests, unload only when unused") {
    Com com;
    ExtensionTree tree;
    LoadedExtension extension(tree.extension());
    CHECK(extension.DllCanUnloadNow() == S_OK);

    // Requests that give nothing.
    void* out = reinterpret_cast<void*>(1);
    CHECK(extension.DllGetClassObject(CLSID_QLPGPLaunchExt, IID_IClassFactory, nullptr) == E_POINTER);
    CHECK(extension.DllGetClassObject(IID_IContextMenu, IID_IClassFactory, &out) == CLASS_E_CLASSNOTAVAILABLE);
    CHECK(out == nullptr);
    out = reinterpret_cast<void*>(1);
    CHECK(extension.DllGetClassObject(CLSID_QLPGPLaunchExt, IID_IContextMenu, &out) == E_NOINTERFACE);
    CHECK(out == nullptr);
    CHECK(extension.DllCanUnloadNow() == S_OK);

    // The same factory every time; holding it holds the library.
    IClassFactory* factory = nullptr;
    IClassFactory* again = nullptr;
    REQUIRE(extension.DllGetClassObject(CLSID_QLPGPLaunchExt, IID_IClassFactory, reinterpret_cast<void**>(&factory)) == S_OK);
    REQUIRE(extension.DllGetClassObject(CLSID_QLPGPLaunchExt, IID_IUnknown, reinterpret_cast<void**>(&again)) == S_OK);
    CHECK(factory == again);
    again->Release();
    CHECK(extension.DllCanUnloadNow() == S_FALSE);

    // Aggregation is refused whatever the interface; null out-pointers are refused.
    struct Outer : IUnknown {
        STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return 2; }
        STDMETHODIMP_(ULONG) Release() override { return 1; }
    } outer;
    for (REFIID iid : {IID_IUnknown, IID_IContextMenu, IID_IPersist}) {
        out = reinterpret_cast<void*>(1);
        CHECK(factory->CreateInstance(&outer, iid, &out) == CLASS_E_NOAGGREGATION);
        CHECK(out == nullptr);
    }
    CHECK(factory->CreateInstance(nullptr, IID_IUnknown, nullptr) == E_POINTER);

    // Interfaces the object answers, and those it does not; a refused one leaves no object behind,
    // which shows once the factory, the only other holder, is gone.
    struct Asked {
        const IID* iid;
        HRESULT result;
    };
    for (const Asked& asked : {Asked{&IID_IUnknown, S_OK}, Asked{&IID_IContextMenu, S_OK}, Asked{&IID_IShellExtInit, S_OK},
                               Asked{&IID_IDispatch, S_OK}, Asked{&IID_IQLPGPLaunchExt, S_OK},
                               Asked{&IID_IContextMenu2, E_NOINTERFACE}, Asked{&IID_IContextMenu3, E_NOINTERFACE},
                               Asked{&IID_IPersist, E_NOINTERFACE}, Asked{&IID_IClassFactory, E_NOINTERFACE}}) {
        out = reinterpret_cast<void*>(1);
        CHECK(factory->CreateInstance(nullptr, *asked.iid, &out) == asked.result);
        if (asked.result == S_OK) {
            REQUIRE(out != nullptr);
            static_cast<IUnknown*>(out)->Release();
        } else {
            CHECK(out == nullptr);
        }
    }
    IUnknown* object = nullptr;
    REQUIRE(factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&object)) == S_OK);
    factory->Release();
    CHECK(extension.DllCanUnloadNow() == S_FALSE);  // the object holds the library

    // QueryInterface on one object: one identity, the four interfaces and no others.
    IUnknown* primary = nullptr;
    REQUIRE(object->QueryInterface(IID_IQLPGPLaunchExt, reinterpret_cast<void**>(&primary)) == S_OK);
    for (REFIID iid : {IID_IUnknown, IID_IDispatch}) {
        IUnknown* same = nullptr;
        REQUIRE(object->QueryInterface(iid, reinterpret_cast<void**>(&same)) == S_OK);
        CHECK(same == primary);
        same->Release();
    }
    IUnknown* init = nullptr;
    REQUIRE(primary->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init)) == S_OK);
    IUnknown* menu = nullptr;
    REQUIRE(init->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu)) == S_OK);
    CHECK(menu == object);
    IUnknown* none = reinterpret_cast<IUnknown*>(1);
    CHECK(object->QueryInterface(IID_IContextMenu2, reinterpret_cast<void**>(&none)) == E_NOINTERFACE);
    CHECK(none == nullptr);
    CHECK(object->QueryInterface(IID_IUnknown, nullptr) == E_POINTER);
    for (IUnknown* reference : {menu, init, primary}) reference->Release();
    CHECK(extension.DllCanUnloadNow() == S_FALSE);
    object->Release();
    CHECK(extension.DllCanUnloadNow() == S_OK);

    // LockServer holds the library without any object; the factory comes back the same.
    REQUIRE(extension.DllGetClassObject(CLSID_QLPGPLaunchExt, IID_IClassFactory, reinterpret_cast<void**>(&again)) == S_OK);
    CHECK(again == factory);
    CHECK(again->LockServer(TRUE) == S_OK);
    again->Release();
    CHECK(extension.DllCanUnloadNow() == S_FALSE);
    REQUIRE(extension.DllGetClassObject(CLSID_QLPGPLaunchExt, IID_IClassFactory, reinterpret_cast<void**>(&again)) == S_OK);
    CHECK(again->LockServer(FALSE) == S_OK);
    CHECK(extension.DllCanUnloadNow() == S_FALSE);  // still held through the factory
    again->Release();
    CHECK(extension.DllCanUnloadNow() == S_OK);
}

TEST_SUITE_END();
