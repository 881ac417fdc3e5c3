#include "binary_checks.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace ql::checks {
namespace {

// What our modules need from Windows, and nothing that may be missing from a supported system.
// A new dependency is a deliberate edit here.
constexpr std::array kSystemDlls = {
    "kernel32.dll", "user32.dll",   "gdi32.dll",   "advapi32.dll", "shell32.dll",
    "shlwapi.dll",  "ole32.dll",    "oleaut32.dll", "comctl32.dll", "comdlg32.dll",
    "netapi32.dll", "version.dll",  "msvcrt.dll",
};
constexpr std::string_view kUniversalCrtPrefix = "api-ms-win-crt-";

constexpr std::string_view kBridgeDll = "qlpgputils.dll";
constexpr std::string_view kLauncherExe = "quilloraopenpgp.exe";

constexpr std::array kKnownJniTypes = {
    "JNIEnv*",      "jclass",        "jobject",      "jstring",     "jthrowable",   "jboolean",
    "jbyte",        "jchar",         "jshort",       "jint",        "jlong",        "jfloat",
    "jdouble",      "jobjectArray",  "jbooleanArray", "jbyteArray", "jcharArray",   "jshortArray",
    "jintArray",    "jlongArray",    "jfloatArray",  "jdoubleArray",
};

std::string WithoutSpaces(std::string_view text) {
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out.push_back(c);
    return out;
}

std::string Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

std::string Unquoted(std::string text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    return text;
}

// The text of one string literal as windres writes it: "" for a quote, C escapes, octal bytes.
std::string DecodeRcString(std::string_view literal) {
    std::string text;
    for (std::size_t i = 0; i < literal.size(); ++i) {
        const char c = literal[i];
        if (c == '"' && i + 1 < literal.size() && literal[i + 1] == '"') {
            text.push_back('"');
            ++i;
        } else if (c == '\\' && i + 1 < literal.size()) {
            const char e = literal[++i];
            if (e >= '0' && e <= '7') {
                int value = 0, digits = 0;
                while (digits < 3 && i < literal.size() && literal[i] >= '0' && literal[i] <= '7') {
                    value = value * 8 + (literal[i++] - '0');
                    ++digits;
                }
                --i;
                text.push_back(static_cast<char>(value));
            } else {
                text.push_back(e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e);
            }
        } else {
            text.push_back(c);
        }
    }
    return text;
}

std::vector<std::string> SplitWords(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

// "(JNIEnv *, jclass, jint);" -> {"JNIEnv*", "jclass", "jint"}
std::vector<std::string> ParseParameters(std::string_view text, const std::string& native) {
    const std::string compact = WithoutSpaces(text);
    if (compact.size() < 3 || compact.front() != '(' || compact.substr(compact.size() - 2) != ");")
        throw std::runtime_error("parameter list of " + native + " not understood: " + std::string(text));
    std::vector<std::string> parameters;
    const std::string inner = compact.substr(1, compact.size() - 3);
    std::size_t start = 0;
    while (start <= inner.size()) {
        const std::size_t comma = std::min(inner.find(',', start), inner.size());
        std::string parameter = inner.substr(start, comma - start);
        if (std::find(kKnownJniTypes.begin(), kKnownJniTypes.end(), parameter) == kKnownJniTypes.end())
            throw std::runtime_error("parameter type '" + parameter + "' of " + native + " not known");
        parameters.push_back(std::move(parameter));
        start = comma + 1;
    }
    return parameters;
}

// objdump -p: the file format line, the delay-import entry of the data directory, the import
// tables ("DLL Name:" and its rows up to a blank line) and the export tables.
void ParsePrivateHeaders(const std::vector<std::string>& lines, ImageDump& image) {
    static const std::regex format(R"(file format (\S+))");
    static const std::regex delayEntry(R"(^Entry d [0-9a-fA-F]+ ([0-9a-fA-F]+) Delay Import Directory)");
    static const std::regex dllName(R"(^\s*DLL Name: (\S+))");
    static const std::regex importRow(R"(^\s*[0-9a-fA-F]+\s+[0-9]+\s+(\S+))");
    static const std::regex exportName(R"(^Name\s+[0-9a-fA-F]+ (\S+))");
    static const std::regex namePointerRow(R"(^\s*\[\s*[0-9]+\] (\S+))");
    enum class In { Nothing, ImportTable, ExportTables, NamePointers } in = In::Nothing;
    std::smatch m;
    for (const std::string& line : lines) {
        if (image.format.empty() && std::regex_search(line, m, format)) image.format = m[1];
        if (std::regex_search(line, m, delayEntry)) {
            image.delayImportEntryFound = true;
            image.delayImportSize = std::stoull(m[1], nullptr, 16);
        }
        if (line.rfind("The Export Tables", 0) == 0) in = In::ExportTables;
        if (std::regex_search(line, m, dllName)) {
            image.imports.push_back({m[1], {}});
            in = In::ImportTable;
            continue;
        }
        switch (in) {
        case In::ImportTable:
            if (Trimmed(line).empty()) in = In::Nothing;
            else if (std::regex_search(line, m, importRow)) image.imports.back().functions.push_back(m[1]);
            break;
        case In::ExportTables:
            if (std::regex_search(line, m, exportName)) image.exportDllName = m[1];
            if (line.rfind("[Ordinal/Name Pointer] Table", 0) == 0) in = In::NamePointers;
            break;
        case In::NamePointers:
            if (Trimmed(line).empty()) in = In::Nothing;
            else if (std::regex_search(line, m, namePointerRow)) image.exports.push_back(m[1]);
            else throw std::runtime_error("export name row not understood: " + line);
            break;
        case In::Nothing:
            break;
        }
    }
    if (image.format.empty()) throw std::runtime_error("objdump -p gave no file format");
    if (!image.delayImportEntryFound) throw std::runtime_error("objdump -p gave no delay-import directory entry");
}

// objdump -h: "Idx Name Size VMA LMA File-off Algn" rows, each followed by a line of flags.
void ParseSectionHeaders(const std::vector<std::string>& lines, ImageDump& image) {
    static const std::regex row(R"(^\s*[0-9]+ (\S+)\s+([0-9a-fA-F]+)\s+[0-9a-fA-F]+\s+[0-9a-fA-F]+\s+[0-9a-fA-F]+\s+2\*\*[0-9]+\s*$)");
    std::smatch m;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!std::regex_search(lines[i], m, row)) continue;
        if (i + 1 >= lines.size()) throw std::runtime_error("section " + std::string(m[1]) + " without flags");
        image.sections.push_back({m[1], std::stoull(m[2], nullptr, 16), Trimmed(lines[i + 1])});
        ++i;
    }
    if (image.sections.empty()) throw std::runtime_error("objdump -h gave no sections");
}

