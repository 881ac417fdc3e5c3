#include "registry.h"

#include "ql/unique_handle.h"

namespace ql::test {

ScopedRegistryTree::ScopedRegistryTree(std::string path) : path_(std::move(path)) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
}

ScopedRegistryTree::~ScopedRegistryTree() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str()); }

bool ScopedRegistryTree::Set(const std::string& subkey, const std::string& name, DWORD type, const void* data,
                             DWORD size) {
    UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, Full(subkey).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

bool ScopedRegistryTree::Create(const std::string& subkey) {
    UniqueRegKey key;
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, Full(subkey).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                           nullptr) == ERROR_SUCCESS;
}

bool ScopedRegistryTree::Remove(const std::string& subkey) {
    return RegDeleteTreeA(HKEY_LOCAL_MACHINE, Full(subkey).c_str()) == ERROR_SUCCESS;
}

std::optional<std::string> ScopedRegistryTree::Get(const std::string& subkey, const std::string& name) const {
    UniqueRegKey key;
    DWORD size = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(subkey).c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
        RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    std::string bytes(size, '\0');
    if (RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(bytes.data()), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    bytes.resize(size);
    return bytes;
}

bool RegistryKeyExists(const std::string& path) {
    UniqueRegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

}  // namespace ql::test
