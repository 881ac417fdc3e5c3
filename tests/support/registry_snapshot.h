// A registry tree read whole, for tests that compare what registration, installation or removal left
// behind: every key at and below a root, in one registry view, with each value's name, type and
// data. Snapshots compare equal when they hold the same keys and values; key and value names compare
// without regard to case, as the registry compares them, data exactly. Text is UTF-8 throughout.
//
// A failing comparison shows what differs: CHECK(Differences(expected, found) == NoDifferences) prints
// each line one side lacks (printers.h prints the list).
#pragma once

#include <windows.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ql::test {

// One key (no name) or one value ("" for the key's default value) of a tree.
struct RegistryEntry {
    std::string key;                  // the whole path below the root key given to the snapshot
    std::optional<std::string> name;  // the value's name; nothing for the key itself
    std::string data;                 // REG_SZ, REG_EXPAND_SZ: the text; other types: the bytes in hex
    DWORD type = REG_SZ;

    RegistryEntry(std::string keyPath) : key(std::move(keyPath)) {}
    RegistryEntry(std::string keyPath, std::string valueName, std::string text, DWORD valueType = REG_SZ)
        : key(std::move(keyPath)), name(std::move(valueName)), data(std::move(text)), type(valueType) {}
    // "<key>" or "<key> [<name>] <type> <data>".
    std::string Line() const;
};

struct RegistryEntryLess {
    bool operator()(const RegistryEntry& a, const RegistryEntry& b) const;
};

class RegistrySnapshot {
public:
    RegistrySnapshot() = default;
    // A tree written out, as a test expects it (a value's key need not be listed as well).
    RegistrySnapshot(std::initializer_list<RegistryEntry> entries) {
        for (const RegistryEntry& entry : entries) Add(entry);
    }
    // The tree at `path` under `root` as it is now, in `view` (KEY_WOW64_32KEY or KEY_WOW64_64KEY;
    // 0: this process's own); empty when the key does not exist.
    RegistrySnapshot(HKEY root, const std::string& path, REGSAM view = 0);

    void Add(const RegistryEntry& entry) {
        entries_.insert(entry);
        if (entry.name) entries_.insert(RegistryEntry(entry.key));
    }
    // Both trees in one (an entry in both is held once).
    void Merge(const RegistrySnapshot& other) { entries_.insert(other.entries_.begin(), other.entries_.end()); }
    // The same tree with `text` written as `by` wherever it occurs in a value's data.
    RegistrySnapshot Replaced(const std::string& text, const std::string& by) const;

    bool empty() const { return entries_.empty(); }
    std::vector<std::string> Lines() const;
    bool operator==(const RegistrySnapshot& other) const;
    bool operator!=(const RegistrySnapshot& other) const { return !(*this == other); }

private:
    friend std::vector<std::string> Differences(const RegistrySnapshot&, const RegistrySnapshot&);
    std::set<RegistryEntry, RegistryEntryLess> entries_;
};

// The lines only `expected` holds ("missing: ...") and those only `found` holds ("unexpected: ...").
std::vector<std::string> Differences(const RegistrySnapshot& expected, const RegistrySnapshot& found);
inline const std::vector<std::string> NoDifferences;

// Single keys and values, in `view` as above.
bool KeyExists(HKEY root, const std::string& path, REGSAM view = 0);
// A REG_SZ value ("" names the default value); nothing when the key or value is missing or of another type.
std::optional<std::string> ReadString(HKEY root, const std::string& path, const std::string& name = "",
                                      REGSAM view = 0);
// Writes a REG_SZ value, making the key as needed; false when it cannot.
bool WriteString(HKEY root, const std::string& path, const std::string& name, const std::string& text,
                 REGSAM view = 0);

}  // namespace ql::test
