// A registry tree that a test writes and that is removed again when the test ends, pass or fail.
#pragma once

#include <windows.h>

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
    bool Set(const std::string& subkey, const std::string& name, DWORD type, const std::string& bytes);
    bool SetString(const std::string& subkey, const std::string& name, const std::string& text) {
        return Set(subkey, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
    }

private:
    std::string path_;
};

}  // namespace ql::test
