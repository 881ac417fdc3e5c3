// Writes small synthetic PE images for the reader's unit tests: both header layouts, import and
// delay-load directories (by name and by ordinal), an export directory with ordinal-only and
// forwarded entries, extra sections with chosen flags and sizes, and long section names through a
// COFF string table. The layout is fixed and simple: headers, one ".rdata" section holding every
// table, then the extra sections, then the string table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ql::pe::testing {

struct ImportPlan {
    std::string dll;
    std::vector<std::string> symbols;  // "#<n>" imports ordinal n
};

struct ExportPlan {
    std::string name;       // empty: exported by ordinal only
    std::string forwarder;  // non-empty: forwarded to this "DLL.Name"
};

struct SectionPlan {
    std::string name;  // more than eight characters: stored through the string table
    std::uint32_t characteristics = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t virtualSize = 0;
};

struct ImagePlan {
    bool is64 = false;
    std::vector<ImportPlan> imports;
    std::vector<ImportPlan> delayImports;
    bool delayUsesVirtualAddresses = false;  // the oldest delay-load layout (attribute bit 0 clear)
    std::string exportDllName;
    std::uint32_t ordinalBase = 1;
    std::vector<ExportPlan> exports;  // ordinal of exports[i] is ordinalBase + i
    std::vector<SectionPlan> sections;
};

// Where the builder put things, for tests that damage the image on purpose.
struct BuiltImage {
    std::vector<std::byte> bytes;
    std::size_t peHeaderOffset = 0;
    std::size_t importDirectoryOffset = 0;  // file offset of the first import descriptor
    std::size_t exportDirectoryOffset = 0;
    std::size_t rdataOffset = 0;
};

namespace detail {

constexpr std::uint32_t kFileAlign = 0x200;
constexpr std::uint32_t kSectionAlign = 0x1000;
constexpr std::uint32_t kHeadersSize = 0x400;
constexpr std::uint32_t kRdataRva = 0x1000;

inline std::uint32_t AlignUp(std::uint32_t v, std::uint32_t a) { return (v + a - 1) / a * a; }

class Blob {
public:
    std::vector<std::byte> data;

    std::size_t Reserve(std::size_t n, std::size_t align = 4) {
        while (data.size() % align) data.push_back(std::byte{0});
        const std::size_t at = data.size();
        data.resize(at + n);
        return at;
    }
    void Put(std::size_t at, std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) data[at + i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
    }
    void Put16(std::size_t at, std::uint16_t v) { Put(at, v, 2); }
    void Put32(std::size_t at, std::uint32_t v) { Put(at, v, 4); }
    std::size_t AddString(const std::string& s, std::size_t align = 1) {
        const std::size_t at = Reserve(s.size() + 1, align);
        for (std::size_t i = 0; i < s.size(); ++i) data[at + i] = static_cast<std::byte>(s[i]);
        return at;
    }
};

// Writes an import-style name table (and a copy as the address table) into the blob; returns the
// blob offsets of the two tables.
inline std::pair<std::size_t, std::size_t> WriteThunks(Blob& b, const std::vector<std::string>& symbols,
                                                       bool is64, std::uint64_t bias) {
    const int width = is64 ? 8 : 4;
    const std::size_t names = b.Reserve((symbols.size() + 1) * width, width);
    const std::size_t addresses = b.Reserve((symbols.size() + 1) * width, width);
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        std::uint64_t thunk;
        if (!symbols[i].empty() && symbols[i][0] == '#') {
            thunk = std::stoul(symbols[i].substr(1)) | (is64 ? (1ull << 63) : (1ull << 31));
        } else {
            const std::size_t hint = b.Reserve(2, 2);
            b.AddString(symbols[i]);
            thunk = kRdataRva + hint + bias;
        }
        b.Put(names + i * width, thunk, width);
        b.Put(addresses + i * width, thunk, width);
    }
    return {names, addresses};
}

}  // namespace detail

