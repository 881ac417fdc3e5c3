#include "command_request.h"

namespace ql::shellext {

std::string BuildCommandRequest(std::int32_t ownerWindow, std::string_view commandField,
                                const std::vector<std::string>& paths) {
    const std::string window = std::to_string(ownerWindow);
    std::size_t size = 1 + window.size() + 1 + commandField.size() + 1 + 1;
    for (const std::string& path : paths) size += path.size() + 1;
    std::string request;
    request.reserve(size);
    request += '"';
    request += window;
    request += '*';
    request += commandField;
    request += '*';
    for (const std::string& path : paths) {
        request += path;
        request += '*';
    }
    request += '"';
    return request;
}

}  // namespace ql::shellext
