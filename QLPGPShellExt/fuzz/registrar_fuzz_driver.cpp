// Standalone driver for the registration-script fuzz target, for compilers without libFuzzer, in
// the manner of the launcher's request-string driver: a fixed series of pseudo-random inputs (the
// same on every run, so a failure reproduces), or the files named on the command line.
//
// Inputs are assembled from the script's own tokens (roots, braces, keywords, quotes, percent
// signs) so that most of them get deep into the parser, with some raw UTF-16 units mixed in.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

constexpr int kInputCount = 20000;
constexpr std::size_t kMaxPieces = 40;

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

const std::vector<std::u16string>& Pieces() {
    static const std::vector<std::u16string> pieces = {
        u"HKCR ", u"HKCR { ", u"{ ", u"{ ", u"} ", u"} ", u"} ", u" ", u"\r\n", u"\t", u"'", u"'", u"''",
        u"= s ", u"= s '", u"' ", u"=", u"s", u"val ", u"val n = s 'v' ", u"ForceRemove ", u"NoRemove ",
        u"forceremove ", u"CLSID ", u"AppID ", u"{DA19D376-8A92-474B-A4B0-44FEA32CA561} ", u"*", u"\\",
        u"%", u"%%", u"%MODULE%", u"%APPID%", u"%X%", u"key ", u"k", u"\u00E4", u"\u0101", u"\uFFFF",
        std::u16string(1, u'\0'), u"d ", u"HKEY_CLASSES_ROOT ",
    };
    return pieces;
}

std::u16string MakeText(Random& random) {
    std::u16string text;
    const std::size_t pieces = random.Below(kMaxPieces + 1);
    for (std::size_t i = 0; i < pieces; ++i) {
        if (random.Below(16) == 0) {
            text += static_cast<char16_t>(random.Next() & 0xFFFF);
        } else {
            text += Pieces()[random.Below(Pieces().size())];
        }
    }
    return text;
}

void Run(const std::u16string& text) {
    std::string bytes;
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

int RunFiles(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) return RunFiles(argc, argv);
    const char16_t* const fixed[] = {u"", u"HKCR", u"HKCR {", u"HKCR { }", u"'", u"%", u"HKCR { a = s '"};
    for (const char16_t* text : fixed) Run(text);
    Random random(20261209);
    for (int i = 0; i < kInputCount; ++i) Run(MakeText(random));
    std::printf("registrar_script_fuzz: %d inputs, all properties held\n",
                kInputCount + static_cast<int>(std::size(fixed)));
    return 0;
}
