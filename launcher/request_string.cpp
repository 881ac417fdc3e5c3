// Request strings: splitting the launcher's command line and building the text handed to the Java
// application, either on its command line (first instance) or through a running launcher.
#include "request_string.h"

#include <utility>

namespace ql {
namespace {

constexpr char kQuote = '"';
constexpr char kBlank = ' ';
constexpr char kAsterisk = '*';

// The request of a launcher started without an item: no window, command "open", no paths.
constexpr std::string_view kOpenRequest = "0*open**";

// The option that carries its value in the next argument.
constexpr std::string_view kPOption = "-p";

bool ContainsAsterisk(std::string_view text) {
    return text.find(kAsterisk) != std::string_view::npos;
}

// The walk over the command line. Between arguments blanks are skipped; in quoted text everything
// but a closing quote is kept; in a bare argument a blank ends it and a lone quote is dropped. A
// doubled quote is one literal quote everywhere but between arguments, where the first quote of the
// pair already opens quoted text.
class Splitter {
public:
    explicit Splitter(std::string_view text) : text_(text) {}

    std::vector<std::string> Run() {
        while (pos_ < text_.size()) Step();
        Finish();
        return std::move(args_);
    }

private:
    enum class State { Between, Quoted, Bare };

    void Step() {
        switch (state_) {
            case State::Between: StepBetween(); break;
            case State::Quoted: StepQuoted(); break;
            case State::Bare: StepBare(); break;
        }
    }

    void StepBetween() {
        const char c = text_[pos_];
        if (c == kQuote) {
            StartArgument(State::Quoted);
            ++pos_;
        } else if (c == kBlank) {
            ++pos_;
        } else {
            // The character is not consumed here: the bare state appends it.
            StartArgument(State::Bare);
        }
    }

    void StepQuoted() {
        if (AtDoubledQuote()) {
            AppendLiteralQuote();
        } else if (text_[pos_] == kQuote) {
            // The closing quote ends the argument even when empty, so "" stands for an empty one.
            EndArgument();
            ++pos_;
        } else {
            buffer_ += text_[pos_++];
        }
    }

    void StepBare() {
        const char c = text_[pos_];
        if (c == kBlank) {
            EndArgument();
            ++pos_;
        } else if (AtDoubledQuote()) {
            AppendLiteralQuote();
        } else if (c == kQuote) {
            ++pos_;  // A lone quote inside a bare argument is dropped; it quotes nothing.
        } else {
            buffer_ += text_[pos_++];
        }
    }

    // At the end, a bare argument is always complete; an unterminated quoted one counts only when
    // it holds something, so that a stray opening quote at the end adds no empty argument.
    void Finish() {
        if (state_ == State::Bare || (state_ == State::Quoted && !buffer_.empty())) EndArgument();
    }

    bool AtDoubledQuote() const {
        return text_[pos_] == kQuote && pos_ + 1 < text_.size() && text_[pos_ + 1] == kQuote;
    }

    void AppendLiteralQuote() {
        buffer_ += kQuote;
        pos_ += 2;
    }

    void StartArgument(State state) {
        buffer_.clear();
        state_ = state;
    }

    void EndArgument() {
        args_.push_back(std::move(buffer_));
        buffer_.clear();
        state_ = State::Between;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    State state_ = State::Between;
    std::string buffer_;
    std::vector<std::string> args_;
};

// What the first instance takes from its arguments: the item (the last argument that is not part
// of a -p pair) and the value of the last complete -p pair.
struct LaunchInput {
    std::string item;
    std::string pValue;
};

LaunchInput ReadLaunchInput(const std::vector<std::string>& args) {
    LaunchInput input;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == kPOption && hasValue) {
            input.pValue = args[++i];
        } else if (args[i] != kPOption) {
            input.item = args[i];
        }
        // A -p with nothing after it is dropped.
    }
    return input;
}

// A path given without a request asks to unprotect it; the window field names the window that was
// in the foreground when the launcher started.
std::string UnprotectRequest(std::string_view path, std::int32_t foregroundAtStart) {
    std::string request(1, kQuote);
    request += std::to_string(foregroundAtStart);
    request += "*unprotect*";
    request += StripOuterQuotes(path);
    request += kAsterisk;
    request += kQuote;
    return request;
}

// An item holding an asterisk is already a request (from the Explorer extension or the tray
// monitor) and goes on as the split left it.
std::string LaunchRequest(const std::string& item, std::int32_t foregroundAtStart) {
    if (ContainsAsterisk(item)) return item;
    if (item.empty()) return std::string(1, kQuote) + std::string(kOpenRequest) + kQuote;
    return UnprotectRequest(item, foregroundAtStart);
}

char ToAsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ToAsciiLower(a[i]) != ToAsciiLower(b[i])) return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
    return Splitter(commandLine).Run();
}

std::string StripOuterQuotes(std::string_view text) {
    if (!text.empty() && text.front() == kQuote) text.remove_prefix(1);
    if (!text.empty() && text.back() == kQuote) text.remove_suffix(1);
    return std::string(text);
}

std::string BuildLaunchArguments(std::string_view commandLine, std::int32_t foregroundAtStart) {
    const LaunchInput input = ReadLaunchInput(SplitCommandLine(commandLine));
    std::string text = LaunchRequest(input.item, foregroundAtStart);
    // The -p pair follows the request directly, with no blank; the value is quoted so that blanks
    // in it stay part of it.
    if (!input.pValue.empty()) text += "-p \"" + input.pValue + kQuote;
    return text;
}

// The forwarder works on the raw command line: the running launcher interprets nothing more, so
// a line without a request becomes one item field as a whole, -p and all.
std::string BuildForwardedRequest(std::string_view commandLine, std::int32_t foregroundAtStart) {
    if (commandLine.empty()) return std::string(kOpenRequest);
    if (ContainsAsterisk(commandLine)) return std::string(commandLine);
    return UnprotectRequest(commandLine, foregroundAtStart);
}

bool IsOpenRequest(std::string_view request) {
    const std::size_t first = request.find(kAsterisk);
    if (first == std::string_view::npos || first + 1 == request.size()) return false;
    const std::size_t second = request.find(kAsterisk, first + 1);
    if (second == std::string_view::npos) return false;
    // ASCII folding matches what the Windows side compares with for this all-ASCII word.
    return EqualsIgnoringAsciiCase(request.substr(first + 1, second - first - 1), "open");
}

}  // namespace ql
