// The built deliverables as files: what they import, the bridge library's shared section and its
// exports.

#include <doctest/doctest.h>

#include "doctest_printers.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "binaries_paths.h"
#include "binary_checks.h"
#include "pe_image.h"

using namespace ql;

namespace {

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// The shared block of QLPGPUtils.dll: two window handles and a flag (4 bytes each), then the
// request slot and the command slot of 64 KiB each; its initial values are stored in the image.
constexpr std::uint32_t kSharedBlockBytes = 3 * 4 + 65536 + 65536;
constexpr std::uint32_t kSharedSectionFlags =
    pe::kSectionShared | pe::kSectionRead | pe::kSectionWrite | pe::kSectionInitializedData;

}  // namespace

TEST_CASE("the import rule: system DLLs for all, the bridge library for the launcher only") {
    for (const char* dll : {"KERNEL32.dll", "kernel32.dll", "USER32.dll", "ADVAPI32.dll", "SHLWAPI.dll",
                            "SHELL32.dll", "ole32.dll", "OLEAUT32.dll", "GDI32.dll", "COMCTL32.dll",
                            "NETAPI32.dll", "msvcrt.dll", "MSVCRT.DLL", "api-ms-win-crt-runtime-l1-1-0.dll"}) {
        const std::string name = dll;
        CAPTURE(name);
        CHECK(checks::MayImport("QLPGPUtils.dll", dll));
        CHECK(checks::MayImport("QuilloraOpenPGP.exe", dll));
    }
    for (const char* dll : {"libstdc++-6.dll", "libgcc_s_dw2-1.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll",
                            "zlib1.dll", "kernel32.dll.bak", "kernel32", "api-ms-win-crt-.dll",
                            "api-ms-win-core-synch-l1-2-0.dll", "mapi32.dll", "jvm.dll"}) {
        const std::string name = dll;
        CAPTURE(name);
        CHECK_FALSE(checks::MayImport("QLPGPUtils.dll", dll));
        CHECK_FALSE(checks::MayImport("QuilloraOpenPGP.exe", dll));
    }
    CHECK(checks::MayImport("QuilloraOpenPGP.exe", "QLPGPUtils.dll"));
    CHECK(checks::MayImport("quilloraopenpgp.EXE", "qlpgputils.DLL"));
    CHECK_FALSE(checks::MayImport("QLPGPUtils.dll", "QLPGPUtils.dll"));
    CHECK_FALSE(checks::MayImport("QLPGPShellExt.dll", "QLPGPUtils.dll"));
    CHECK_FALSE(checks::MayImport("QuilloraOpenPGP.exe", "QLPGPUtils2.dll"));
}

TEST_CASE("the import rule finds the runtime DLLs of a program linked without -static") {
    const pe::Image image = pe::ReadFile(QL_RUNTIME_DLLS_FIXTURE);
    const auto forbidden = checks::ForbiddenImports("QuilloraOpenPGP.exe", image);
    CAPTURE(Join(forbidden));
    bool foundLibstdcxx = false;
    for (const auto& dll : forbidden) {
        CHECK_FALSE(checks::IsSystemDll(dll));
        if (pe::EqualsIgnoreCase(dll, "libstdc++-6.dll")) foundLibstdcxx = true;
    }
    CHECK(foundLibstdcxx);
}

TEST_CASE("every deliverable imports only what it may") {
    bool bridgeListed = false;
    for (const BuiltDeliverable& d : kBuiltDeliverables) {
        const std::string target = d.target, path = d.path;
        CAPTURE(target);
        CAPTURE(path);
        const pe::Image image = pe::ReadFile(d.path);
        const auto dlls = image.AllImportedDlls();
        INFO("imports: " << Join(dlls));
        // A module that imports nothing at all would mean the import table was not read.
        CHECK_FALSE(dlls.empty());
        const auto forbidden = checks::ForbiddenImports(d.fileName, image);
        CHECK_MESSAGE(forbidden.empty(), d.fileName << " imports " << Join(forbidden));
        if (pe::EqualsIgnoreCase(d.fileName, "QLPGPUtils.dll")) bridgeListed = true;
    }
    CHECK_MESSAGE(bridgeListed, "QLPGPUtils is not among the deliverables");
}

TEST_CASE("QLPGPUtils.dll keeps its shared block in one shared section stored in the image") {
    const pe::Image image = pe::ReadFile(QL_QLPGPUTILS_DLL);
    CHECK(image.is64 == (QL_BUILT_BITS == 64));
    int sharedSections = 0;
    for (const pe::Section& s : image.sections) {
        CAPTURE(s.name);
        const std::string characteristics = Hex(s.characteristics);
        CAPTURE(characteristics);
        if (s.name == ".shared") {
            ++sharedSections;
            CHECK(s.characteristics == kSharedSectionFlags);
            CHECK(s.rawSize >= kSharedBlockBytes);
            CHECK(s.virtualSize >= kSharedBlockBytes);
        } else {
            // Any other shared section would share data between processes by accident.
            CHECK((s.characteristics & pe::kSectionShared) == 0);
        }
    }
    CHECK(sharedSections == 1);
}

TEST_CASE("QLPGPUtils.dll exports its plain functions and the wait native under one name") {
    const pe::Image image = pe::ReadFile(QL_QLPGPUTILS_DLL);
    std::vector<std::string> names;
    for (const auto& e : image.exports) {
        std::string name = e.name;
        if (name.empty()) name.append("#").append(std::to_string(e.ordinal));
        names.push_back(name);
    }
    INFO("exports: " << Join(names));
    CHECK(image.exportDllName == "QLPGPUtils.dll");

    for (const std::string plain : {"RequestOpenFile", "SendCommand", "GetMainWnd", "GetHiddenWnd"}) {
        CAPTURE(plain);
        CHECK(image.ExportsName(plain));
    }

    const checks::JniNative wait{"jstring", "Java_com_brennick_util_Native_waitForOpenFileRequest",
                                 {"JNIEnv*", "jclass", "jint", "jint"}};
    const std::string expected = QL_BUILT_BITS == 32 ? "_Java_com_brennick_util_Native_waitForOpenFileRequest@16"
                                                     : "Java_com_brennick_util_Native_waitForOpenFileRequest";
    CHECK(checks::ExportNameOf(wait, QL_BUILT_BITS) == expected);
    CHECK(image.ExportsName(expected));
    // No second spelling (undecorated, half-decorated) that could hide a wrong one.
    CHECK(checks::ExportsSpellingNative(image, wait) == std::vector<std::string>{expected});
}
