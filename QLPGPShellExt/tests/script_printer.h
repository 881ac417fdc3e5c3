// Writes a parsed script tree back as script text, every name and text quoted; shared by the unit
// tests and the fuzz target (parsing the printed form must give the same tree).
#pragma once

#include <string>
#include <vector>

#include "registrar_script.h"

namespace ql::registrar::testing {

inline std::u16string Quoted(const std::u16string& text) { return u"'" + QuoteForScript(text) + u"'"; }

inline void PrintNodes(const std::vector<ScriptNode>& nodes, std::u16string& out) {
    for (const ScriptNode& node : nodes) {
        if (node.kind == ScriptNode::Kind::Value) {
            out += u"val " + Quoted(node.name) + u" = s " + Quoted(*node.text) + u"\n";
            continue;
        }
        if (node.flag == KeyFlag::ForceRemove) out += u"ForceRemove ";
        if (node.flag == KeyFlag::NoRemove) out += u"NoRemove ";
        out += Quoted(node.name);
        if (node.text) out += u" = s " + Quoted(*node.text);
        out += u"\n{\n";
        PrintNodes(node.children, out);
        out += u"}\n";
    }
}

inline std::u16string PrintScript(const std::vector<ScriptNode>& keys) {
    std::u16string out = u"HKCR\n{\n";
    PrintNodes(keys, out);
    return out + u"}\n";
}

// One line per key and value, with the full key path, for comparing trees in tests.
inline void Flatten(const std::vector<ScriptNode>& nodes, const std::u16string& parent, std::vector<std::u16string>& out) {
    for (const ScriptNode& node : nodes) {
        if (node.kind == ScriptNode::Kind::Value) {
            out.push_back(u"value " + parent + u" [" + node.name + u"] = " + *node.text);
            continue;
        }
        const std::u16string path = parent.empty() ? node.name : parent + u"\\" + node.name;
        std::u16string line = u"key " + path;
        if (node.flag == KeyFlag::ForceRemove) line += u" ForceRemove";
        if (node.flag == KeyFlag::NoRemove) line += u" NoRemove";
        if (node.text) line += u" = " + *node.text;
        out.push_back(line);
        Flatten(node.children, path, out);
    }
}

inline std::vector<std::u16string> Flatten(const std::vector<ScriptNode>& keys) {
    std::vector<std::u16string> out;
    Flatten(keys, u"", out);
    return out;
}

}  // namespace ql::registrar::testing
