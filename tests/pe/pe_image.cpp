#include "pe_image.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace ql::pe {
namespace {

// Offsets and sizes of the on-disk structures we decode.
constexpr std::size_t kDosLfanewOffset = 0x3C;
constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kCoffSymbolSize = 18;
constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::size_t kDelayDescriptorSize = 32;
constexpr std::size_t kExportDirectorySize = 40;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;

constexpr std::uint32_t kDirExport = 0;
constexpr std::uint32_t kDirImport = 1;
constexpr std::uint32_t kDirDelayImport = 13;

// No real image has more than a few thousand of anything; a larger count means a damaged table,
// and the cap keeps a loop over it short even when the bytes happen to be in range.
constexpr std::size_t kMaxEntries = 1u << 20;
constexpr std::size_t kMaxNameLength = 4096;

// Bounds-checked little-endian reads over the whole file.
class Bytes {
public:
    explicit Bytes(std::span<const std::byte> data) : data_(data) {}

    std::size_t size() const { return data_.size(); }

    void Require(std::size_t offset, std::size_t length, const char* what) const {
        if (offset > data_.size() || length > data_.size() - offset)
            throw FormatError(std::string(what) + " lies outside the file");
    }

    std::uint8_t U8(std::size_t offset, const char* what) const {
        Require(offset, 1, what);
        return static_cast<std::uint8_t>(data_[offset]);
    }
    std::uint16_t U16(std::size_t offset, const char* what) const {
        Require(offset, 2, what);
        return static_cast<std::uint16_t>(Byte(offset) | Byte(offset + 1) << 8);
    }
    std::uint32_t U32(std::size_t offset, const char* what) const {
        Require(offset, 4, what);
        return Byte(offset) | Byte(offset + 1) << 8 | Byte(offset + 2) << 16 |
               static_cast<std::uint32_t>(Byte(offset + 3)) << 24;
    }
    std::uint64_t U64(std::size_t offset, const char* what) const {
        return U32(offset, what) | static_cast<std::uint64_t>(U32(offset + 4, what)) << 32;
    }

    // A zero-terminated string starting at offset; it must end inside the file.
    std::string CString(std::size_t offset, const char* what) const {
        Require(offset, 1, what);
        std::string text;
        for (std::size_t i = offset;; ++i) {
            if (i >= data_.size()) throw FormatError(std::string(what) + " is not terminated");
            char c = static_cast<char>(data_[i]);
            if (c == '\0') return text;
            if (text.size() >= kMaxNameLength) throw FormatError(std::string(what) + " is too long");
            text.push_back(c);
        }
    }

    // Up to `length` bytes, cut at the first zero (section names are padded, not terminated).
    std::string FixedString(std::size_t offset, std::size_t length, const char* what) const {
        Require(offset, length, what);
        std::string text;
        for (std::size_t i = 0; i < length; ++i) {
            char c = static_cast<char>(data_[offset + i]);
            if (c == '\0') break;
            text.push_back(c);
        }
        return text;
    }

private:
    std::uint32_t Byte(std::size_t offset) const { return static_cast<std::uint8_t>(data_[offset]); }

    std::span<const std::byte> data_;
};

struct DataDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

class Parser {
public:
    explicit Parser(std::span<const std::byte> data) : bytes_(data) {}

