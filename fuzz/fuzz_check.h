// What every fuzz target does when a property breaks: print the property and the input in escaped
// form, then abort, which libFuzzer reports as a crash (and saves the input); in the corpus replay
// that ctest runs, a failed test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace ql::fuzz {

struct CurrentInput {
    const char* target = "";
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

inline CurrentInput& Current() {
    static CurrentInput current;
    return current;
}

// Called first by each LLVMFuzzerTestOneInput, so that a failure can name its input.
inline void BeginInput(const char* target, const std::uint8_t* data, std::size_t size) {
    Current() = {target, data, size};
}

[[noreturn]] inline void Fail(const char* property) {
    const CurrentInput& input = Current();
    std::fprintf(stderr, "%s: broken: %s\n  input (%zu bytes) [", input.target, property, input.size);
    for (std::size_t i = 0; i < input.size; ++i) {
        const unsigned char c = input.data[i];
        if (c >= 32 && c < 127 && c != '\\') {
            std::fputc(c, stderr);
        } else {
            std::fprintf(stderr, "\\x%02x", c);
        }
    }
    std::fprintf(stderr, "]\n");
    std::abort();
}

inline void Require(bool holds, const char* property) {
    if (!holds) Fail(property);
}

}  // namespace ql::fuzz
