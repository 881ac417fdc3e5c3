#include "request_slot.h"

namespace ql {

std::optional<std::string> FitRequestToSlot(std::string_view request, std::size_t limit) {
    if (request.size() <= limit) return std::string(request);
    if (limit == 0) return std::nullopt;

    const bool quoted = request.front() == '"';
    // Room for the closing quote when the request had one.
    const std::size_t room = quoted ? limit - 1 : limit;
    const std::size_t lastStar = request.substr(0, room).rfind('*');
    if (lastStar == std::string_view::npos) return std::nullopt;

    std::string fitted(request.substr(0, lastStar + 1));
    if (quoted) fitted += '"';
    return fitted;
}

}  // namespace ql
