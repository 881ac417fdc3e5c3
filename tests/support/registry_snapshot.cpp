#include "registry_snapshot.h"

#include <algorithm>
#include <iterator>
#include <tuple>

#include "ql/unique_handle.h"
#include "text.h"

namespace ql::test {

namespace {

std::string Folded(const std::string& text) {
    std::wstring wide = FromUtf8(text);
    CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return ToUtf8(wide);
}

const char* TypeName(DWORD type) {
    switch (type) {
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_DWORD: return "REG_DWORD";
        case REG_QWORD: return "REG_QWORD";
        case REG_BINARY: return "REG_BINARY";
        default: return "REG_NONE";
    }
}

std::string Data(DWORD type, const BYTE* bytes, DWORD size) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes), size / sizeof(wchar_t));
        text.resize(wcsnlen(text.c_str(), text.size()));
        return ToUtf8(text);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (DWORD i = 0; i < size; ++i) hex += {kHex[bytes[i] >> 4], kHex[bytes[i] & 15]};
    return hex;
}

void Read(HKEY key, const std::string& path, REGSAM view, std::set<RegistryEntry, RegistryEntryLess>& entries) {
    entries.insert(RegistryEntry(path));
    DWORD longestName = 0, longestValueName = 0, longestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &longestName, nullptr, nullptr, &longestValueName,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::wstring name(std::max(longestName, longestValueName) + 1, L'\0');
    std::vector<BYTE> data(longestData + sizeof(wchar_t));
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size()), size = static_cast<DWORD>(data.size()), type = 0;
        if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
        entries.insert(RegistryEntry(path, ToUtf8(std::wstring_view(name.data(), nameLength)), Data(type, data.data(), size), type));
    }
    std::vector<std::wstring> subKeys;
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subKeys.emplace_back(name.data(), nameLength);
    }
    for (const std::wstring& sub : subKeys) {
        UniqueRegKey opened;
        if (RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ | view, opened.put()) == ERROR_SUCCESS)
            Read(opened.get(), path + "\\" + ToUtf8(sub), view, entries);
    }
}

}  // namespace

std::string RegistryEntry::Line() const {
    if (!name) return key;
    return key + " [" + *name + "] " + TypeName(type) + " " + data;
}

bool RegistryEntryLess::operator()(const RegistryEntry& a, const RegistryEntry& b) const {
    return std::forward_as_tuple(Folded(a.key), a.name.has_value(), Folded(a.name.value_or("")), a.type, a.data) <
           std::forward_as_tuple(Folded(b.key), b.name.has_value(), Folded(b.name.value_or("")), b.type, b.data);
}

RegistrySnapshot::RegistrySnapshot(HKEY root, const std::string& path, REGSAM view) {
    UniqueRegKey key;
    if (RegOpenKeyExW(root, FromUtf8(path).c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS)
        Read(key.get(), path, view, entries_);
}

RegistrySnapshot RegistrySnapshot::Replaced(const std::string& text, const std::string& by) const {
    RegistrySnapshot replaced;
    for (RegistryEntry entry : entries_) {
        for (std::size_t at = 0; !text.empty() && (at = entry.data.find(text, at)) != std::string::npos; at += by.size())
            entry.data.replace(at, text.size(), by);
        replaced.Add(entry);
    }
    return replaced;
}

std::vector<std::string> RegistrySnapshot::Lines() const {
    std::vector<std::string> lines;
    for (const RegistryEntry& entry : entries_) lines.push_back(entry.Line());
    return lines;
}

bool RegistrySnapshot::operator==(const RegistrySnapshot& other) const { return Differences(*this, other).empty(); }

std::vector<std::string> Differences(const RegistrySnapshot& expected, const RegistrySnapshot& found) {
    std::vector<std::string> lines;
    const auto add = [&](const char* what, const std::set<RegistryEntry, RegistryEntryLess>& from,
                         const std::set<RegistryEntry, RegistryEntryLess>& without) {
        std::vector<RegistryEntry> only;
        std::set_difference(from.begin(), from.end(), without.begin(), without.end(), std::back_inserter(only),
                            RegistryEntryLess());
        for (const RegistryEntry& entry : only) lines.push_back(what + entry.Line());
    };
    add("missing: ", expected.entries_, found.entries_);
    add("unexpected: ", found.entries_, expected.entries_);
    return lines;
}

bool KeyExists(HKEY root, const std::string& path, REGSAM view) {
    UniqueRegKey key;
    return RegOpenKeyExW(root, FromUtf8(path).c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

std::optional<std::string> ReadString(HKEY root, const std::string& path, const std::string& name, REGSAM view) {
    UniqueRegKey key;
    if (RegOpenKeyExW(root, FromUtf8(path).c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return std::nullopt;
    const std::wstring wideName = FromUtf8(name);
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), wideName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
        return std::nullopt;
    std::vector<BYTE> data(size + sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), wideName.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    return Data(type, data.data(), size);
}

bool WriteString(HKEY root, const std::string& path, const std::string& name, const std::string& text, REGSAM view) {
    UniqueRegKey key;
    if (RegCreateKeyExW(root, FromUtf8(path).c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    const std::wstring wide = FromUtf8(text);
    return RegSetValueExW(key.get(), FromUtf8(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                          static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace ql::test
