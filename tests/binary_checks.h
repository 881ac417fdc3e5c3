// Rules the built binaries must follow, applied to what binutils reads from them: objdump -p and -h
// and windres -O rc, written at build time by tests/dump_image.sh and parsed here. Which DLLs a
// deliverable may import, the export names of the JNI natives, sections and resources.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ql::checks {

struct ImportedDll {
    std::string dll;                     // as written in the image, e.g. "KERNEL32.dll"
    std::vector<std::string> functions;  // imported by name
};

struct Section {
    std::string name;
    std::uint64_t size = 0;  // objdump -h's size: the smaller of the stored and the mapped size
    std::string flags;       // as objdump -h spells them: "CONTENTS, ALLOC, LOAD, DATA, SHARED"
};

struct Resource {
    std::string type;  // windres' name for it: "icon", "group icon", "stringtable", "24", "REGISTRY"
    std::string name;  // "1", "101"; a string table's block number
    std::vector<std::string> strings;  // the quoted strings of its body, decoded; a version
                                       // resource's string values as "name=text"
};

// One image as binutils sees it.
struct ImageDump {
    std::string format;  // "pei-i386" or "pei-x86-64"
    std::vector<ImportedDll> imports;
    bool delayImportEntryFound = false;  // the data directory's delay-import entry was read
    std::uint64_t delayImportSize = 0;   // its size: 0 when nothing is delay-loaded
    std::string exportDllName;
    std::vector<std::string> exports;  // the name pointer table, in its order
    std::vector<Section> sections;
    std::vector<Resource> resources;
    std::map<int, std::string> stringTable;  // string identifier -> text

    std::vector<std::string> ImportedDlls() const;
    bool Exports(std::string_view name) const;  // exact, case-sensitive, as GetProcAddress compares
    const Section* FindSection(std::string_view name) const;
    const Resource* FindResource(std::string_view type, std::string_view name) const;
};

// Parses the text tests/dump_image.sh writes. Throws std::runtime_error when a part is missing or a
// table is not understood.
ImageDump ParseDump(std::istream& text);
ImageDump ReadDump(const std::string& path);

// ASCII case-insensitive, for DLL names (the loader ignores their case).
std::string ToLower(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Windows DLLs present on every supported system (case-insensitive; api-ms-win-crt-* included).
bool IsSystemDll(std::string_view dll);

// Whether the deliverable with this file name may import this DLL: system DLLs for all, and
// QLPGPUtils.dll for the launcher QuilloraOpenPGP.exe only.
bool MayImport(std::string_view deliverableFileName, std::string_view dll);

// The imported DLLs that the deliverable may not import.
std::vector<std::string> ForbiddenImports(std::string_view deliverableFileName, const ImageDump& image);

// One native method as declared in a javac-generated JNI header.
struct JniNative {
    std::string returnType;               // e.g. "jstring"
    std::string name;                     // e.g. "Java_com_brennick_util_Native_getLD"
    std::vector<std::string> parameters;  // without spaces: "JNIEnv*", "jclass", "jint", ...
};

// Reads every `JNIEXPORT <type> JNICALL <name>` declaration and its parameter list
// `(JNIEnv *, jclass, ...);` (on the same or the next line). Throws std::runtime_error for a
// declaration it cannot read completely or a parameter type it does not know.
std::vector<JniNative> ParseJniHeader(std::istream& header);

// Bytes of arguments a __stdcall function with these parameters removes from the 32-bit stack:
// 8 for jlong and jdouble, 4 for everything else (JNIEnv* and jclass included).
std::uint32_t StdcallArgumentBytes(const JniNative& native);

// The name the Java runtime looks up in the DLL: "_<name>@<bytes>" for 32-bit, "<name>" for 64-bit.
std::string ExportNameOf(const JniNative& native, int bits);

// An export name without stdcall decoration: one leading '_' and a trailing "@<digits>" removed.
std::string Undecorated(std::string_view exportName);

// The JNI short name: the name without its "__<signature>" part (the same name when there is none).
std::string ShortJniName(std::string_view jniName);

// Every export that the Java runtime could take for this native, whatever its decoration: those
// whose undecorated name is the native's JNI name or its short name.
std::vector<std::string> ExportsSpellingNative(const ImageDump& image, const JniNative& native);

}  // namespace ql::checks