    Image Run() {
        ReadHeaders();
        if (directories_.size() > kDirImport && directories_[kDirImport].rva != 0)
            image_.imports = ReadImports(directories_[kDirImport]);
        if (directories_.size() > kDirDelayImport && directories_[kDirDelayImport].rva != 0)
            image_.delayImports = ReadDelayImports(directories_[kDirDelayImport]);
        if (directories_.size() > kDirExport && directories_[kDirExport].rva != 0)
            ReadExports(directories_[kDirExport]);
        return std::move(image_);
    }

private:
    void ReadHeaders() {
        if (bytes_.size() < 0x40 || bytes_.U8(0, "DOS header") != 'M' || bytes_.U8(1, "DOS header") != 'Z')
            throw FormatError("no MZ header");
        const std::size_t pe = bytes_.U32(kDosLfanewOffset, "PE header offset");
        if (bytes_.U32(pe, "PE signature") != 0x00004550) throw FormatError("no PE signature");

        const std::size_t coff = pe + 4;
        image_.machine = bytes_.U16(coff, "COFF header");
        const std::size_t sectionCount = bytes_.U16(coff + 2, "COFF header");
        const std::uint32_t symbolTable = bytes_.U32(coff + 8, "COFF header");
        const std::uint32_t symbolCount = bytes_.U32(coff + 12, "COFF header");
        const std::size_t optionalSize = bytes_.U16(coff + 16, "COFF header");
        image_.fileCharacteristics = bytes_.U16(coff + 18, "COFF header");

        const std::size_t optional = coff + kCoffHeaderSize;
        bytes_.Require(optional, optionalSize, "optional header");
        const std::uint16_t magic = bytes_.U16(optional, "optional header");
        std::size_t directoryCountOffset = 0;
        if (magic == kMagicPe32) {
            image_.is64 = false;
            image_.imageBase = bytes_.U32(optional + 28, "image base");
            directoryCountOffset = 92;
        } else if (magic == kMagicPe32Plus) {
            image_.is64 = true;
            image_.imageBase = bytes_.U64(optional + 24, "image base");
            directoryCountOffset = 108;
        } else {
            throw FormatError("unknown optional header magic");
        }
        if (directoryCountOffset + 4 > optionalSize) throw FormatError("optional header too short");
        sizeOfHeaders_ = bytes_.U32(optional + 60, "optional header");  // SizeOfHeaders, same place in both layouts
        std::size_t directoryCount = bytes_.U32(optional + directoryCountOffset, "directory count");
        // Only the directories that fit in the optional header exist, whatever the count claims.
        const std::size_t room = (optionalSize - directoryCountOffset - 4) / 8;
        directoryCount = std::min(directoryCount, room);
        for (std::size_t i = 0; i < directoryCount; ++i) {
            const std::size_t at = optional + directoryCountOffset + 4 + i * 8;
            directories_.push_back({bytes_.U32(at, "data directory"), bytes_.U32(at + 4, "data directory")});
        }

        const std::size_t table = optional + optionalSize;
        bytes_.Require(table, sectionCount * kSectionHeaderSize, "section table");
        for (std::size_t i = 0; i < sectionCount; ++i) {
            const std::size_t at = table + i * kSectionHeaderSize;
            Section s;
            s.name = bytes_.FixedString(at, 8, "section name");
            s.virtualSize = bytes_.U32(at + 8, "section header");
            s.virtualAddress = bytes_.U32(at + 12, "section header");
            s.rawSize = bytes_.U32(at + 16, "section header");
            s.rawOffset = bytes_.U32(at + 20, "section header");
            s.characteristics = bytes_.U32(at + 36, "section header");
            s.name = ResolveLongName(s.name, symbolTable, symbolCount);
            image_.sections.push_back(std::move(s));
        }
    }

    // Names longer than eight characters are stored as "/<decimal offset>" into the COFF string
    // table, which follows the symbol table (GNU ld writes them for the debug sections).
    std::string ResolveLongName(const std::string& name, std::uint32_t symbolTable,
                                std::uint32_t symbolCount) const {
        if (name.size() < 2 || name[0] != '/' || symbolTable == 0) return name;
        std::uint64_t offset = 0;
        for (std::size_t i = 1; i < name.size(); ++i) {
            if (name[i] < '0' || name[i] > '9') return name;
            offset = offset * 10 + static_cast<std::uint64_t>(name[i] - '0');
        }
        const std::uint64_t strings = symbolTable + static_cast<std::uint64_t>(symbolCount) * kCoffSymbolSize;
        if (strings + offset >= bytes_.size()) return name;
        return bytes_.CString(static_cast<std::size_t>(strings + offset), "long section name");
    }

    // File offset of an RVA: inside the headers, or inside the stored part of a section.
    std::size_t Offset(std::uint64_t rva, const char* what) const {
        if (rva < sizeOfHeaders_ && rva < bytes_.size()) return static_cast<std::size_t>(rva);
        for (const Section& s : image_.sections) {
            if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) {
                // 64-bit arithmetic: on a 32-bit host the sum could wrap round to a wrong offset.
                const std::uint64_t offset = std::uint64_t{s.rawOffset} + (rva - s.virtualAddress);
                if (offset >= bytes_.size()) throw FormatError(std::string(what) + " lies outside the file");
                return static_cast<std::size_t>(offset);
            }
        }
        throw FormatError(std::string(what) + ": address not stored in the file");
    }