inline BuiltImage Build(const ImagePlan& plan) {
    using namespace detail;
    const std::uint64_t imageBase = plan.is64 ? 0x180000000ull : 0x10000000ull;
    Blob rdata;
    auto rva = [](std::size_t blobOffset) { return static_cast<std::uint32_t>(kRdataRva + blobOffset); };

    // Import directory.
    std::size_t importDir = 0;
    std::uint32_t importDirSize = 0;
    if (!plan.imports.empty()) {
        importDirSize = static_cast<std::uint32_t>((plan.imports.size() + 1) * 20);
        importDir = rdata.Reserve(importDirSize);
        for (std::size_t i = 0; i < plan.imports.size(); ++i) {
            const std::size_t name = rdata.AddString(plan.imports[i].dll);
            auto [names, addresses] = WriteThunks(rdata, plan.imports[i].symbols, plan.is64, 0);
            const std::size_t d = importDir + i * 20;
            rdata.Put32(d, rva(names));
            rdata.Put32(d + 12, rva(name));
            rdata.Put32(d + 16, rva(addresses));
        }
    }

    // Delay-load directory.
    std::size_t delayDir = 0;
    std::uint32_t delayDirSize = 0;
    if (!plan.delayImports.empty()) {
        const std::uint64_t bias = plan.delayUsesVirtualAddresses ? imageBase : 0;
        delayDirSize = static_cast<std::uint32_t>((plan.delayImports.size() + 1) * 32);
        delayDir = rdata.Reserve(delayDirSize);
        for (std::size_t i = 0; i < plan.delayImports.size(); ++i) {
            const std::size_t name = rdata.AddString(plan.delayImports[i].dll);
            const std::size_t handle = rdata.Reserve(8, 8);
            auto [names, addresses] = WriteThunks(rdata, plan.delayImports[i].symbols, plan.is64, bias);
            const std::size_t d = delayDir + i * 32;
            rdata.Put32(d, plan.delayUsesVirtualAddresses ? 0 : 1);
            rdata.Put32(d + 4, static_cast<std::uint32_t>(rva(name) + bias));
            rdata.Put32(d + 8, static_cast<std::uint32_t>(rva(handle) + bias));
            rdata.Put32(d + 12, static_cast<std::uint32_t>(rva(addresses) + bias));
            rdata.Put32(d + 16, static_cast<std::uint32_t>(rva(names) + bias));
        }
    }

    // Export directory: header, address table, sorted name pointers, ordinals, then the strings
    // (forwarder texts included, so that they lie inside the directory's range).
    std::size_t exportDir = 0;
    std::uint32_t exportDirSize = 0;
    if (!plan.exports.empty() || !plan.exportDllName.empty()) {
        std::vector<std::size_t> named;
        for (std::size_t i = 0; i < plan.exports.size(); ++i)
            if (!plan.exports[i].name.empty()) named.push_back(i);
        std::sort(named.begin(), named.end(),
                  [&](std::size_t a, std::size_t b) { return plan.exports[a].name < plan.exports[b].name; });
        exportDir = rdata.Reserve(40);
        const std::size_t functions = rdata.Reserve(plan.exports.size() * 4);
        const std::size_t names = rdata.Reserve(named.size() * 4);
        const std::size_t ordinals = rdata.Reserve(named.size() * 2, 2);
        const std::size_t dllName = rdata.AddString(plan.exportDllName);
        for (std::size_t i = 0; i < plan.exports.size(); ++i) {
            std::uint32_t target = 0x8000 + static_cast<std::uint32_t>(i) * 16;  // code that is not there
            if (!plan.exports[i].forwarder.empty()) target = rva(rdata.AddString(plan.exports[i].forwarder));
            rdata.Put32(functions + i * 4, target);
        }
        for (std::size_t k = 0; k < named.size(); ++k) {
            rdata.Put32(names + k * 4, rva(rdata.AddString(plan.exports[named[k]].name)));
            rdata.Put16(ordinals + k * 2, static_cast<std::uint16_t>(named[k]));
        }
        exportDirSize = static_cast<std::uint32_t>(rdata.data.size() - exportDir);
        rdata.Put32(exportDir + 12, rva(dllName));
        rdata.Put32(exportDir + 16, plan.ordinalBase);
        rdata.Put32(exportDir + 20, static_cast<std::uint32_t>(plan.exports.size()));
        rdata.Put32(exportDir + 24, static_cast<std::uint32_t>(named.size()));
        rdata.Put32(exportDir + 28, rva(functions));
        rdata.Put32(exportDir + 32, rva(names));
        rdata.Put32(exportDir + 36, rva(ordinals));
    }
    if (rdata.data.empty()) rdata.Reserve(4);

    // Section headers: .rdata, then the extra sections.
    struct Placed {
        std::string shortName;
        std::uint32_t virtualSize, virtualAddress, rawSize, rawOffset, characteristics;
    };
    std::vector<Placed> placed;
    std::string stringTable(4, '\0');
    const std::uint32_t rdataSize = static_cast<std::uint32_t>(rdata.data.size());
    placed.push_back({".rdata", rdataSize, kRdataRva, AlignUp(rdataSize, kFileAlign), kHeadersSize, 0x40000040});
    std::uint32_t nextRva = kRdataRva + AlignUp(rdataSize, kSectionAlign);
    std::uint32_t nextRaw = kHeadersSize + AlignUp(rdataSize, kFileAlign);
    for (const SectionPlan& s : plan.sections) {
        std::string shortName = s.name;
        if (s.name.size() > 8) {
            shortName = "/" + std::to_string(stringTable.size());
            stringTable += s.name;
            stringTable.push_back('\0');
        }
        placed.push_back({shortName, s.virtualSize, nextRva, s.rawSize, s.rawSize ? nextRaw : 0, s.characteristics});
        nextRva += AlignUp(std::max<std::uint32_t>({s.virtualSize, s.rawSize, 1}), kSectionAlign);
        nextRaw += AlignUp(s.rawSize, kFileAlign);
    }
    const bool hasStringTable = stringTable.size() > 4;
    const std::uint32_t stringTableOffset = nextRaw;

    BuiltImage out;
    Blob file;
    file.Reserve(kHeadersSize);
    file.data[0] = std::byte{'M'};
    file.data[1] = std::byte{'Z'};
    out.peHeaderOffset = 0x80;
    file.Put32(0x3C, static_cast<std::uint32_t>(out.peHeaderOffset));
    const std::size_t pe = out.peHeaderOffset;
    file.Put32(pe, 0x00004550);
    const std::size_t coff = pe + 4;
    const std::uint16_t optionalSize = plan.is64 ? 240 : 224;
    file.Put16(coff, plan.is64 ? 0x8664 : 0x014C);
    file.Put16(coff + 2, static_cast<std::uint16_t>(placed.size()));
    file.Put32(coff + 8, hasStringTable ? stringTableOffset : 0);
    file.Put32(coff + 12, 0);  // no symbols: the string table starts right at the pointer
    file.Put16(coff + 16, optionalSize);
    file.Put16(coff + 18, 0x2102);  // executable, 32-bit machine word, DLL
    const std::size_t opt = coff + 20;
    file.Put16(opt, plan.is64 ? 0x20B : 0x10B);
    if (plan.is64) file.Put(opt + 24, imageBase, 8);
    else file.Put32(opt + 28, static_cast<std::uint32_t>(imageBase));
    file.Put32(opt + 32, kSectionAlign);
    file.Put32(opt + 36, kFileAlign);
    file.Put32(opt + 56, nextRva);       // SizeOfImage
    file.Put32(opt + 60, kHeadersSize);  // SizeOfHeaders
    const std::size_t dirs = opt + (plan.is64 ? 108 : 92);
    file.Put32(dirs, 16);
    auto setDir = [&](int index, std::size_t blobOffset, std::uint32_t size) {
        if (size == 0) return;
        file.Put32(dirs + 4 + index * 8, rva(blobOffset));
        file.Put32(dirs + 8 + index * 8, size);
    };
    setDir(0, exportDir, exportDirSize);
    setDir(1, importDir, importDirSize);
    setDir(13, delayDir, delayDirSize);
    const std::size_t table = opt + optionalSize;
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const std::size_t h = table + i * 40;
        for (std::size_t c = 0; c < placed[i].shortName.size() && c < 8; ++c)
            file.data[h + c] = static_cast<std::byte>(placed[i].shortName[c]);
        file.Put32(h + 8, placed[i].virtualSize);
        file.Put32(h + 12, placed[i].virtualAddress);
        file.Put32(h + 16, placed[i].rawSize);
        file.Put32(h + 20, placed[i].rawOffset);
        file.Put32(h + 36, placed[i].characteristics);
    }

    out.rdataOffset = file.data.size();
    file.data.insert(file.data.end(), rdata.data.begin(), rdata.data.end());
    file.data.resize(nextRaw);
    if (hasStringTable) {
        Blob strings;
        strings.AddString(stringTable);
        strings.data.pop_back();
        strings.Put32(0, static_cast<std::uint32_t>(stringTable.size()));
        file.data.insert(file.data.end(), strings.data.begin(), strings.data.end());
    }
    out.importDirectoryOffset = out.rdataOffset + importDir;
    out.exportDirectoryOffset = out.rdataOffset + exportDir;
    out.bytes = std::move(file.data);
    return out;
}

}  // namespace ql::pe::testing
