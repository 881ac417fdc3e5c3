// The data block QLPGPUtils.dll shares between every process that maps it, 32-bit and 64-bit alike:
// the library's own layout, which tests also read to see what the library stored.
#pragma once

#include <cstddef>
#include <cstdint>

#include "request_slot.h"

namespace ql {

struct SharedBlock {
    std::uint32_t mainWnd;  // window handles cross processes as 32-bit values
    std::uint32_t hiddenWnd;
    std::int32_t creatorPending;  // 1 until the first loader has created the open-request event
    char requestBuffer[kRequestSlotBytes];
    char commandBuffer[kRequestSlotBytes];
    // Both change only under the slot lock. Written counts the requests stored with a signal that a
    // reader will consume; a take sets taken to written, since it consumes every signal before it.
    // They come after the other fields, which keep their offsets.
    std::uint32_t requestsWritten;
    std::uint32_t requestsTaken;
};

static_assert(offsetof(SharedBlock, creatorPending) == 8);
static_assert(offsetof(SharedBlock, requestBuffer) == 12);
static_assert(offsetof(SharedBlock, commandBuffer) == 12 + kRequestSlotBytes);
static_assert(offsetof(SharedBlock, requestsWritten) == 12 + 2 * kRequestSlotBytes);
static_assert(sizeof(SharedBlock) == 12 + 2 * kRequestSlotBytes + 8);

}  // namespace ql
