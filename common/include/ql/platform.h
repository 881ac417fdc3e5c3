// Platform version and the security attributes that let every user open a named object.
#pragma once

#include <windows.h>

namespace ql {

// The platform identifier from GetVersionExA, asking first with the extended record and then with
// the plain one. Returns false (last error set by the system) when both calls fail.
inline bool ReadPlatformId(DWORD& platformId) {
    OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    auto* plain = reinterpret_cast<OSVERSIONINFOA*>(&info);
    if (!GetVersionExA(plain)) {
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        if (!GetVersionExA(plain)) return false;
    }
    platformId = info.dwPlatformId;
    return true;
}

// A present but null DACL: any process of any user may open the object. The record must outlive
// every call that uses `attributes`, since they point at `descriptor`.
struct OpenToEveryone {
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};

    enum class Failure { None, InitializeDescriptor, SetDacl };

    // On failure, GetLastError tells why.
    Failure Build() {
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION))
            return Failure::InitializeDescriptor;
        if (!SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) return Failure::SetDacl;
        attributes.nLength = sizeof(attributes);
        attributes.lpSecurityDescriptor = &descriptor;
        attributes.bInheritHandle = FALSE;
        return Failure::None;
    }
};

}  // namespace ql
