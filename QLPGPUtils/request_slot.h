// Fitting a request string into the fixed-size shared request slot.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ql {

// The slot holds 65,536 bytes; text is copied with a limit of 0xFFFF bytes including the
// terminating zero, so at most 65,534 bytes of text.
inline constexpr std::size_t kRequestSlotBytes = 65536;
inline constexpr std::size_t kRequestTextLimit = 0xFFFF - 1;

// The text to store for `request`: the request itself when it fits in `limit` bytes. A longer one
// is cut back to the end of its last whole field (an asterisk), so that no path ever arrives
// shortened; a request that was enclosed in double quotes keeps its closing quote. Nothing (nullopt)
// when not even the first field fits: such a request cannot be delivered safely.
std::optional<std::string> FitRequestToSlot(std::string_view request,
                                            std::size_t limit = kRequestTextLimit);

}  // namespace ql
