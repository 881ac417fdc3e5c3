// A data object holding a CF_HDROP list of UTF-16 paths, as Explorer's does, for the tests and the
// benchmark of the extension.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

#include "text.h"

namespace ql::test {

// Every medium it hands out carries a release hook, so the test sees whether the extension released it.
class HdropDataObject final : public IDataObject {
public:
    enum class Mode { Hdrop, HdropAnsi, NoHdrop, Unlockable };
    HdropDataObject(Mode mode, std::vector<std::wstring> paths) : mode_(mode), paths_(std::move(paths)) {}
    ~HdropDataObject() {
        for (HGLOBAL memory : handedOut_) GlobalFree(memory);
    }

    FORMATETC asked{};
    int getDataCalls = 0;
    int mediumReleases = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDataObject)) return E_NOINTERFACE;
        *ppv = static_cast<IDataObject*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack

    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
        ++getDataCalls;
        asked = *format;
        if (mode_ == Mode::NoHdrop || format->cfFormat != CF_HDROP || !(format->tymed & TYMED_HGLOBAL))
            return DV_E_FORMATETC;
        HGLOBAL memory = mode_ == Mode::Unlockable ? Discarded() : DropList();
        if (memory == nullptr) return E_OUTOFMEMORY;
        handedOut_.push_back(memory);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = memory;
        medium->pUnkForRelease = &releaseHook_;
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC* format) override {
        return mode_ != Mode::NoHdrop && format->cfFormat == CF_HDROP ? S_OK : DV_E_FORMATETC;
    }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        out->ptd = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    struct ReleaseHook final : IUnknown {
        HdropDataObject* owner;
        explicit ReleaseHook(HdropDataObject* o) : owner(o) {}
        STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return 2; }
        STDMETHODIMP_(ULONG) Release() override {
            ++owner->mediumReleases;
            return 1;
        }
    };

    HGLOBAL DropList() const {
        std::wstring list;
        for (const std::wstring& path : paths_) list += path + L'\0';
        list += L'\0';
        if (paths_.empty()) list += L'\0';  // an empty list is an empty name and the end
        std::string names(reinterpret_cast<const char*>(list.data()), list.size() * sizeof(wchar_t));
        if (mode_ == Mode::HdropAnsi) names = Narrow(list);
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + names.size());
        auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
        drop->pFiles = sizeof(DROPFILES);
        drop->fWide = mode_ == Mode::HdropAnsi ? FALSE : TRUE;
        memcpy(reinterpret_cast<BYTE*>(drop) + sizeof(DROPFILES), names.data(), names.size());
        GlobalUnlock(memory);
        return memory;
    }
    // Memory whose contents the system has discarded: GlobalLock gives null for it.
    static HGLOBAL Discarded() {
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_DISCARDABLE, 64);
        return GlobalDiscard(memory);
    }

    Mode mode_;
    std::vector<std::wstring> paths_;
    std::vector<HGLOBAL> handedOut_;
    ULONG refs_ = 1;
    ReleaseHook releaseHook_{this};
};

}  // namespace ql::test
