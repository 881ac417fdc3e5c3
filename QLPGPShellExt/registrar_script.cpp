#include "registrar_script.h"

#include <array>

namespace ql::registrar {

namespace {

// Deeper nesting than any registry script needs; it bounds the parser's recursion.
constexpr int kMaxDepth = 32;

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Tokens are runs of non-blank characters, or texts in single quotes (a doubled quote inside stands
// for one); so "{" is a brace only when it stands alone, and "{DA19...}" is a name.
struct Token {
    enum class Kind { End, Word, Quoted };
    Kind kind = Kind::End;
    std::u16string text;
    std::size_t offset = 0;
};

class Parser {
public:
    explicit Parser(std::u16string_view script) : script_(script) {}

    ParseResult Run() {
        ParseResult result;
        Advance();
        while (ok_ && current_.kind != Token::Kind::End) {
            if (!IsWord(u"HKCR") && !IsWord(u"HKEY_CLASSES_ROOT")) {
                Fail("expected HKCR");
                break;
            }
            Advance();
            Expect(u"{");
            ParseKeys(result.keys, /*allowValues=*/false, 1);
            Expect(u"}");
        }
        result.ok = ok_;
        if (!ok_) {
            result.keys.clear();
            result.error = error_;
            result.errorOffset = errorOffset_;
        }
        return result;
    }

private:
    bool IsWord(std::u16string_view word) const {
        return current_.kind == Token::Kind::Word && EqualsIgnoreAsciiCase(current_.text, word);
    }
    bool IsBrace(char16_t brace) const {
        return current_.kind == Token::Kind::Word && current_.text.size() == 1 && current_.text[0] == brace;
    }

    void Fail(const char* why) {
        if (!ok_) return;
        ok_ = false;
        error_ = why;
        errorOffset_ = current_.offset;
    }

    void Expect(std::u16string_view brace) {
        if (!ok_) return;
        if (!IsBrace(brace[0])) return Fail(brace[0] == u'{' ? "expected {" : "expected }");
        Advance();
    }

    // Names are words or quoted texts, but never a lone brace or equals sign.
    std::optional<std::u16string> TakeName() {
        if (current_.kind == Token::Kind::End || IsBrace(u'{') || IsBrace(u'}') || IsWord(u"=")) {
            Fail("expected a name");
            return std::nullopt;
        }
        std::u16string name = current_.text;
        if (name.empty()) {
            Fail("empty name");
            return std::nullopt;
        }
        Advance();
        return name;
    }

    // "= s 'text'"
    std::optional<std::u16string> TakeStringValue() {
        if (!IsWord(u"=")) {
            Fail("expected =");
            return std::nullopt;
        }
        Advance();
        if (!IsWord(u"s")) {
            Fail("only string values (s) are supported");
            return std::nullopt;
        }
        Advance();
        if (current_.kind != Token::Kind::Quoted) {
            Fail("expected a quoted text");
            return std::nullopt;
        }
        std::u16string text = current_.text;
        Advance();
        return text;
    }

    // Keys (and, inside a key, named values) up to the closing brace, which is left for the caller.
    void ParseKeys(std::vector<ScriptNode>& into, bool allowValues, int depth) {
        if (depth > kMaxDepth) return Fail("keys nested too deeply");
        while (ok_ && current_.kind != Token::Kind::End && !IsBrace(u'}')) {
            if (allowValues && IsWord(u"val")) {
                Advance();
                ScriptNode value;
                value.kind = ScriptNode::Kind::Value;
                auto name = TakeName();
                auto text = TakeStringValue();
                if (!ok_) return;
                value.name = std::move(*name);
                value.text = std::move(*text);
                into.push_back(std::move(value));
                continue;
            }
            ScriptNode key;
            if (IsWord(u"ForceRemove")) {
                key.flag = KeyFlag::ForceRemove;
                Advance();
            } else if (IsWord(u"NoRemove")) {
                key.flag = KeyFlag::NoRemove;
                Advance();
            }
            auto name = TakeName();
            if (!ok_) return;
            key.name = std::move(*name);
            if (IsWord(u"=")) {
                auto text = TakeStringValue();
                if (!ok_) return;
                key.text = std::move(*text);
            }
            if (IsBrace(u'{')) {
                Advance();
                ParseKeys(key.children, /*allowValues=*/true, depth + 1);
                Expect(u"}");
                if (!ok_) return;
            }
            into.push_back(std::move(key));
        }
    }

    void Advance() {
        while (position_ < script_.size() && IsBlank(script_[position_])) ++position_;
        current_ = Token{};
        current_.offset = position_;
        if (position_ >= script_.size()) return;
        if (script_[position_] == u'\'') {
            current_.kind = Token::Kind::Quoted;
            ++position_;
            for (;;) {
                if (position_ >= script_.size()) {
                    current_.kind = Token::Kind::End;
                    return Fail("unterminated quoted text");
                }
                const char16_t c = script_[position_++];
                if (c != u'\'') {
                    current_.text += c;
                } else if (position_ < script_.size() && script_[position_] == u'\'') {
                    current_.text += u'\'';
                    ++position_;
                } else {
                    return;
                }
            }
        }
        current_.kind = Token::Kind::Word;
        while (position_ < script_.size() && !IsBlank(script_[position_])) current_.text += script_[position_++];
    }

    std::u16string_view script_;
    std::size_t position_ = 0;
    Token current_;
    bool ok_ = true;
    std::string error_;
    std::size_t errorOffset_ = 0;
};

}  // namespace

std::optional<std::u16string> ExpandReplacements(std::u16string_view script, const Replacements& replacements) {
    std::u16string out;
    out.reserve(script.size());
    for (std::size_t i = 0; i < script.size(); ++i) {
        if (script[i] != u'%') {
            out += script[i];
            continue;
        }
        const std::size_t close = script.find(u'%', i + 1);
        if (close == std::u16string_view::npos) return std::nullopt;
        const std::u16string_view name = script.substr(i + 1, close - i - 1);
        if (name.empty()) {
            out += u'%';
        } else {
            const std::u16string* value = nullptr;
            for (const auto& [key, replacement] : replacements)
                if (key == name) {
                    value = &replacement;
                    break;
                }
            if (value == nullptr) return std::nullopt;
            out += *value;
        }
        i = close;
    }
    return out;
}

std::u16string QuoteForScript(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        out += c;
        if (c == u'\'') out += u'\'';
    }
    return out;
}

ParseResult ParseScript(std::u16string_view script) { return Parser(script).Run(); }

bool IsProtectedKeyName(std::u16string_view name) {
    static constexpr std::array<std::u16string_view, 12> kProtected = {
        u"AppID",     u"CLSID", u"Component Categories", u"FileType", u"Interface", u"Hardware",
        u"Mime",      u"SAM",   u"SECURITY",             u"SYSTEM",   u"Software",  u"TypeLib",
    };
    for (std::u16string_view protectedName : kProtected)
        if (EqualsIgnoreAsciiCase(name, protectedName)) return true;
    return false;
}

}  // namespace ql::registrar
