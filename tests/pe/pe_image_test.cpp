// The PE reader: synthetic images whose every table is known, damaged images, and two images made
// by the real toolchain (fixture/).

#include <doctest/doctest.h>

#include "doctest_printers.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "pe_builder.h"
#include "pe_image.h"
#include "pe_test_paths.h"

using namespace ql::pe;
using ql::pe::testing::Build;
using ql::pe::testing::ImagePlan;

namespace {

std::vector<std::string> DllNames(const std::vector<ImportedModule>& modules) {
    std::vector<std::string> names;
    for (const auto& m : modules) names.push_back(m.dll);
    return names;
}

std::vector<std::string> SymbolNames(const ImportedModule& module) {
    std::vector<std::string> names;
    for (const auto& s : module.symbols) {
        std::string name = s.name;
        if (s.byOrdinal) name.append("#").append(std::to_string(s.ordinal));
        names.push_back(name);
    }
    return names;
}

const Export* FindExport(const Image& image, const std::string& name) {
    for (const auto& e : image.exports)
        if (e.name == name) return &e;
    return nullptr;
}

const ImportedModule* FindModule(const std::vector<ImportedModule>& modules, const std::string& dll) {
    for (const auto& m : modules)
        if (EqualsIgnoreCase(m.dll, dll)) return &m;
    return nullptr;
}

ImagePlan FullPlan(bool is64) {
    ImagePlan plan;
    plan.is64 = is64;
    plan.imports = {{"KERNEL32.dll", {"CreateFileA", "CloseHandle"}},
                    {"USER32.dll", {"FindWindowA", "#17"}},
                    {"libstdc++-6.dll", {"_ZNSt8ios_base4InitC1Ev"}}};
    plan.delayImports = {{"SHELL32.dll", {"ShellExecuteExA"}}, {"mapi32.dll", {"#11", "MAPISendMail"}}};
    plan.exportDllName = "sample.dll";
    plan.ordinalBase = 5;
    plan.exports = {{"Zeta", ""}, {"", ""}, {"Alpha", ""}, {"Forwarded", "KERNEL32.GetTickCount"},
                    {"_Java_x_Y_z@16", ""}};
    plan.sections = {{".shared", 0xD0000040, 0x1200, 0x100C}, {".bss", 0xC0000080, 0, 0x400}};
    return plan;
}

void CheckFullPlan(const Image& image, bool is64) {
    CHECK(image.is64 == is64);
    CHECK(image.machine == (is64 ? kMachineAmd64 : kMachineI386));
    CHECK(image.imageBase == (is64 ? 0x180000000ull : 0x10000000ull));

    REQUIRE(DllNames(image.imports) == std::vector<std::string>{"KERNEL32.dll", "USER32.dll", "libstdc++-6.dll"});
    CHECK(SymbolNames(image.imports[0]) == std::vector<std::string>{"CreateFileA", "CloseHandle"});
    CHECK(SymbolNames(image.imports[1]) == std::vector<std::string>{"FindWindowA", "#17"});
    CHECK(SymbolNames(image.imports[2]) == std::vector<std::string>{"_ZNSt8ios_base4InitC1Ev"});

    REQUIRE(DllNames(image.delayImports) == std::vector<std::string>{"SHELL32.dll", "mapi32.dll"});
    CHECK(SymbolNames(image.delayImports[0]) == std::vector<std::string>{"ShellExecuteExA"});
    CHECK(SymbolNames(image.delayImports[1]) == std::vector<std::string>{"#11", "MAPISendMail"});
    CHECK(image.AllImportedDlls() ==
          std::vector<std::string>{"KERNEL32.dll", "USER32.dll", "libstdc++-6.dll", "SHELL32.dll", "mapi32.dll"});

    CHECK(image.exportDllName == "sample.dll");
    REQUIRE(image.exports.size() == 5);
    const Export* zeta = FindExport(image, "Zeta");
    const Export* alpha = FindExport(image, "Alpha");
    const Export* forwarded = FindExport(image, "Forwarded");
    const Export* decorated = FindExport(image, "_Java_x_Y_z@16");
    REQUIRE(zeta);
    REQUIRE(alpha);
    REQUIRE(forwarded);
    REQUIRE(decorated);
    CHECK(zeta->ordinal == 5);
    CHECK(alpha->ordinal == 7);
    CHECK(forwarded->ordinal == 8);
    CHECK(decorated->ordinal == 9);
    CHECK(zeta->forwarder.empty());
    CHECK(forwarded->forwarder == "KERNEL32.GetTickCount");
    // The ordinal-only entry comes after the named ones.
    CHECK(image.exports.back().name.empty());
    CHECK(image.exports.back().ordinal == 6);
    CHECK(image.ExportsName("Alpha"));
    CHECK_FALSE(image.ExportsName("alpha"));
    CHECK_FALSE(image.ExportsName("Java_x_Y_z"));

    REQUIRE(image.sections.size() == 3);
    CHECK(image.sections[0].name == ".rdata");
    const Section* shared = image.FindSection(".shared");
    REQUIRE(shared);
    CHECK(shared->characteristics == 0xD0000040u);
    CHECK(shared->rawSize == 0x1200u);
    CHECK(shared->virtualSize == 0x100Cu);
    const Section* bss = image.FindSection(".bss");
    REQUIRE(bss);
    CHECK(bss->rawSize == 0u);
    CHECK(bss->virtualSize == 0x400u);
    CHECK(bss->characteristics == 0xC0000080u);
    CHECK(image.FindSection(".shared2") == nullptr);
}

std::vector<std::byte> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    REQUIRE_MESSAGE(in.good(), "cannot open " << path);
    std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::byte> bytes(chars.size());
    std::transform(chars.begin(), chars.end(), bytes.begin(), [](char c) { return static_cast<std::byte>(c); });
    return bytes;
}