    std::uint64_t Thunk(std::size_t offset, const char* what) const {
        return image_.is64 ? bytes_.U64(offset, what) : bytes_.U32(offset, what);
    }

    // The import name table (or, when absent, the address table as the file stores it).
    std::vector<ImportedSymbol> ReadThunks(std::uint64_t tableRva, std::uint64_t vaBias) const {
        std::vector<ImportedSymbol> symbols;
        const std::size_t width = image_.is64 ? 8 : 4;
        const std::uint64_t ordinalFlag = image_.is64 ? (1ull << 63) : (1ull << 31);
        const std::size_t table = Offset(tableRva, "import name table");
        for (std::size_t i = 0;; ++i) {
            if (i >= kMaxEntries) throw FormatError("import name table not terminated");
            const std::uint64_t thunk = Thunk(table + i * width, "import name table");
            if (thunk == 0) break;
            ImportedSymbol symbol;
            if (thunk & ordinalFlag) {
                symbol.byOrdinal = true;
                symbol.ordinal = static_cast<std::uint16_t>(thunk & 0xFFFF);
            } else {
                const std::uint64_t hintName = thunk & 0x7FFFFFFF;
                if (hintName < vaBias) throw FormatError("import name address below the image base");
                symbol.name = bytes_.CString(Offset(hintName - vaBias, "import name") + 2, "import name");
            }
            symbols.push_back(std::move(symbol));
        }
        return symbols;
    }

    std::vector<ImportedModule> ReadImports(DataDirectory dir) const {
        std::vector<ImportedModule> modules;
        const std::size_t at = Offset(dir.rva, "import directory");
        for (std::size_t i = 0;; ++i) {
            if (i >= kMaxEntries) throw FormatError("import directory not terminated");
            const std::size_t d = at + i * kImportDescriptorSize;
            const std::uint32_t nameTable = bytes_.U32(d, "import descriptor");
            const std::uint32_t nameRva = bytes_.U32(d + 12, "import descriptor");
            const std::uint32_t addressTable = bytes_.U32(d + 16, "import descriptor");
            if (nameRva == 0 && addressTable == 0) break;  // the all-zero terminator
            ImportedModule module;
            module.dll = bytes_.CString(Offset(nameRva, "imported DLL name"), "imported DLL name");
            const std::uint32_t table = nameTable != 0 ? nameTable : addressTable;
            if (table != 0) module.symbols = ReadThunks(table, 0);
            modules.push_back(std::move(module));
        }
        return modules;
    }

    std::vector<ImportedModule> ReadDelayImports(DataDirectory dir) const {
        std::vector<ImportedModule> modules;
        const std::size_t at = Offset(dir.rva, "delay-load directory");
        // The list ends at an all-zero descriptor, and never goes past the directory's size.
        const std::size_t limit = std::min(kMaxEntries, dir.size / kDelayDescriptorSize);
        for (std::size_t i = 0; i < limit; ++i) {
            const std::size_t d = at + i * kDelayDescriptorSize;
            const std::uint32_t attributes = bytes_.U32(d, "delay-load descriptor");
            const std::uint32_t nameAddress = bytes_.U32(d + 4, "delay-load descriptor");
            const std::uint32_t nameTable = bytes_.U32(d + 16, "delay-load descriptor");
            if (nameAddress == 0) break;
            // Attribute bit 0 set: the fields are RVAs. Clear (the oldest linkers): virtual
            // addresses, only possible in a 32-bit image.
            const std::uint64_t bias = (attributes & 1) ? 0 : image_.imageBase;
            if (nameAddress < bias || (nameTable != 0 && nameTable < bias))
                throw FormatError("delay-load descriptor address below the image base");
            ImportedModule module;
            module.dll = bytes_.CString(Offset(nameAddress - bias, "delay-loaded DLL name"),
                                        "delay-loaded DLL name");
            if (nameTable != 0) module.symbols = ReadThunks(nameTable - bias, bias);
            modules.push_back(std::move(module));
        }
        return modules;
    }

