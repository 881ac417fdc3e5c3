// The main program of a fuzz target for compilers without libFuzzer (the host build with g++): runs
// the target's LLVMFuzzerTestOneInput over the files given (directories: every file in them, in name
// order), then over a fixed series of inputs made from those files by mutation with the target's
// dictionary. The series is the same on every run, so a failure reproduces; the target aborts on a
// broken property, which fails the run.
//
//   <target>_fuzz [--runs N] [--max-len BYTES] [--unit 1|2] [--dict FILE] [FILE|DIR]...
//
// --unit 2 keeps every mutation on two-byte boundaries, for targets that read UTF-16 code units.
// The dictionary uses libFuzzer's format: one quoted token a line, with \\, \" and \xNN escapes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::string;

// splitmix64: small, fast, and the same sequence on every platform.
class Random {
public:
    explicit Random(std::uint64_t start) : state_(start) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t Below(std::size_t bound) { return bound == 0 ? 0 : static_cast<std::size_t>(Next() % bound); }

private:
    std::uint64_t state_;
};

struct Options {
    long runs = 10000;
    std::size_t maxLen = 4096;
    std::size_t unit = 1;
    std::string dict;
    std::vector<std::string> inputs;
};

[[noreturn]] void Usage(const char* why) {
    std::fprintf(stderr, "%s\nusage: fuzz [--runs N] [--max-len BYTES] [--unit 1|2] [--dict FILE] [FILE|DIR]...\n", why);
    std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(("missing value after " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--runs") {
            options.runs = std::atol(value().c_str());
        } else if (arg == "--max-len") {
            options.maxLen = static_cast<std::size_t>(std::atol(value().c_str()));
        } else if (arg == "--unit") {
            options.unit = value() == "2" ? 2 : 1;
        } else if (arg == "--dict") {
            options.dict = value();
        } else if (arg.starts_with("--")) {
            Usage(("unknown option " + arg).c_str());
        } else {
            options.inputs.push_back(arg);
        }
    }
    return options;
}

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) Usage(("cannot read " + path.string()).c_str());
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<Bytes> ReadInputs(const std::vector<std::string>& names) {
    std::vector<Bytes> inputs;
    for (const std::string& name : names) {
        if (!std::filesystem::is_directory(name)) {
            inputs.push_back(ReadFile(name));
            continue;
        }
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(name)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) inputs.push_back(ReadFile(file));
    }
    return inputs;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The tokens of a libFuzzer dictionary: the quoted part of every line that is not a comment.
std::vector<Bytes> ReadDictionary(const std::string& name) {
    std::vector<Bytes> tokens;
    if (name.empty()) return tokens;
    std::ifstream file(name);
    if (!file) Usage(("cannot read " + name).c_str());
    for (std::string line; std::getline(file, line);) {
        const std::size_t open = line.find('"');
        const std::size_t close = line.rfind('"');
        if (line.starts_with("#") || open == std::string::npos || close <= open) continue;
        Bytes token;
        for (std::size_t i = open + 1; i < close; ++i) {
            if (line[i] != '\\' || i + 1 >= close) {
                token += line[i];
            } else if (line[i + 1] == 'x' && i + 3 < close && HexDigit(line[i + 2]) >= 0 && HexDigit(line[i + 3]) >= 0) {
                token += static_cast<char>(HexDigit(line[i + 2]) * 16 + HexDigit(line[i + 3]));
                i += 3;
            } else {
                token += line[++i];
            }
        }
        tokens.push_back(token);
    }
    return tokens;
}

class Mutator {
public:
    Mutator(const Options& options, const std::vector<Bytes>& inputs, const std::vector<Bytes>& tokens)
        : options_(options), inputs_(inputs), tokens_(tokens), random_(20261209) {}

    // One input: a file of the starting corpus (or nothing) changed by one to eight mutations.
    Bytes Next() {
        Bytes data;
        if (!inputs_.empty() && random_.Below(8) != 0) data = inputs_[random_.Below(inputs_.size())];
        const std::size_t steps = 1 + random_.Below(8);
        for (std::size_t i = 0; i < steps; ++i) Mutate(data);
        if (data.size() > options_.maxLen) data.resize(Align(options_.maxLen));
        return data;
    }

private:
    std::size_t Align(std::size_t n) const { return n - n % options_.unit; }
    std::size_t Position(const Bytes& data) { return Align(random_.Below(data.size() + 1)); }

    Bytes RandomUnit() {
        Bytes unit;
        for (std::size_t i = 0; i < options_.unit; ++i) unit += static_cast<char>(random_.Next() & 0xFF);
        return unit;
    }

    void Mutate(Bytes& data) {
        switch (random_.Below(6)) {
            case 0:
            case 1:  // a dictionary token, the most useful step
                if (!tokens_.empty()) {
                    data.insert(Position(data), tokens_[random_.Below(tokens_.size())]);
                    break;
                }
                [[fallthrough]];
            case 2:
                data.insert(Position(data), RandomUnit());
                break;
            case 3: {  // drop a span
                const std::size_t at = Position(data);
                data.erase(at, Align(random_.Below(data.size() - at + 1)));
                break;
            }
            case 4: {  // repeat a span
                const std::size_t at = Position(data);
                const Bytes span = data.substr(at, Align(random_.Below(std::min<std::size_t>(data.size() - at, 64) + 1)));
                data.insert(Position(data), span);
                break;
            }
            case 5:  // a piece of another input
                if (!inputs_.empty()) {
                    const Bytes& other = inputs_[random_.Below(inputs_.size())];
                    const std::size_t at = Align(random_.Below(other.size() + 1));
                    data.insert(Position(data), other.substr(at, Align(random_.Below(other.size() - at + 1))));
                }
                break;
        }
    }

    const Options& options_;
    const std::vector<Bytes>& inputs_;
    const std::vector<Bytes>& tokens_;
    Random random_;
};

void Run(const Bytes& input) {
    // A copy of its own, so that reading past the input's end is caught by the sanitizers.
    std::vector<std::uint8_t> copy(input.begin(), input.end());
    LLVMFuzzerTestOneInput(copy.data(), copy.size());
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::vector<Bytes> inputs = ReadInputs(options.inputs);
    const std::vector<Bytes> tokens = ReadDictionary(options.dict);
    for (const Bytes& input : inputs) Run(input);
    Mutator mutator(options, inputs, tokens);
    for (long i = 0; i < options.runs; ++i) Run(mutator.Next());
    std::printf("%s: %zu corpus inputs and %ld generated inputs, all properties held\n",
                std::filesystem::path(argv[0]).filename().c_str(), inputs.size(), options.runs);
    return 0;
}