void Put32(std::vector<std::byte>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

}  // namespace

TEST_CASE("a PE32 image: imports, delay-load imports, exports and sections") {
    CheckFullPlan(Parse(Build(FullPlan(false)).bytes), false);
}

TEST_CASE("a PE32+ image: imports, delay-load imports, exports and sections") {
    CheckFullPlan(Parse(Build(FullPlan(true)).bytes), true);
}

TEST_CASE("delay-load descriptors of the oldest layout hold virtual addresses") {
    ImagePlan plan;
    plan.delayUsesVirtualAddresses = true;
    plan.imports = {{"KERNEL32.dll", {"Sleep"}}};
    plan.delayImports = {{"VERSION.dll", {"GetFileVersionInfoSizeA"}}};
    const Image image = Parse(Build(plan).bytes);
    REQUIRE(image.delayImports.size() == 1);
    CHECK(image.delayImports[0].dll == "VERSION.dll");
    CHECK(SymbolNames(image.delayImports[0]) == std::vector<std::string>{"GetFileVersionInfoSizeA"});
}

TEST_CASE("the delay-load directory ends at its declared size even without a terminator") {
    auto built = Build(FullPlan(true));
    const std::size_t sizeField = built.peHeaderOffset + 24 + 112 + 13 * 8 + 4;
    Put32(built.bytes, sizeField, 32);
    const Image image = Parse(built.bytes);
    CHECK(DllNames(image.delayImports) == std::vector<std::string>{"SHELL32.dll"});
}

TEST_CASE("an image without exports or delay-load imports") {
    ImagePlan plan;
    plan.is64 = true;
    plan.imports = {{"KERNEL32.dll", {"ExitProcess"}}};
    const Image image = Parse(Build(plan).bytes);
    CHECK(image.exports.empty());
    CHECK(image.exportDllName.empty());
    CHECK(image.delayImports.empty());
    CHECK(DllNames(image.imports) == std::vector<std::string>{"KERNEL32.dll"});
}

TEST_CASE("section names longer than eight characters come from the string table") {
    ImagePlan plan;
    plan.imports = {{"KERNEL32.dll", {"Sleep"}}};
    plan.sections = {{".debug_info", 0x42000040, 0x200, 0x100}, {".tls", 0xC0000040, 0x200, 0x10},
                     {".debug_line_str", 0x42000040, 0x200, 0x80}};
    const Image image = Parse(Build(plan).bytes);
    REQUIRE(image.sections.size() == 4);
    CHECK(image.sections[1].name == ".debug_info");
    CHECK(image.sections[2].name == ".tls");
    CHECK(image.sections[3].name == ".debug_line_str");
    CHECK(image.sections[3].characteristics == 0x42000040u);
}

