// rgs_to_wxs: the extension's registration scripts as Windows Installer registry rows.
//
//   rgs_to_wxs <file id> <script.rgs>... > registry.wxi
//
// Reads the scripts the library carries as REGISTRY resources, expands them as the library does
// (%APPID% the extension's AppID, %MODULE% the library's own path, here the installed path of the
// file <file id> of the package: "[#<file id>]"), parses them with the library's own parser and
// writes a WiX include of RegistryValue elements under HKCR, for the component that installs that
// file. So the installer writes exactly the keys and values that `regsvr32` would, from the same
// text, and the scripts stay the one place where the registration is written down.
//
// What the Windows Installer can and cannot say of a script (see installer/README.md):
//   - a key's default value and every named value become string rows; Windows Installer removes
//     them on uninstall;
//   - a key that registration owns (no flag, or ForceRemove) gets a "*" row: created on install,
//     removed with its whole subtree on uninstall, as removal of the script deletes it;
//   - a NoRemove key gets a "+" row: created on install, never removed;
//   - ForceRemove's "delete first, then create" on install has no counterpart: a fresh install has
//     nothing to delete, and a major upgrade removes the older product's rows before it writes.
// Texts are escaped for the installer's Formatted type ("[" and "]" as [\[] and [\]]), so only the
// module path is resolved by the installer.
//
// Exit codes: 0 done; 1 a script cannot be read or parsed, or holds an empty value (which the
// installer's registry table cannot express); 2 bad usage.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app_id.h"
#include "registrar_script.h"

namespace {

using ql::registrar::KeyFlag;
using ql::registrar::ScriptNode;

// Stands for the module path while the script is parsed; replaced by the file reference on output.
constexpr char16_t kModuleMark = u'\uE000';

std::string Utf8(std::u16string_view text, const std::string& moduleReference) {
    std::string out;
    for (char16_t c : text) {
        if (c == kModuleMark) {
            out += moduleReference;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A script text as an XML attribute holding an installer Formatted value.
std::string Attribute(std::u16string_view text, const std::string& moduleReference) {
    std::string out;
    for (char c : Utf8(text, moduleReference.empty() ? std::string() : "\x01")) {
        switch (c) {
        case '\x01': out += moduleReference; break;
        case '[': out += "[\\[]"; break;
        case ']': out += "[\\]]"; break;
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

class Writer {
public:
    explicit Writer(std::string moduleReference) : module_(std::move(moduleReference)) {}

    void Keys(const std::vector<ScriptNode>& keys, const std::u16string& parent) {
        for (const ScriptNode& node : keys) {
            if (node.kind != ScriptNode::Kind::Key) continue;
            const std::u16string path = parent.empty() ? node.name : parent + u"\\" + node.name;
            // "+" creates the key and leaves it; "*" also removes it with its subtree on uninstall.
            Row(path, node.flag == KeyFlag::NoRemove ? "+" : "*", std::nullopt);
            if (node.text) Row(path, {}, node.text);
            for (const ScriptNode& child : node.children)
                if (child.kind == ScriptNode::Kind::Value) Row(path, Attribute(child.name, {}), child.text);
            Keys(node.children, path);
        }
    }

    std::string Text() const { return out_.str(); }
    // The first value the installer cannot write as the script does, if any.
    const std::string& Unwritable() const { return unwritable_; }

private:
    void Row(const std::u16string& key, const std::string& name, const std::optional<std::u16string>& value) {
        // An empty text in the Registry table means "create the key", not an empty string value.
        if (value && value->empty() && unwritable_.empty())
            unwritable_ = "empty value " + (name.empty() ? std::string("(default)") : name) + " of " + Utf8(key, {});
        out_ << "  <RegistryValue Root=\"HKCR\" Key=\"" << Attribute(key, {}) << "\"";
        if (!name.empty()) out_ << " Name=\"" << name << "\"";
        out_ << " Type=\"string\" Value=\"" << (value ? Attribute(*value, module_) : std::string()) << "\"/>\n";
    }

    std::string module_;
    std::ostringstream out_;
    std::string unwritable_;
};

bool ReadScript(const char* path, std::u16string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    // The scripts are ASCII text; anything else would depend on the ANSI code page of the target.
    for (unsigned char c : bytes.str()) {
        if (c >= 0x80) return false;
        text += static_cast<char16_t>(c);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: rgs_to_wxs <file id> <script.rgs>...\n";
        return 2;
    }
    const std::string fileId = argv[1];
    Writer writer("[#" + fileId + "]");
    const ql::registrar::Replacements replacements = {
        {u"APPID", ql::shellext::kAppId},
        {u"MODULE", std::u16string(1, kModuleMark)},
    };
    for (int i = 2; i < argc; ++i) {
        std::u16string script;
        if (!ReadScript(argv[i], script)) {
            std::cerr << "rgs_to_wxs: cannot read " << argv[i] << " as ASCII text\n";
            return 1;
        }
        const auto expanded = ql::registrar::ExpandReplacements(script, replacements);
        if (!expanded) {
            std::cerr << "rgs_to_wxs: " << argv[i] << ": unknown replacement\n";
            return 1;
        }
        const ql::registrar::ParseResult parsed = ql::registrar::ParseScript(*expanded);
        if (!parsed.ok) {
            std::cerr << "rgs_to_wxs: " << argv[i] << ": " << parsed.error << " at offset " << parsed.errorOffset
                      << "\n";
            return 1;
        }
        writer.Keys(parsed.keys, u"");
    }
    if (!writer.Unwritable().empty()) {
        std::cerr << "rgs_to_wxs: the Windows Installer cannot write the " << writer.Unwritable() << "\n";
        return 1;
    }
    std::cout << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                 "<!-- Generated by rgs_to_wxs from the extension's registration scripts; do not edit. -->\n"
                 "<Include>\n"
              << writer.Text() << "</Include>\n";
    return 0;
}
