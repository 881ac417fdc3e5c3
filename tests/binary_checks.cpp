#include "binary_checks.h"

#include <algorithm>
#include <array>
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

}  // namespace

bool IsSystemDll(std::string_view dll) {
    const std::string lower = pe::ToLower(dll);
    if (std::find(kSystemDlls.begin(), kSystemDlls.end(), lower) != kSystemDlls.end()) return true;
    return lower.size() > kUniversalCrtPrefix.size() + 4 && lower.starts_with(kUniversalCrtPrefix) &&
           lower.ends_with(".dll");
}

bool MayImport(std::string_view deliverableFileName, std::string_view dll) {
    if (IsSystemDll(dll)) return true;
    return pe::ToLower(dll) == kBridgeDll && pe::ToLower(deliverableFileName) == kLauncherExe;
}

std::vector<std::string> ForbiddenImports(std::string_view deliverableFileName, const pe::Image& image) {
    std::vector<std::string> forbidden;
    for (const std::string& dll : image.AllImportedDlls())
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

std::vector<std::string> ExportsSpellingNative(const pe::Image& image, const JniNative& native) {
    const std::string shortName = ShortJniName(native.name);
    std::vector<std::string> spellings;
    for (const pe::Export& e : image.exports) {
        if (e.name.empty()) continue;
        const std::string plain = Undecorated(e.name);
        if (plain == native.name || plain == shortName) spellings.push_back(e.name);
    }
    return spellings;
}

}  // namespace ql::checks
