#include "drop_list.h"

#include <cstdint>
#include <cstring>

namespace ql::shellext {

namespace {

// DROPFILES: DWORD pFiles; POINT pt; BOOL fNC; BOOL fWide (20 bytes, no padding).
constexpr std::size_t kHeaderSize = 20;
constexpr std::size_t kWideFlagOffset = 16;

std::uint32_t ReadUint32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

DropList ReadDropList(const void* block, std::size_t size) {
    DropList list;
    const auto* bytes = static_cast<const unsigned char*>(block);
    if (bytes == nullptr || size < kHeaderSize) return list;
    const std::size_t start = ReadUint32(bytes);
    if (start < kHeaderSize || start > size) return list;
    list.valid = true;
    list.wide = ReadUint32(bytes + kWideFlagOffset) != 0;
    if (list.wide) {
        std::u16string name;
        for (std::size_t at = start; at + 1 < size; at += 2) {
            const char16_t unit = static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8);
            if (unit != 0) {
                name += unit;
                continue;
            }
            if (name.empty()) break;
            list.wideNames.push_back(std::move(name));
            name.clear();
        }
    } else {
        std::string name;
        for (std::size_t at = start; at < size; ++at) {
            if (bytes[at] != 0) {
                name += static_cast<char>(bytes[at]);
                continue;
            }
            if (name.empty()) break;
            list.ansiNames.push_back(std::move(name));
            name.clear();
        }
    }
    return list;
}

}  // namespace ql::shellext