// windres -O rc: every resource is announced by a comment ("/* Type: <type>" when the type changes,
// then "Name: <name>.  */"), its body follows between BEGIN and END.
void ParseResourceScript(const std::vector<std::string>& lines, ImageDump& image) {
    static const std::regex type(R"(^/\* Type: (.*)$)");
    static const std::regex name(R"(^(?:/\*)?\s*Name: (.*)\.  \*/$)");
    static const std::regex stringRow(R"re(^\s*([0-9]+), "(.*)"\s*$)re");
    static const std::regex literal(R"re(^\s*"(.*)"\s*,?\s*$)re");
    static const std::regex versionValue(R"re(^\s*VALUE "([^"]*)", "(.*)"\s*$)re");
    std::string currentType;
    bool inBody = false;
    std::smatch m;
    for (const std::string& line : lines) {
        if (!inBody && std::regex_search(line, m, type)) {
            currentType = Unquoted(Trimmed(std::string(m[1])));
        } else if (!inBody && std::regex_search(line, m, name)) {
            if (currentType.empty()) throw std::runtime_error("resource without a type: " + line);
            image.resources.push_back({currentType, Unquoted(Trimmed(std::string(m[1]))), {}});
        } else if (line == "BEGIN") {
            inBody = true;
        } else if (line == "END") {
            inBody = false;
        } else if (inBody && !image.resources.empty()) {
            Resource& resource = image.resources.back();
            if (resource.type == "stringtable" && std::regex_search(line, m, stringRow)) {
                std::string text = DecodeRcString(std::string(m[2]));
                image.stringTable[std::stoi(m[1])] = text;
                resource.strings.push_back(std::move(text));
            } else if (resource.type == "version" && std::regex_search(line, m, versionValue)) {
                resource.strings.push_back(std::string(m[1]) + "=" + DecodeRcString(std::string(m[2])));
            } else if (std::regex_search(line, m, literal)) {
                resource.strings.push_back(DecodeRcString(std::string(m[1])));
            }
        }
    }
}

}  // namespace

std::vector<std::string> ImageDump::ImportedDlls() const {
    std::vector<std::string> dlls;
    for (const ImportedDll& imported : imports) dlls.push_back(imported.dll);
    return dlls;
}

bool ImageDump::Exports(std::string_view name) const {
    return std::find(exports.begin(), exports.end(), name) != exports.end();
}

const Section* ImageDump::FindSection(std::string_view name) const {
    for (const Section& s : sections)
        if (s.name == name) return &s;
    return nullptr;
}

const Resource* ImageDump::FindResource(std::string_view type, std::string_view name) const {
    for (const Resource& r : resources)
        if (r.type == type && r.name == name) return &r;
    return nullptr;
}

ImageDump ParseDump(std::istream& text) {
    // The three parts, each after its "==== <command>" line.
    std::map<std::string, std::vector<std::string>> parts;
    std::vector<std::string>* part = nullptr;
    std::string line;
    while (std::getline(text, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("==== ", 0) == 0) {
            part = &parts[line.substr(5)];
        } else if (part != nullptr) {
            part->push_back(line);
        }
    }
    for (const char* needed : {"objdump -p", "objdump -h", "windres -O rc"})
        if (parts.count(needed) == 0) throw std::runtime_error(std::string("no part \"") + needed + "\" in the dump");
    ImageDump image;
    ParsePrivateHeaders(parts["objdump -p"], image);
    ParseSectionHeaders(parts["objdump -h"], image);
    ParseResourceScript(parts["windres -O rc"], image);
    return image;
}

ImageDump ReadDump(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    return ParseDump(file);
}

std::string ToLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) { return ToLower(a) == ToLower(b); }

