// The built deliverables as binutils reads them (objdump -p and -h, windres -O rc, dumped at build
// time by tests/dump_image.sh): what they import, the bridge library's shared section and exports,
// and the resources each one carries.

#include <doctest/doctest.h>

#include "doctest_printers.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "binaries_paths.h"
#include "binary_checks.h"

using namespace ql;

namespace {

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

// The shared block of QLPGPUtils.dll: two window handles and a flag (4 bytes each), then the
// request slot and the command slot of 64 KiB each; its initial values are stored in the image.
constexpr std::uint64_t kSharedBlockBytes = 3 * 4 + 65536 + 65536;
// Flags 0xD0000040 (shared, readable, writable, initialised data) as objdump spells them: stored in
// the file (CONTENTS), mapped (ALLOC, LOAD), data, not READONLY, not CODE, SHARED.
const std::string kSharedSectionFlags = "CONTENTS, ALLOC, LOAD, DATA, SHARED";

const char* ExpectedFormat() { return QL_BUILT_BITS == 64 ? "pei-x86-64" : "pei-i386"; }

using ResourceKey = std::pair<std::string, std::string>;  // type, name

// Every resource but the single icon images (RT_ICON, numbered by the resource compiler), by
// deliverable. Nothing else may be there. The extension carries no version resource.
struct ExpectedResources {
    const char* fileName;
    std::set<ResourceKey> resources;
    const char* manifestName;  // the RT_MANIFEST resource (type 24); null: none
};
const std::vector<ExpectedResources> kExpectedResources = {
    {"QuilloraOpenPGP.exe", {{"group icon", "1"}, {"24", "1"}, {"version", "1"}}, "1"},
    {"QLOPGPMonitor.exe",
     {{"group icon", "129"}, {"group icon", "130"}, {"group icon", "131"}, {"menu", "132"}, {"24", "1"},
      {"version", "1"}},
     "1"},
    {"QLPGPUtils.dll", {{"version", "1"}}, nullptr},
    {QL_BUILT_BITS == 64 ? "QLPGPShellExt64.dll" : "QLPGPShellExt.dll",
     {{"REGISTRY", "101"}, {"REGISTRY", "102"}, {"TYPELIB", "1"}, {"stringtable", "7"}, {"24", "2"}}, "2"},
};

std::string Concatenated(const std::vector<std::string>& strings) {
    std::string text;
    for (const auto& s : strings) text += s;
    return text;
}

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
    const checks::ImageDump image = checks::ReadDump(QL_RUNTIME_DLLS_DUMP);
    const auto forbidden = checks::ForbiddenImports("QuilloraOpenPGP.exe", image);
    CAPTURE(Join(forbidden));
    bool foundLibstdcxx = false;
    for (const auto& dll : forbidden) {
        CHECK_FALSE(checks::IsSystemDll(dll));
        if (checks::EqualsIgnoreCase(dll, "libstdc++-6.dll")) foundLibstdcxx = true;
    }
    CHECK(foundLibstdcxx);
}

TEST_CASE("every deliverable imports only what it may, and only statically") {
    bool bridgeListed = false;
    for (const BuiltDeliverable& d : kBuiltDeliverables) {
        const std::string target = d.target, dump = d.dump;
        CAPTURE(target);
        CAPTURE(dump);
        const checks::ImageDump image = checks::ReadDump(d.dump);
        CHECK(image.format == ExpectedFormat());
        const auto dlls = image.ImportedDlls();
        INFO("imports: " << Join(dlls));
        // A module that imports nothing at all would mean the import table was not read.
        REQUIRE_FALSE(dlls.empty());
        for (const auto& imported : image.imports) {
            CAPTURE(imported.dll);
            CHECK_FALSE(imported.functions.empty());
        }
        const auto forbidden = checks::ForbiddenImports(d.fileName, image);
        CHECK_MESSAGE(forbidden.empty(), std::string(d.fileName) << " imports " << Join(forbidden));
        // Nothing is delay-loaded: the import table above is all a module needs.
        CHECK(image.delayImportSize == 0);
        if (checks::EqualsIgnoreCase(d.fileName, "QLPGPUtils.dll")) bridgeListed = true;
    }
    CHECK_MESSAGE(bridgeListed, "QLPGPUtils is not among the deliverables");
}

TEST_CASE("QLPGPUtils.dll keeps its shared block in one shared section stored in the image") {
    const checks::ImageDump image = checks::ReadDump(QL_QLPGPUTILS_DUMP);
    CHECK(image.format == ExpectedFormat());
    int sharedSections = 0;
    for (const checks::Section& s : image.sections) {
        CAPTURE(s.name);
        CAPTURE(s.flags);
        if (s.name == ".shared") {
            ++sharedSections;
            CHECK(s.flags == kSharedSectionFlags);
            CHECK(s.size >= kSharedBlockBytes);  // both the stored and the mapped size
        } else {
            // Any other shared section would share data between processes by accident.
            CHECK(s.flags.find("SHARED") == std::string::npos);
        }
    }
    CHECK(sharedSections == 1);
}

