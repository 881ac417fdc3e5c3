// How doctest prints the texts tests compare, instead of "{?}": lists one item a line, UTF-16 text
// with everything outside printable ASCII as \uXXXX, control characters made visible. Every test
// program uses these, so a type prints the same way in every failure message.
#pragma once

#include <doctest/doctest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace ql::test {

// `text` with tabs, line ends and other control characters escaped.
inline std::string Visible(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 32 || c == 127) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else out += static_cast<char>(c);
    }
    return out;
}

}  // namespace ql::test

namespace doctest {
template <>
struct StringMaker<std::vector<std::string>> {
    static String convert(const std::vector<std::string>& items) {
        std::string text = "[" + std::to_string(items.size()) + " items]\n";
        for (const std::string& item : items) text += "    | " + ql::test::Visible(item) + "\n";
        return String(text.c_str());
    }
};
template <>
struct StringMaker<std::optional<std::string>> {
    static String convert(const std::optional<std::string>& text) {
        return text ? String(("\"" + ql::test::Visible(*text) + "\"").c_str()) : String("(nothing)");
    }
};
template <>
struct StringMaker<std::u16string> {
    static String convert(const std::u16string& text) {
        std::string out = "u\"";
        for (char16_t c : text) {
            if (c >= 32 && c < 127) {
                out += static_cast<char>(c);
            } else {
                char escaped[12];
                std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
                out += escaped;
            }
        }
        return String((out + "\"").c_str());
    }
};
template <>
struct StringMaker<std::vector<std::u16string>> {
    static String convert(const std::vector<std::u16string>& lines) {
        std::string out = "\n";
        for (const auto& line : lines) out += std::string(StringMaker<std::u16string>::convert(line).c_str()) + "\n";
        return String(out.c_str());
    }
};
}  // namespace doctest
