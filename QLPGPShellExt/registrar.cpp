#include "registrar.h"

#include <string>

#include "ownership.h"
#include "ql/unique_handle.h"

namespace ql::registrar {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

HRESULT FromWin32(LONG status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status); }

HRESULT SetString(HKEY key, const wchar_t* name, const std::u16string& text) {
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return FromWin32(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes));
}

HRESULT RegisterKey(HKEY parent, const ScriptNode& node);

HRESULT RegisterChildren(HKEY key, const ScriptNode& node) {
    for (const ScriptNode& child : node.children) {
        const HRESULT hr = child.kind == ScriptNode::Kind::Value ? SetString(key, Wide(child.name), *child.text)
                                                                 : RegisterKey(key, child);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT RegisterKey(HKEY parent, const ScriptNode& node) {
    const wchar_t* name = Wide(node.name);
    if (node.flag == KeyFlag::ForceRemove && !IsProtectedKeyName(node.name)) {
        const LONG status = RegDeleteTreeW(parent, name);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromWin32(status);
        // RegDeleteTreeW empties the key; deleting the empty key itself is a second step.
        const LONG removed = RegDeleteKeyW(parent, name);
        if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) return FromWin32(removed);
    }
    UniqueRegKey key;
    LONG status =
        RegCreateKeyExW(parent, name, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
    if (status == ERROR_ACCESS_DENIED) status = RegOpenKeyExW(parent, name, 0, KEY_READ, key.put());
    if (status != ERROR_SUCCESS) return FromWin32(status);
    if (node.text) {
        const HRESULT hr = SetString(key.get(), nullptr, *node.text);
        if (FAILED(hr)) return hr;
    }
    return RegisterChildren(key.get(), node);
}

bool HasSubKeys(HKEY key) {
    DWORD subKeys = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return true;  // unknown: keep the key
    return subKeys != 0;
}

HRESULT UnregisterKey(HKEY parent, const ScriptNode& node) {
    const wchar_t* name = Wide(node.name);
    UniqueRegKey key;
    const LONG opened = RegOpenKeyExW(parent, name, 0, KEY_READ | KEY_WRITE, key.put());
    if (opened == ERROR_FILE_NOT_FOUND) return S_OK;  // already gone, and with it its contents
    if (opened != ERROR_SUCCESS) return FromWin32(opened);
    for (const ScriptNode& child : node.children) {
        if (child.kind == ScriptNode::Kind::Value) {
            const LONG status = RegDeleteValueW(key.get(), Wide(child.name));
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromWin32(status);
        } else {
            const HRESULT hr = UnregisterKey(key.get(), child);
            if (FAILED(hr)) return hr;
        }
    }
    if (node.flag == KeyFlag::NoRemove || HasSubKeys(key.get())) return S_OK;
    key.reset();
    const LONG status = RegDeleteKeyW(parent, name);
    return status == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(status);
}

}  // namespace

HRESULT ApplyScript(HKEY root, const std::vector<ScriptNode>& keys, Direction direction) {
    for (const ScriptNode& key : keys) {
        const HRESULT hr = direction == Direction::Register ? RegisterKey(root, key) : UnregisterKey(root, key);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT RunScriptResource(const char* modulePath, int resourceId, const Replacements& replacements,
                          Direction direction) {
    shellext::UniqueModule module(LoadLibraryExA(modulePath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    HRSRC resource = FindResourceA(module.get(), MAKEINTRESOURCEA(resourceId), "REGISTRY");
    if (resource == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    HGLOBAL loaded = LoadResource(module.get(), resource);
    const DWORD size = SizeofResource(module.get(), resource);
    const auto* bytes = static_cast<const char*>(LockResource(loaded));
    if (bytes == nullptr || size == 0) return HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);

    // The script is 8-bit text in the ANSI code page.
    const int length = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), nullptr, 0);
    if (length <= 0) return HRESULT_FROM_WIN32(GetLastError());
    std::u16string script(static_cast<std::size_t>(length), u'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), reinterpret_cast<wchar_t*>(script.data()), length);

    const std::optional<std::u16string> expanded = ExpandReplacements(script, replacements);
    if (!expanded) return E_INVALIDARG;
    const ParseResult parsed = ParseScript(*expanded);
    if (!parsed.ok) return E_INVALIDARG;
    return ApplyScript(HKEY_CLASSES_ROOT, parsed.keys, direction);
}

}  // namespace ql::registrar