    void ReadExports(DataDirectory dir) {
        const std::size_t at = Offset(dir.rva, "export directory");
        bytes_.Require(at, kExportDirectorySize, "export directory");
        const std::uint32_t nameRva = bytes_.U32(at + 12, "export directory");
        const std::uint32_t base = bytes_.U32(at + 16, "export directory");
        const std::size_t functionCount = bytes_.U32(at + 20, "export directory");
        const std::size_t nameCount = bytes_.U32(at + 24, "export directory");
        const std::uint32_t functionsRva = bytes_.U32(at + 28, "export directory");
        const std::uint32_t namesRva = bytes_.U32(at + 32, "export directory");
        const std::uint32_t ordinalsRva = bytes_.U32(at + 36, "export directory");
        if (functionCount > kMaxEntries || nameCount > kMaxEntries)
            throw FormatError("export directory too large");
        if (nameRva != 0)
            image_.exportDllName = bytes_.CString(Offset(nameRva, "export DLL name"), "export DLL name");

        std::vector<std::uint32_t> functions(functionCount);
        if (functionCount != 0) {
            const std::size_t table = Offset(functionsRva, "export address table");
            bytes_.Require(table, functionCount * 4, "export address table");
            for (std::size_t i = 0; i < functionCount; ++i)
                functions[i] = bytes_.U32(table + i * 4, "export address table");
        }

        auto makeExport = [&](std::size_t index, std::string name) {
            Export e;
            e.name = std::move(name);
            e.ordinal = base + static_cast<std::uint32_t>(index);
            e.rva = functions[index];
            // An address inside the export directory itself is the text of a forwarder.
            if (e.rva >= dir.rva && e.rva - dir.rva < dir.size)
                e.forwarder = bytes_.CString(Offset(e.rva, "export forwarder"), "export forwarder");
            return e;
        };

        std::vector<bool> named(functionCount, false);
        if (nameCount != 0) {
            const std::size_t names = Offset(namesRva, "export name table");
            const std::size_t ordinals = Offset(ordinalsRva, "export ordinal table");
            bytes_.Require(names, nameCount * 4, "export name table");
            bytes_.Require(ordinals, nameCount * 2, "export ordinal table");
            for (std::size_t i = 0; i < nameCount; ++i) {
                const std::uint32_t nameAt = bytes_.U32(names + i * 4, "export name table");
                const std::size_t index = bytes_.U16(ordinals + i * 2, "export ordinal table");
                if (index >= functionCount) throw FormatError("export name refers past the address table");
                named[index] = true;
                image_.exports.push_back(
                    makeExport(index, bytes_.CString(Offset(nameAt, "export name"), "export name")));
            }
        }
        for (std::size_t i = 0; i < functionCount; ++i) {
            if (!named[i] && functions[i] != 0) image_.exports.push_back(makeExport(i, {}));
        }
    }

    Bytes bytes_;
    Image image_;
    std::vector<DataDirectory> directories_;
    std::uint32_t sizeOfHeaders_ = 0;
};

}  // namespace

const Section* Image::FindSection(std::string_view name) const {
    for (const Section& s : sections)
        if (s.name == name) return &s;
    return nullptr;
}

bool Image::ExportsName(std::string_view name) const {
    return std::any_of(exports.begin(), exports.end(), [&](const Export& e) { return e.name == name; });
}

std::vector<std::string> Image::AllImportedDlls() const {
    std::vector<std::string> dlls;
    for (const ImportedModule& m : imports) dlls.push_back(m.dll);
    for (const ImportedModule& m : delayImports) dlls.push_back(m.dll);
    return dlls;
}

Image Parse(std::span<const std::byte> bytes) { return Parser(bytes).Run(); }

Image ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    try {
        return Parse(std::as_bytes(std::span<const char>(chars)));
    } catch (const FormatError& e) {
        throw FormatError(path + ": " + e.what());
    }
}

std::string ToLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) { return ToLower(a) == ToLower(b); }

}  // namespace ql::pe
