// Standalone driver for the request-string fuzz target, for compilers without libFuzzer: feeds it
// a fixed series of pseudo-random inputs (the same on every run, so a failure reproduces), or the
// files named on the command line.
//
// The inputs are built from characters and pieces that steer the splitter and the builders into
// their corners: quotes, blanks, asterisks, tabs, -p, "open" in several letter cases.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

constexpr int kInputCount = 5000;
constexpr std::size_t kMaxPieces = 24;

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
    std::size_t Below(std::size_t bound) { return static_cast<std::size_t>(Next() % bound); }

private:
    std::uint64_t state_;
};

// Single characters come up far more often than longer pieces; quotes and blanks most of all.
const std::vector<std::string>& Pieces() {
    static const std::vector<std::string> pieces = {
        "\"", "\"", "\"", "\"", " ", " ", " ", "*", "*", "\t", "-", "p", "P", "a", "x", "o", "e",
        "n", "\\", ":", "0", "5", "\"\"", "-p", " -p ", "open", "OPEN", "oPeN", "unprotect",
        "C:\\a b", "0*open**", "0*logon**", std::string(1, '\0'), "\xE4",
    };
    return pieces;
}

std::int32_t PickWindow(Random& random) {
    static const std::int32_t interesting[] = {
        0, 1, -1, 42, std::numeric_limits<std::int32_t>::min(),
        std::numeric_limits<std::int32_t>::max(),
    };
    if (random.Below(2) == 0) return interesting[random.Below(std::size(interesting))];
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(random.Next()));
}

std::string MakeInput(Random& random) {
    const auto window = static_cast<std::uint32_t>(PickWindow(random));
    std::string input;
    for (int shift = 0; shift < 32; shift += 8) {
        input += static_cast<char>((window >> shift) & 0xFF);
    }
    const std::size_t pieces = random.Below(kMaxPieces + 1);
    for (std::size_t i = 0; i < pieces; ++i) input += Pieces()[random.Below(Pieces().size())];
    return input;
}

void Run(const std::string& input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

int RunFiles(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        Run(std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) return RunFiles(argc, argv);
    // Inputs shorter than the four window bytes are whole command lines, with window 0.
    const char* const shortInputs[] = {"", "\"", "\"\"", "*", " ", "-p", "\"\"\"", "a b"};
    for (const char* text : shortInputs) Run(text);
    Random random(20240601);
    for (int i = 0; i < kInputCount; ++i) Run(MakeInput(random));
    std::printf("request_string_fuzz: %d inputs, all properties held\n",
                kInputCount + static_cast<int>(std::size(shortInputs)));
    return 0;
}
