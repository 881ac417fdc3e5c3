#include "registry.h"

#include "ql/unique_handle.h"

namespace ql::test {

ScopedRegistryTree::ScopedRegistryTree(std::string path) : path_(std::move(path)) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
}

ScopedRegistryTree::~ScopedRegistryTree() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str()); }

bool ScopedRegistryTree::Set(const std::string& subkey, const std::string& name, DWORD type,
                             const std::string& bytes) {
    const std::string full = subkey.empty() ? path_ : path_ + "\\" + subkey;
    UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, full.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

}  // namespace ql::test
