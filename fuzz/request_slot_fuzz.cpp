// Fuzz target for fitting a request into the channel's fixed-size slot: a request that fits is
// stored unchanged; a longer one is cut back to the end of a whole field (a quoted one keeps its
// closing quote), or refused when not even the first field fits. Aborts when a property that holds
// for every input is broken.
//
// Input layout: the first two bytes (little-endian) are the slot's text limit, so that small slots
// can be filled by small inputs; the rest is the request. The same rest, cut at line feeds into
// paths, also builds the extension's request (window, command, one field per path), whose cut must
// be the request of its first paths, and the extension's split of those paths into requests that
// each fit the limit.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_request.h"
#include "fuzz_check.h"
#include "request_slot.h"

namespace {

using ql::FitRequestToSlot;
using ql::fuzz::Require;

void CheckFit(std::string_view request, std::size_t limit) {
    const std::optional<std::string> fitted = FitRequestToSlot(request, limit);
    if (request.size() <= limit) {
        Require(fitted == request, "a request that fits is stored unchanged");
        return;
    }
    const bool quoted = request.front() == '"';
    const std::size_t room = quoted && limit > 0 ? limit - 1 : limit;  // the closing quote's place
    const std::size_t lastStar = request.substr(0, room).rfind('*');
    if (!fitted) {
        Require(lastStar == std::string_view::npos, "a request is refused only when no field fits");
        return;
    }
    Require(fitted->size() <= limit, "the cut request fits");
    std::string_view body = *fitted;
    if (quoted) {
        Require(body.size() >= 2 && body.back() == '"', "a quoted request keeps its closing quote");
        body.remove_suffix(1);
    }
    Require(!body.empty() && body.back() == '*', "the cut request ends at a whole field");
    Require(request.starts_with(body), "the cut request is the start of the request");
    Require(body.size() == lastStar + 1, "the cut keeps every whole field that fits");
    Require(FitRequestToSlot(*fitted, limit) == fitted, "a cut request fits as it is");
}

std::vector<std::string> PathsOf(std::string_view text) {
    std::vector<std::string> paths;
    std::string path;
    for (char c : text) {
        if (c == '\n') {
            paths.push_back(path);
            path.clear();
        } else if (c != '*' && c != '"') {  // a path holds neither
            path += c;
        }
    }
    if (!path.empty()) paths.push_back(path);
    return paths;
}

// The extension's request, cut: exactly the request of its first k paths, with k as large as fits.
void CheckExtensionRequest(std::string_view text, std::size_t limit, std::int32_t window) {
    static const char* const kCommands[] = {"unprotect", "protect", "wipe", "secure_text_editor",
                                            "key_manager", "default_settings"};
    const std::string command = kCommands[static_cast<std::uint32_t>(window) % 6];
    const std::vector<std::string> paths = PathsOf(text);
    const std::string request = ql::shellext::BuildCommandRequest(window, command, paths);
    const std::optional<std::string> fitted = FitRequestToSlot(request, limit);

    // Sizes from the front: the request without paths, then one path and its asterisk at a time.
    std::size_t kept = 0;
    std::size_t size = ql::shellext::BuildCommandRequest(window, command, {}).size();
    while (kept < paths.size() && size + paths[kept].size() + 1 <= limit) size += paths[kept++].size() + 1;
    const std::string expected = ql::shellext::BuildCommandRequest(
        window, command, std::vector<std::string>(paths.begin(), paths.begin() + kept));
    if (expected.size() <= limit) {
        Require(fitted == expected, "the cut extension request holds its first paths, as many as fit");
        return;
    }
    // Not even the command field fits: what is left is the window field alone, or nothing.
    Require(!fitted || *fitted == "\"" + std::to_string(window) + "*\"",
            "a cut extension request without its command keeps only the window field");
}

// The extension's selection split into requests of at most `limit` characters: each request is whole
// (window, command, whole paths), fits, and together they carry every path that fits alone, in
// order, once.
void CheckExtensionSplit(std::string_view text, std::size_t limit, std::int32_t window) {
    const std::vector<std::string> paths = PathsOf(text);
    const std::string head = "\"" + std::to_string(window) + "*wipe*";
    const std::vector<std::string> requests = ql::shellext::BuildCommandRequests(window, "wipe", paths, limit);
    Require(!requests.empty(), "a split gives at least one request");
    std::vector<std::string> carried;
    for (const std::string& request : requests) {
        Require(request.starts_with(head) && request.ends_with("\""), "each request has both fields and its quotes");
        Require(request.size() <= limit || requests.size() == 1, "each request fits");
        std::string_view items(request);
        items.remove_prefix(head.size());
        items.remove_suffix(1);
        Require(requests.size() == 1 || !items.empty(), "no request of several is empty");
        for (std::size_t star; (star = items.find('*')) != std::string_view::npos; items.remove_prefix(star + 1))
            carried.emplace_back(items.substr(0, star));
        Require(items.empty(), "each request ends with a whole field");
    }
    std::vector<std::string> expected;
    for (const std::string& path : paths)
        if (head.size() + path.size() + 2 <= limit) expected.push_back(path);
    Require(carried == expected, "the requests carry every path that fits, in order, once");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ql::fuzz::BeginInput("request_slot_fuzz", data, size);
    if (size < 2) return 0;
    const std::size_t limit = data[0] | static_cast<std::size_t>(data[1]) << 8;
    const std::string_view request(reinterpret_cast<const char*>(data + 2), size - 2);
    CheckFit(request, limit);
    // The slot's own limit: inputs are shorter, so they are stored unchanged.
    Require(FitRequestToSlot(request) == request, "a request within the slot's limit is stored unchanged");
    CheckExtensionRequest(request, limit, static_cast<std::int32_t>(limit * 2654435761u));
    CheckExtensionSplit(request, limit, static_cast<std::int32_t>(limit * 2654435761u));
    return 0;
}
