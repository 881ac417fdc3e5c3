// Lets doctest print lists of names in failed checks instead of "{?}".
#pragma once

#include <doctest/doctest.h>

#include <string>
#include <vector>

namespace doctest {
template <>
struct StringMaker<std::vector<std::string>> {
    static String convert(const std::vector<std::string>& items) {
        std::string text = "{";
        for (std::size_t i = 0; i < items.size(); ++i) text += (i ? ", \"" : "\"") + items[i] + "\"";
        text += "}";
        return String(text.c_str());
    }
};
}  // namespace doctest
