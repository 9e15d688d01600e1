// kestrel-damage-copies OUT_DIR FILE...: writes the damaged copies the damage suite makes
// of each file (same derivations, same seeds) into OUT_DIR as <stem>.<kind>-<n>.pst, and
// OUT_DIR/manifest.tsv with one line per copy: copy, source file, kind, damaged ranges.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "robustness/damage.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUT_DIR FILE...\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    std::error_code ec;
    fs::create_directories(out, ec);
    std::ofstream manifest(out / "manifest.tsv", std::ios::trunc);
    manifest << "copy\tsource\tkind\tdamaged\n";
    size_t written = 0;
    for (int i = 2; i < argc; ++i) {
        const fs::path source = argv[i];
        std::ifstream in(source, std::ios::binary);
        const std::vector<uint8_t> image{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        if (!in.eof() && in.fail()) {
            std::fprintf(stderr, "cannot read %s\n", source.c_str());
            return 1;
        }
        const kestrel::test::DamageSet damage(image, source.stem().string());
        for (size_t k = 0; k < damage.size(); ++k) {
            const auto copy = damage.Make(k);
            if (!copy) continue;
            const fs::path path = out / (copy->name + source.extension().string());
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(copy->bytes.data()),
                       static_cast<std::streamsize>(copy->bytes.size()));
            if (!file) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                return 1;
            }
            manifest << path.filename().string() << "\t" << source.filename().string() << '\t'
                     << kestrel::test::DamageKindName(copy->kind) << '\t';
            for (size_t r = 0; r < copy->damaged.size(); ++r) {
                manifest << (r ? "," : "") << copy->damaged[r].begin << '-' << copy->damaged[r].end;
            }
            manifest << '\n';
            ++written;
        }
    }
    std::printf("%zu damaged copies in %s\n", written, out.c_str());
    return manifest ? 0 : 1;
}