TEST_CASE("QLPGPUtils.dll exports its plain functions and the wait native under one name") {
    const checks::ImageDump image = checks::ReadDump(QL_QLPGPUTILS_DUMP);
    INFO("exports: " << Join(image.exports));
    CHECK(image.exportDllName == "QLPGPUtils.dll");

    for (const std::string plain : {"RequestOpenFile", "SendCommand", "GetMainWnd", "GetHiddenWnd",
                                    "IsOpenRequestPending", "WaitForOpenRequestTaken"}) {
        CAPTURE(plain);
        CHECK(image.Exports(plain));
    }

    const checks::JniNative wait{"jstring", "Java_com_brennick_util_Native_waitForOpenFileRequest",
                                 {"JNIEnv*", "jclass", "jint", "jint"}};
    const std::string expected = QL_BUILT_BITS == 32 ? "_Java_com_brennick_util_Native_waitForOpenFileRequest@16"
                                                     : "Java_com_brennick_util_Native_waitForOpenFileRequest";
    CHECK(checks::ExportNameOf(wait, QL_BUILT_BITS) == expected);
    CHECK(image.Exports(expected));
    // No second spelling (undecorated, half-decorated) that could hide a wrong one.
    CHECK(checks::ExportsSpellingNative(image, wait) == std::vector<std::string>{expected});
}

TEST_CASE("each deliverable carries its resources and no others") {
    std::size_t checked = 0;
    for (const BuiltDeliverable& d : kBuiltDeliverables) {
        const std::string fileName = d.fileName;
        CAPTURE(fileName);
        const auto expected = std::find_if(kExpectedResources.begin(), kExpectedResources.end(),
                                           [&](const ExpectedResources& e) { return fileName == e.fileName; });
        REQUIRE_MESSAGE(expected != kExpectedResources.end(), "no resources listed for " << fileName);
        ++checked;
        const checks::ImageDump image = checks::ReadDump(d.dump);

        std::set<ResourceKey> found;
        std::size_t icons = 0;
        for (const checks::Resource& r : image.resources) {
            if (r.type == "icon") ++icons;
            else CHECK_MESSAGE(found.insert({r.type, r.name}).second, "twice: " << r.type << " " << r.name);
        }
        std::vector<std::string> foundText;
        for (const auto& [type, name] : found) foundText.push_back(type + " " + name);
        INFO("resources: " << Join(foundText));
        CHECK(found == expected->resources);
        // Every group icon has its images; an image without a group would be dead weight.
        std::size_t groups = 0;
        for (const auto& key : found) groups += key.first == "group icon" ? 1 : 0;
        CHECK((icons > 0) == (groups > 0));
        CHECK(icons >= groups);

        // The product version, which Windows Installer compares before it replaces a file.
        if (const checks::Resource* versionResource = image.FindResource("version", "1")) {
            const std::vector<std::string>& values = versionResource->strings;
            const std::string version = QL_PRODUCT_VERSION;
            for (const std::string& value : {"ProductVersion=" + version, "FileVersion=" + version,
                                             "OriginalFilename=" + fileName, std::string("ProductName=Quillora OpenPGP")})
                CHECK_MESSAGE(std::find(values.begin(), values.end(), value) != values.end(), "no " << value);
        }
        if (expected->manifestName != nullptr) {
            const checks::Resource* manifest = image.FindResource("24", expected->manifestName);
            REQUIRE(manifest != nullptr);
            const std::string xml = Concatenated(manifest->strings);
            CAPTURE(xml);
            CHECK(xml.find("<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\"") != std::string::npos);
            CHECK(xml.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>") != std::string::npos);
        }
    }
    CHECK(checked == kExpectedResources.size());
}

TEST_CASE("the extension's string table and registration scripts") {
    const std::string extension = QL_BUILT_BITS == 64 ? "QLPGPShellExt64.dll" : "QLPGPShellExt.dll";
    const auto built = std::find_if(std::begin(kBuiltDeliverables), std::end(kBuiltDeliverables),
                                    [&](const BuiltDeliverable& d) { return extension == d.fileName; });
    REQUIRE(built != std::end(kBuiltDeliverables));
    const checks::ImageDump image = checks::ReadDump(built->dump);
    CHECK(image.stringTable == std::map<int, std::string>{{100, "QLPGPShellExt"}});
    // The scripts are stored as their text: the class script names the module it registers.
    const checks::Resource* classScript = image.FindResource("REGISTRY", "102");
    REQUIRE(classScript != nullptr);
    CHECK(Concatenated(classScript->strings).find("InprocServer32") != std::string::npos);
    const checks::Resource* appIdScript = image.FindResource("REGISTRY", "101");
    REQUIRE(appIdScript != nullptr);
    CHECK(Concatenated(appIdScript->strings).find("AppID") != std::string::npos);
}

TEST_CASE("the programs export nothing, the extension exactly the four entry points COM looks up") {
    const std::string extension = QL_BUILT_BITS == 64 ? "QLPGPShellExt64.dll" : "QLPGPShellExt.dll";
    std::size_t checked = 0;
    for (const BuiltDeliverable& d : kBuiltDeliverables) {
        const std::string fileName = d.fileName;
        CAPTURE(fileName);
        const checks::ImageDump image = checks::ReadDump(d.dump);
        INFO("exports: " << Join(image.exports));
        if (fileName == extension) {
            ++checked;
            CHECK(image.exportDllName == extension);
            // Plain names in both builds: regsvr32 and COM ask for exactly these.
            CHECK(image.exports == std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                                            "DllUnregisterServer"});
        } else if (fileName.ends_with(".exe")) {
            ++checked;
            CHECK(image.exports.empty());
        }
    }
    CHECK(checked == 3);
}
