// pe_dump: prints what the PE reader finds in one image, one fact per line, for people and for
// scripts that compare it with other tools.
//
// usage: pe_dump [--sections] [--imports] [--exports] <file>
// With no option it prints everything. Line formats:
//   format PE32|PE32+ machine 0x<hex>
//   section <name> characteristics 0x<8 hex> raw <size> virtual <size>
//   import <dll>            delay-import <dll>
//   import-symbol <dll> <name>|#<ordinal>   (likewise delay-import-symbol)
//   export <name>|#<ordinal> ordinal <n> [forward <target>]
// Exit status: 0 on success, 1 when the file cannot be read or is not a PE image, 2 on bad usage.

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "pe_image.h"

namespace {

void PrintModules(const std::vector<ql::pe::ImportedModule>& modules, const char* kind) {
    for (const auto& m : modules) std::printf("%s %s\n", kind, m.dll.c_str());
    for (const auto& m : modules) {
        for (const auto& s : m.symbols) {
            if (s.byOrdinal)
                std::printf("%s-symbol %s #%u\n", kind, m.dll.c_str(), static_cast<unsigned>(s.ordinal));
            else
                std::printf("%s-symbol %s %s\n", kind, m.dll.c_str(), s.name.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool sections = false, imports = false, exports = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sections") == 0) sections = true;
        else if (std::strcmp(argv[i], "--imports") == 0) imports = true;
        else if (std::strcmp(argv[i], "--exports") == 0) exports = true;
        else if (argv[i][0] == '-' || path != nullptr) {
            std::fprintf(stderr, "usage: pe_dump [--sections] [--imports] [--exports] <file>\n");
            return 2;
        } else path = argv[i];
    }
    if (path == nullptr) {
        std::fprintf(stderr, "usage: pe_dump [--sections] [--imports] [--exports] <file>\n");
        return 2;
    }
    if (!sections && !imports && !exports) sections = imports = exports = true;

    ql::pe::Image image;
    try {
        image = ql::pe::ReadFile(path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pe_dump: %s\n", e.what());
        return 1;
    }

    std::printf("format %s machine 0x%04x\n", image.is64 ? "PE32+" : "PE32", static_cast<unsigned>(image.machine));
    if (sections) {
        for (const auto& s : image.sections)
            std::printf("section %s characteristics 0x%08lx raw %lu virtual %lu\n", s.name.c_str(),
                        static_cast<unsigned long>(s.characteristics), static_cast<unsigned long>(s.rawSize),
                        static_cast<unsigned long>(s.virtualSize));
    }
    if (imports) {
        PrintModules(image.imports, "import");
        PrintModules(image.delayImports, "delay-import");
    }
    if (exports) {
        for (const auto& e : image.exports) {
            std::string name = e.name;
            if (name.empty()) name.append("#").append(std::to_string(e.ordinal));
            std::printf("export %s ordinal %lu", name.c_str(), static_cast<unsigned long>(e.ordinal));
            if (!e.forwarder.empty()) std::printf(" forward %s", e.forwarder.c_str());
            std::printf("\n");
        }
    }
    std::fflush(stdout);
    return std::ferror(stdout) ? 1 : 0;
}