bool IsSystemDll(std::string_view dll) {
    const std::string lower = ToLower(dll);
    if (std::find(kSystemDlls.begin(), kSystemDlls.end(), lower) != kSystemDlls.end()) return true;
    return lower.size() > kUniversalCrtPrefix.size() + 4 && lower.starts_with(kUniversalCrtPrefix) &&
           lower.ends_with(".dll");
}

bool MayImport(std::string_view deliverableFileName, std::string_view dll) {
    if (IsSystemDll(dll)) return true;
    return ToLower(dll) == kBridgeDll && ToLower(deliverableFileName) == kLauncherExe;
}

std::vector<std::string> ForbiddenImports(std::string_view deliverableFileName, const ImageDump& image) {
    std::vector<std::string> forbidden;
    for (const std::string& dll : image.ImportedDlls())
        if (!MayImport(deliverableFileName, dll)) forbidden.push_back(dll);
    return forbidden;
}

std::vector<JniNative> ParseJniHeader(std::istream& header) {
    std::vector<JniNative> natives;
    std::string line;
    while (std::getline(header, line)) {
        const auto words = SplitWords(line);
        if (words.empty() || words[0] != "JNIEXPORT") continue;
        if (words.size() < 4 || words[2] != "JNICALL")
            throw std::runtime_error("declaration not understood: " + line);
        JniNative native;
        native.returnType = words[1];
        // The name, then the parameter list: on this line or on the next non-empty one.
        const std::string tail = line.substr(line.find(words[3]));
        const std::size_t paren = tail.find('(');
        native.name = WithoutSpaces(tail.substr(0, paren));
        std::string rest = paren == std::string::npos ? std::string() : tail.substr(paren);
        while (WithoutSpaces(rest).empty()) {
            if (!std::getline(header, rest)) throw std::runtime_error("no parameter list after " + native.name);
        }
        native.parameters = ParseParameters(rest, native.name);
        if (native.parameters.size() < 2 || native.parameters[0] != "JNIEnv*" || native.parameters[1] != "jclass")
            throw std::runtime_error(native.name + " is not a static native (JNIEnv *, jclass, ...)");
        natives.push_back(std::move(native));
    }
    return natives;
}

std::uint32_t StdcallArgumentBytes(const JniNative& native) {
    std::uint32_t bytes = 0;
    for (const std::string& p : native.parameters) bytes += (p == "jlong" || p == "jdouble") ? 8 : 4;
    return bytes;
}

std::string ExportNameOf(const JniNative& native, int bits) {
    if (bits == 64) return native.name;
    return "_" + native.name + "@" + std::to_string(StdcallArgumentBytes(native));
}

std::string Undecorated(std::string_view exportName) {
    std::string name(exportName);
    if (!name.empty() && name.front() == '_') name.erase(0, 1);
    const std::size_t at = name.rfind('@');
    if (at != std::string::npos && at + 1 < name.size() &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(at) + 1, name.end(),
                    [](char c) { return c >= '0' && c <= '9'; }))
        name.resize(at);
    return name;
}

std::string ShortJniName(std::string_view jniName) {
    // JNI writes '_' in Java names as "_1", so "__" only ever starts the argument signature.
    const std::size_t at = jniName.find("__");
    return std::string(jniName.substr(0, at));
}

std::vector<std::string> ExportsSpellingNative(const ImageDump& image, const JniNative& native) {
    const std::string shortName = ShortJniName(native.name);
    std::vector<std::string> spellings;
    for (const std::string& name : image.exports) {
        const std::string plain = Undecorated(name);
        if (plain == native.name || plain == shortName) spellings.push_back(name);
    }
    return spellings;
}

}  // namespace ql::checks
