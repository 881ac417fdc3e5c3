// Owners for what the extension takes from COM and the shell besides interface pointers (ql::ComPtr):
// a storage medium with its global memory locked, a menu, a loaded module, the thread locale. Each
// gives back what it holds exactly once, when it goes out of scope, so no return path of a COM method
// leaks.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <utility>

#include "ql/com_ptr.h"
#include "ql/unique_handle.h"

namespace ql::shellext {

// A storage medium from IDataObject::GetData with its global memory locked. The memory is unlocked
// before the medium is released.
class LockedGlobalMedium {
public:
    // Takes the medium over; data() is null when its memory could not be locked.
    explicit LockedGlobalMedium(const STGMEDIUM& medium) noexcept : medium_(medium) {
        if (medium_.tymed == TYMED_HGLOBAL) data_ = GlobalLock(medium_.hGlobal);
    }
    LockedGlobalMedium(const LockedGlobalMedium&) = delete;
    LockedGlobalMedium& operator=(const LockedGlobalMedium&) = delete;
    ~LockedGlobalMedium() {
        if (data_ != nullptr) GlobalUnlock(medium_.hGlobal);
        ReleaseStgMedium(&medium_);
    }

    void* data() const noexcept { return data_; }
    HGLOBAL global() const noexcept { return medium_.hGlobal; }

private:
    STGMEDIUM medium_;
    void* data_ = nullptr;
};

struct MenuTraits {
    using Value = HMENU;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value menu) noexcept { DestroyMenu(menu); }
};
using UniqueMenu = ql::Unique<MenuTraits>;

struct ModuleTraits {
    using Value = HMODULE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value module) noexcept { FreeLibrary(module); }
};
using UniqueModule = ql::Unique<ModuleTraits>;

// Sets the calling thread's locale for the life of the object and restores the caller's own.
class ScopedThreadLocale {
public:
    explicit ScopedThreadLocale(LCID locale) noexcept : saved_(GetThreadLocale()) { SetThreadLocale(locale); }
    ScopedThreadLocale(const ScopedThreadLocale&) = delete;
    ScopedThreadLocale& operator=(const ScopedThreadLocale&) = delete;
    ~ScopedThreadLocale() { SetThreadLocale(saved_); }

private:
    LCID saved_;
};

}  // namespace ql::shellext
