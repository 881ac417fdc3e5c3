// Rules the built binaries must follow, as functions the tests apply to what the PE reader finds:
// which DLLs a deliverable may import, and the export names of the JNI natives.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "pe_image.h"

namespace ql::checks {

// Windows DLLs present on every supported system (case-insensitive; api-ms-win-crt-* included).
bool IsSystemDll(std::string_view dll);

// Whether the deliverable with this file name may import this DLL: system DLLs for all, and
// QLPGPUtils.dll for the launcher QuilloraOpenPGP.exe only.
bool MayImport(std::string_view deliverableFileName, std::string_view dll);

// The DLLs in the import and delay-load directories that the deliverable may not import.
std::vector<std::string> ForbiddenImports(std::string_view deliverableFileName, const pe::Image& image);

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
std::vector<std::string> ExportsSpellingNative(const pe::Image& image, const JniNative& native);

}  // namespace ql::checks