TEST_CASE("what is not a PE image is refused") {
    const auto good = Build(FullPlan(false));

    SUBCASE("empty") { CHECK_THROWS_AS(Parse({}), FormatError); }
    SUBCASE("no MZ") {
        auto bytes = good.bytes;
        bytes[0] = std::byte{'X'};
        CHECK_THROWS_AS(Parse(bytes), FormatError);
    }
    SUBCASE("PE header offset past the end") {
        auto bytes = good.bytes;
        Put32(bytes, 0x3C, static_cast<std::uint32_t>(bytes.size() - 2));
        CHECK_THROWS_AS(Parse(bytes), FormatError);
        Put32(bytes, 0x3C, 0xFFFFFFF0u);
        CHECK_THROWS_AS(Parse(bytes), FormatError);
    }
    SUBCASE("no PE signature") {
        auto bytes = good.bytes;
        bytes[good.peHeaderOffset + 1] = std::byte{'F'};
        CHECK_THROWS_AS(Parse(bytes), FormatError);
    }
    SUBCASE("unknown optional header") {
        auto bytes = good.bytes;
        bytes[good.peHeaderOffset + 24] = std::byte{0x07};
        CHECK_THROWS_AS(Parse(bytes), FormatError);
    }
    SUBCASE("imported DLL name at an address no section holds") {
        auto bytes = good.bytes;
        Put32(bytes, good.importDirectoryOffset + 12, 0x00F00000u);
        CHECK_THROWS_AS(Parse(bytes), FormatError);
    }
    SUBCASE("export name count beyond the file") {
        auto bytes = good.bytes;
        Put32(bytes, good.exportDirectoryOffset + 24, 0x00100000u);
        CHECK_THROWS_AS(Parse(bytes), FormatError);
    }
    SUBCASE("export name table pointing at an ordinal past the address table") {
        auto bytes = good.bytes;
        Put32(bytes, good.exportDirectoryOffset + 20, 1);  // one function; the names refer to entries up to index 4
        CHECK_THROWS_AS(Parse(bytes), FormatError);
    }
}

TEST_CASE("a cut-off image is refused or read in full, never read in part") {
    for (const bool is64 : {false, true}) {
        const auto built = Build(FullPlan(is64));
        const Image full = Parse(built.bytes);
        for (std::size_t length = 0; length < built.bytes.size(); ++length) {
            CAPTURE(is64);
            CAPTURE(length);
            const std::span<const std::byte> cut(built.bytes.data(), length);
            if (length <= built.rdataOffset) {
                CHECK_THROWS_AS(Parse(cut), FormatError);
                continue;
            }
            try {
                const Image partial = Parse(cut);
                CHECK(DllNames(partial.imports) == DllNames(full.imports));
                CHECK(DllNames(partial.delayImports) == DllNames(full.delayImports));
                CHECK(partial.exports.size() == full.exports.size());
            } catch (const FormatError&) {
                // refused: fine
            }
        }
    }
}

TEST_CASE("a file that cannot be opened") {
    CHECK_THROWS_AS(ReadFile("/nonexistent/ql-pe-test/absent.dll"), std::runtime_error);
}

