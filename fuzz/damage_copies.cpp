// kestrel-damage-copies OUT_DIR FILE...: writes the damaged copies the damage suite makes
// of each file (same derivations, same seeds) into OUT_DIR as <stem>.<kind>-<n>.pst, and
// OUT_DIR/manifest.tsv with one line per copy: copy, source file, kind, damaged ranges;
// and, per file, OUT_DIR/<file>.nodes.tsv: each node's NID and the byte ranges of its own
// data blocks (the block, or a data tree's XBLOCK and the blocks it lists), so that a
// comparison can tell the items a copy's damage left intact.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "robustness/damage.h"

namespace fs = std::filesystem;

namespace {

uint64_t Le(const std::vector<uint8_t>& image, uint64_t at, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width && at + i < image.size(); ++i)
        value |= uint64_t{image[at + i]} << (8 * i);
    return value;
}

void WriteNodeBlocks(const fs::path& path, const kestrel::test::PstMap& map,
                     const std::vector<uint8_t>& image) {
    std::ofstream out(path, std::ios::trunc);
    out << "nid\tranges\n";
    auto slot = [&](const kestrel::test::MapBlock& block) {
        const uint64_t size = (block.cb + map.BlockTrailerSize() + 63) / 64 * 64;
        return std::to_string(block.ib) + "-" + std::to_string(block.ib + size);
    };
    for (const auto& [nid, node] : map.nodes) {
        const auto it = map.blocks.find(node.bidData & ~uint64_t{1});
        if (it == map.blocks.end()) continue;
        std::string ranges = slot(it->second);
        // A data tree of one level (XBLOCK: btype 1, cLevel 1, cEnt, lcbTotal, BIDs).
        const auto& x = it->second;
        if ((node.bidData & 2) && Le(image, x.ib, 1) == 1 && Le(image, x.ib + 1, 1) == 1) {
            const uint64_t count = Le(image, x.ib + 2, 2);
            for (uint64_t i = 0; i < count && 8 + (i + 1) * map.IdSize() <= x.cb; ++i) {
                const uint64_t bid = Le(image, x.ib + 8 + i * map.IdSize(), map.IdSize());
                const auto child = map.blocks.find(bid & ~uint64_t{1});
                if (child != map.blocks.end()) ranges += "," + slot(child->second);
            }
        }
        out << nid << '\t' << ranges << '\n';
    }
}

}  // namespace

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
        if (damage.map())
            WriteNodeBlocks(out / (source.filename().string() + ".nodes.tsv"), *damage.map(),
                            image);
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
