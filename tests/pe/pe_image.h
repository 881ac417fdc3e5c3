// Reads the parts of a PE image (EXE or DLL, 32 or 64-bit) that our binary checks look at: the
// section table, the import and delay-import directories and the export directory.
//
// Portable C++: every structure is decoded field by field from the file's bytes (little-endian), so
// the reader builds and behaves the same on any host, and never trusts an offset or a count in the
// file before checking it against the file's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ql::pe {

// Raised for a file that is not a PE image or whose tables point outside the file.
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Section flag bits, as stored in the Characteristics field of a section header.
inline constexpr std::uint32_t kSectionInitializedData = 0x00000040;
inline constexpr std::uint32_t kSectionShared = 0x10000000;
inline constexpr std::uint32_t kSectionRead = 0x40000000;
inline constexpr std::uint32_t kSectionWrite = 0x80000000;

inline constexpr std::uint16_t kMachineI386 = 0x014C;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;

struct Section {
    std::string name;  // long names ("/4") resolved through the COFF string table when present
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawOffset = 0;  // PointerToRawData
    std::uint32_t rawSize = 0;    // SizeOfRawData: bytes stored in the file
    std::uint32_t characteristics = 0;
};

struct ImportedSymbol {
    std::string name;         // empty when imported by ordinal
    std::uint16_t ordinal = 0;  // meaningful only when byOrdinal
    bool byOrdinal = false;
};

struct ImportedModule {
    std::string dll;  // as written in the image, e.g. "KERNEL32.dll"
    std::vector<ImportedSymbol> symbols;
};

struct Export {
    std::string name;  // empty for an ordinal-only export
    std::uint32_t ordinal = 0;  // biased: the number a caller passes to GetProcAddress
    std::uint32_t rva = 0;
    std::string forwarder;  // "OTHER.Name" for a forwarded export, else empty
};

struct Image {
    bool is64 = false;  // PE32+ optional header
    std::uint16_t machine = 0;
    std::uint16_t fileCharacteristics = 0;
    std::uint64_t imageBase = 0;
    std::vector<Section> sections;
    std::vector<ImportedModule> imports;       // the import directory
    std::vector<ImportedModule> delayImports;  // the delay-load import directory
    std::string exportDllName;                 // the name the export directory gives itself
    std::vector<Export> exports;               // named exports first, in table order, then ordinal-only

    // The first section with exactly this name, or null.
    const Section* FindSection(std::string_view name) const;
    // True when some export has exactly this name (case-sensitive, as GetProcAddress compares).
    bool ExportsName(std::string_view name) const;
    // The DLL names of the import directory and then of the delay-load directory.
    std::vector<std::string> AllImportedDlls() const;
};

// Decodes an image held in memory. Throws FormatError.
Image Parse(std::span<const std::byte> bytes);

// Reads and decodes a file. Throws FormatError, or std::runtime_error when the file cannot be read.
Image ReadFile(const std::string& path);

// ASCII case-insensitive comparison, for DLL names (the loader ignores their case).
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToLower(std::string_view text);

}  // namespace ql::pe