TEST_CASE("the fixture DLL as the toolchain linked it") {
    const Image image = ReadFile(QL_PE_FIXTURE_DLL);
    CHECK(image.is64 == (QL_PE_BITS == 64));
    CHECK(image.machine == (QL_PE_BITS == 64 ? kMachineAmd64 : kMachineI386));
    CHECK((image.fileCharacteristics & 0x2000) != 0);  // a DLL
    CHECK(image.exportDllName == "pe_fixture.dll");

    const Export* value = FindExport(image, "FixtureValue");
    REQUIRE(value);
    CHECK(value->forwarder.empty());
    const Export* forwarded = FindExport(image, "FixtureForward");
    REQUIRE(forwarded);
    CHECK(forwarded->forwarder == "KERNEL32.GetTickCount");
    const Export* decorated = FindExport(image, "_FixtureDecorated@12");
    REQUIRE(decorated);
    CHECK(decorated->rva == value->rva);  // an alias of FixtureValue
    CHECK_FALSE(image.ExportsName("FixtureHidden"));
    const bool hiddenByOrdinal = std::any_of(image.exports.begin(), image.exports.end(), [](const Export& e) {
        return e.name.empty() && e.ordinal == 7;
    });
    CHECK(hiddenByOrdinal);
    CHECK(image.exports.size() == 4);

    const Section* shared = image.FindSection(".qlfix");
    REQUIRE(shared);
    CHECK(shared->characteristics == (kSectionShared | kSectionRead | kSectionWrite | kSectionInitializedData));
    CHECK(shared->rawSize >= 6000u);
    CHECK(shared->virtualSize >= 6000u);
    const Section* text = image.FindSection(".text");
    REQUIRE(text);
    CHECK((text->characteristics & kSectionShared) == 0);
    CHECK(image.FindSection(".qlfixture_long") != nullptr);

    const ImportedModule* kernel32 = FindModule(image.imports, "kernel32.dll");
    REQUIRE(kernel32);
    const auto symbols = SymbolNames(*kernel32);
    CHECK(std::find(symbols.begin(), symbols.end(), "GetTickCount") != symbols.end());
    // Linked with -static: no compiler runtime DLL.
    for (const auto& dll : image.AllImportedDlls()) {
        CAPTURE(dll);
        CHECK(ToLower(dll).find("libstdc++") == std::string::npos);
        CHECK(ToLower(dll).find("libgcc") == std::string::npos);
    }
    CHECK(image.delayImports.empty());
}

TEST_CASE("the fixture program: runtime DLLs imported, pe_fixture.dll delay-loaded") {
    const Image image = ReadFile(QL_PE_FIXTURE_APP);
    CHECK(image.is64 == (QL_PE_BITS == 64));
    CHECK((image.fileCharacteristics & 0x2000) == 0);  // not a DLL
    CHECK(image.exports.empty());
    const auto dlls = DllNames(image.imports);
    CAPTURE(dlls);
    CHECK(FindModule(image.imports, "libstdc++-6.dll") != nullptr);
    CHECK(FindModule(image.imports, "KERNEL32.dll") != nullptr);
    CHECK(FindModule(image.imports, "pe_fixture.dll") == nullptr);  // delay-loaded, not imported

    // GNU ld writes dlltool's delay-load descriptor but not the data directory entry that finds it;
    // point the entry at the descriptor in a copy and read the real descriptor dlltool wrote.
    std::ifstream addressFile(QL_PE_FIXTURE_APP_DELAY_DESCRIPTOR);
    std::string hex;
    addressFile >> hex;
    REQUIRE_MESSAGE(!hex.empty(), "no address in " << QL_PE_FIXTURE_APP_DELAY_DESCRIPTOR);
    const std::uint64_t address = std::stoull(hex, nullptr, 16);
    REQUIRE(address > image.imageBase);
    auto bytes = ReadBytes(QL_PE_FIXTURE_APP);
    const std::size_t pe = static_cast<std::size_t>(bytes.at(0x3C)) | static_cast<std::size_t>(bytes.at(0x3D)) << 8;
    const std::size_t directory = pe + 24 + (image.is64 ? 112 : 96) + 13 * 8;
    Put32(bytes, directory, static_cast<std::uint32_t>(address - image.imageBase));
    Put32(bytes, directory + 4, 32);  // dlltool writes one descriptor, with no terminator after it
    const Image patched = Parse(bytes);
    REQUIRE(patched.delayImports.size() == 1);
    CHECK(patched.delayImports[0].dll == "pe_fixture.dll");
    CHECK(SymbolNames(patched.delayImports[0]) == std::vector<std::string>{"FixtureValue"});
    CHECK(DllNames(patched.imports) == dlls);
}
