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

std::vector<std::string> BuildCommandRequests(std::int32_t ownerWindow, std::string_view commandField,
                                              const std::vector<std::string>& paths, std::size_t longest) {
    const std::string head = '"' + std::to_string(ownerWindow) + '*' + std::string(commandField) + '*';
    std::vector<std::string> requests;
    std::string request = head;
    for (const std::string& path : paths) {
        // Each path takes its own length and an asterisk; the closing quote ends every request.
        if (head.size() + path.size() + 2 > longest) continue;
        if (request.size() + path.size() + 2 > longest) {
            requests.push_back(request + '"');
            request = head;
        }
        request += path;
        request += '*';
    }
    if (request.size() > head.size() || requests.empty()) requests.push_back(request + '"');
    return requests;
}

}  // namespace ql::shellext
