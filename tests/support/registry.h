// A registry tree that a test writes and that is removed again when the test ends, pass or fail.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace ql::test {

class ScopedRegistryTree {
public:
    // `path` under HKEY_LOCAL_MACHINE; whatever is there already is removed first.
    explicit ScopedRegistryTree(std::string path);
    ~ScopedRegistryTree();
    ScopedRegistryTree(const ScopedRegistryTree&) = delete;
    ScopedRegistryTree& operator=(const ScopedRegistryTree&) = delete;

    // Writes a value in `subkey` (relative to the tree, created as needed). `bytes` are stored as
    // they are, so a test can leave out the terminating zero of a string.
    bool Set(const std::string& subkey, const std::string& name, DWORD type, const std::string& bytes) {
        return Set(subkey, name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    // The same from a buffer: the byte after the counted ones is what the caller has there (the
    // registry may count a NUL found there into a string value).
    bool Set(const std::string& subkey, const std::string& name, DWORD type, const void* data, DWORD size);
    bool SetString(const std::string& subkey, const std::string& name, const std::string& text) {
        return Set(subkey, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
    }
    // Makes `subkey` (and the keys above it) without values; Remove takes it with everything below.
    bool Create(const std::string& subkey);
    bool Remove(const std::string& subkey);
    // The stored bytes of a value, exactly as many as the registry counts; nothing when it is missing.
    std::optional<std::string> Get(const std::string& subkey, const std::string& name) const;

private:
    std::string Full(const std::string& subkey) const { return subkey.empty() ? path_ : path_ + "\\" + subkey; }
    std::string path_;
};

// Whether the key `path` under HKEY_LOCAL_MACHINE exists.
bool RegistryKeyExists(const std::string& path);

}  // namespace ql::test
