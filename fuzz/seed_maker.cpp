// kestrel-fuzz-seeds OUT_DIR [CORPUS_DIR]: writes the seed inputs of every fuzz target
// into OUT_DIR/<target>/, made afresh from the built mailboxes, the real files of the
// corpus (those up to 1 MB) and a few damaged copies of the built ones. Nothing here is
// kept in the repository: the seeds are made again on every fuzzing run.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_blocks.h"
#include "items/property_parser.h"
#include "items/property_tags.h"
#include "robustness/built_mailboxes.h"
#include "robustness/damage.h"
#include "storage/block_reader.h"
#include "storage/btree_loader.h"
#include "storage/nid.h"
#include "storage/subnode_list.h"
#include "support/disk_image_builder.h"

namespace fs = std::filesystem;
using namespace kestrel;

namespace {

constexpr uint64_t kMaxWholeFile = 1u << 20;
constexpr size_t kNodesPerFile = 80;
constexpr size_t kSubnodesPerNode = 24;

struct Source {
    std::string name;
    std::vector<uint8_t> image;
};

void Write(const fs::path& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

void PutLe(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void Append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void Marker(std::vector<uint8_t>& out) {
    Append(out, {reinterpret_cast<const uint8_t*>(fuzz::kChunkMarker.data()),
                 fuzz::kChunkMarker.size()});
}

// An input of the chunk format: mode byte, then each chunk (flag byte and bytes).
struct ChunkInput {
    bool ansi = false;
    uint8_t crypt = 0;
    std::vector<std::pair<bool, std::vector<uint8_t>>> chunks;  // internal, bytes

    size_t Width() const { return ansi ? 4 : 8; }
    uint64_t Bid(size_t index) const { return fuzz::ChunkBid(index, chunks.at(index).first); }
    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out{static_cast<uint8_t>((ansi ? 1 : 0) | crypt << 1)};
        for (size_t i = 0; i < chunks.size(); ++i) {
            if (i) Marker(out);
            out.push_back(chunks[i].first ? 1 : 0);
            Append(out, chunks[i].second);
        }
        return out;
    }
};

std::vector<uint8_t> Text(std::string_view text) {
    return {text.begin(), text.end()};
}

// An XBLOCK (level 1) or XXBLOCK (level 2) naming the given BIDs.
std::vector<uint8_t> TreeBlock(uint8_t level, const std::vector<uint64_t>& bids, uint32_t total,
                               size_t width) {
    std::vector<uint8_t> out{0x01, level};
    PutLe(out, bids.size(), 2);
    PutLe(out, total, 4);
    for (uint64_t bid : bids) PutLe(out, bid, width);
    return out;
}

// An SLBLOCK of (nid, data, sub) entries, or an SIBLOCK of (nid, block) entries.
std::vector<uint8_t> SubnodeBlock(bool leaf, const std::vector<std::array<uint64_t, 3>>& entries,
                                  size_t width) {
    std::vector<uint8_t> out{0x02, static_cast<uint8_t>(leaf ? 0 : 1)};
    PutLe(out, entries.size(), 2);
    if (width == 8) PutLe(out, 0, 4);
    for (const auto& e : entries) {
        PutLe(out, e[0], width);
        PutLe(out, e[1], width);
        if (leaf) PutLe(out, e[2], width);
    }
    return out;
}

void DataTreeSeeds(const fs::path& dir) {
    int n = 0;
    for (bool ansi : {false, true}) {
        for (uint8_t crypt : {0, 1, 2}) {
            const size_t w = ansi ? 4 : 8;
            ChunkInput single{ansi, crypt, {{false, Text("one block of data")}}};
            Write(dir / ("single-" + std::to_string(n)), single.Bytes());

            // XBLOCK over two data blocks: chunk 0 internal, chunks 1 and 2 external.
            ChunkInput x{ansi,
                         crypt,
                         {{true, {}}, {false, Text("first part ")}, {false, Text("second part")}}};
            x.chunks[0].second = TreeBlock(1, {x.Bid(1), x.Bid(2)}, 22, w);
            Write(dir / ("xblock-" + std::to_string(n)), x.Bytes());

            // XXBLOCK over two XBLOCKs over three data blocks.
            ChunkInput xx{ansi,
                          crypt,
                          {{true, {}},
                           {true, {}},
                           {true, {}},
                           {false, Text("aa")},
                           {false, Text("bb")},
                           {false, Text("cc")}}};
            xx.chunks[1].second = TreeBlock(1, {xx.Bid(3), xx.Bid(4)}, 4, w);
            xx.chunks[2].second = TreeBlock(1, {xx.Bid(5)}, 2, w);
            xx.chunks[0].second = TreeBlock(2, {xx.Bid(1), xx.Bid(2)}, 6, w);
            Write(dir / ("xxblock-" + std::to_string(n)), xx.Bytes());

            // An XBLOCK that lists itself.
            ChunkInput self{ansi, crypt, {{true, {}}, {false, Text("data")}}};
            self.chunks[0].second = TreeBlock(1, {self.Bid(0), self.Bid(1), self.Bid(0)}, 100, w);
            Write(dir / ("xself-" + std::to_string(n)), self.Bytes());
            ++n;
        }
    }
}

void SubnodeSeeds(const fs::path& dir) {
    int n = 0;
    for (bool ansi : {false, true}) {
        const size_t w = ansi ? 4 : 8;
        // SLBLOCK with three entries, the last with subnodes of its own.
        ChunkInput sl{ansi,
                      1,
                      {{true, {}},
                       {false, Text("one")},
                       {false, Text("two")},
                       {false, Text("three")},
                       {true, {}},
                       {false, Text("nested")}}};
        sl.chunks[4].second = SubnodeBlock(true, {{0x6A5, sl.Bid(5), 0}}, w);
        sl.chunks[0].second = SubnodeBlock(
            true, {{0x671, sl.Bid(1), 0}, {0x692, sl.Bid(2), 0}, {0x8025, sl.Bid(3), sl.Bid(4)}},
            w);
        Write(dir / ("slblock-" + std::to_string(n)), sl.Bytes());

        // SIBLOCK over two SLBLOCKs.
        ChunkInput si{ansi,
                      0,
                      {{true, {}},
                       {true, {}},
                       {true, {}},
                       {false, Text("a")},
                       {false, Text("b")},
                       {false, Text("c")}}};
        si.chunks[1].second = SubnodeBlock(true, {{0x25, si.Bid(3), 0}, {0x45, si.Bid(4), 0}}, w);
        si.chunks[2].second = SubnodeBlock(true, {{0x65, si.Bid(5), 0}}, w);
        si.chunks[0].second = SubnodeBlock(false, {{0x25, si.Bid(1), 0}, {0x65, si.Bid(2), 0}}, w);
        Write(dir / ("siblock-" + std::to_string(n)), si.Bytes());

        // An entry whose subnodes are the list itself.
        ChunkInput self{ansi, 0, {{true, {}}, {false, Text("x")}}};
        self.chunks[0].second = SubnodeBlock(true, {{0x25, self.Bid(1), self.Bid(0)}}, w);
        Write(dir / ("slself-" + std::to_string(n)), self.Bytes());
        ++n;
    }
}

// Per node of a real or built file: its data block decoded, then its subnodes (NID and
// whole data); and every compressed-RTF value met on the way.
void NodeSeeds(const Source& source, const fs::path& propertiesDir, const fs::path& rtfDir) {
    PstContext context;
    OpenPstImage(context, source.image);
    if (LoadIndexes(context) != 0 || !context.layout) return;
    ItemContext items(context);
    const bool ansi = context.variant == PstVariant::Ansi;
    size_t written = 0;
    int rtf = 0;
    for (const NodeRecord& node : context.nodes.records()) {
        if (written >= kNodesPerFile) break;
        if (!node.dataBlock || IsInternalBid(node.dataBlock->bid)) continue;
        std::vector<uint8_t> data;
        if (ReadDecodedBlock(context, node.dataBlock->bid, data) == 0) continue;
        std::vector<uint8_t> seed{static_cast<uint8_t>(ansi ? 1 : 0)};
        Append(seed, data);
        const SubnodeList subnodes = BuildSubnodeList(context, node.subnodeBlock);
        for (size_t i = 0; i < subnodes.size() && i < kSubnodesPerNode; ++i) {
            std::vector<uint8_t> value;
            ReadNodeData(context, subnodes.entries[i].block, value);
            if (value.size() > 0xFFFF) value.resize(0xFFFF);
            Marker(seed);
            PutLe(seed, subnodes.entries[i].nid, 4);
            Append(seed, value);
        }
        Write(propertiesDir / (source.name + "-" + std::to_string(node.nid)), seed);
        ++written;

        for (const PropertyGroup& group : ParseNodeProperties(items, node.dataBlock, &subnodes)) {
            for (const PropertyValue& value : group.values) {
                if (value.propertyId == kPidTagRtfCompressed && value.data && rtf < 8)
                    Write(rtfDir / (source.name + "-" + std::to_string(rtf++)), *value.data);
            }
        }
    }
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

// Small disks: an MBR with an extended chain, a looping chain, GPTs of 512- and 4096-byte
// sectors and one whose primary header is broken.
void PartitionSeeds(const fs::path& dir) {
    auto sector = [](uint64_t n, std::vector<uint8_t> bytes) {
        return test::ImagePatch{n * 512, std::move(bytes)};
    };
    auto write = [&](const std::string& name, const test::ImagePatches& patches, size_t sectors) {
        std::vector<uint8_t> image(sectors * 512, 0);
        test::Apply(image, patches);
        Write(dir / name, image);
    };
    auto mbr = test::TableSector();
    test::SetMbrEntry(mbr, 0, 0x0B, 4, 8);
    test::SetMbrEntry(mbr, 1, 0x05, 16, 40);
    test::SetMbrEntry(mbr, 2, 0x07, 60, 4);
    test::ImagePatches chain = {sector(0, mbr), sector(4, test::BootSectorOf("FAT32")),
                                sector(60, test::BootSectorOf("NTFS"))};
    for (uint32_t i = 0; i < 3; ++i) {
        auto ebr = test::TableSector();
        test::SetMbrEntry(ebr, 0, i == 0 ? 0x01 : 0x06, 1, 4);
        if (i < 2) test::SetMbrEntry(ebr, 1, 0x05, (i + 1) * 8, 8);
        chain.push_back(sector(16 + i * 8, ebr));
    }
    write("mbr-chain", chain, 64);
    auto loop = test::TableSector();
    test::SetMbrEntry(loop, 0, 0x07, 1, 2);
    test::SetMbrEntry(loop, 1, 0x05, 0, 8);
    chain.push_back(sector(32, loop));
    write("mbr-loop", chain, 64);

    std::vector<test::GptPart> parts(2);
    parts[0].type = parts[1].type = test::BasicDataType();
    parts[0].first = 8, parts[0].last = 15;
    parts[1].first = 16, parts[1].last = 40;
    auto gpt = test::GptPatches(512, 64, parts, 4);
    gpt.push_back(sector(8, test::BootSectorOf("exFAT")));
    gpt.push_back(sector(18, test::ExtSuperblock()));
    write("gpt-512", gpt, 64);
    gpt.push_back(sector(1, std::vector<uint8_t>(16, 0)));
    write("gpt-512-backup", gpt, 64);
    parts[0].first = 2, parts[0].last = 3;
    parts[1].first = 4, parts[1].last = 12;
    write("gpt-4096", test::GptPatches(4096, 16, parts, 4), 16 * 8);
}

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s OUT_DIR [CORPUS_DIR]\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    const char* targets[] = {"analysis", "properties", "data_tree",
                             "subnodes", "rtf",        "partitions"};
    for (const char* target : targets) {
        fs::remove_all(out / target);
        fs::create_directories(out / target);
    }

    std::vector<Source> sources = {
        {"built-unicode-none", test::BuiltMailbox(PstVariant::Unicode, 0)},
        {"built-unicode-permute", test::BuiltMailbox(PstVariant::Unicode, 1)},
        {"built-unicode-cyclic", test::BuiltMailbox(PstVariant::Unicode, 2)},
        {"built-ansi-permute", test::BuiltMailbox(PstVariant::Ansi, 1)},
        {"built-ansi-none", test::BuiltMailbox(PstVariant::Ansi, 0)},
        {"built-unicode4k-none", test::BuiltMailbox(PstVariant::Unicode4k, 0)},
        {"built-unicode4k-permute", test::BuiltMailbox(PstVariant::Unicode4k, 1)},
    };
    const size_t built = sources.size();
    if (argc == 3) {
        std::vector<fs::path> files;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(argv[2], ec)) {
            const fs::path extension = entry.path().extension();
            if ((extension == ".pst" || extension == ".ost") && entry.file_size() <= kMaxWholeFile)
                files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) sources.push_back({file.stem().string(), ReadFile(file)});
    }

    for (size_t i = 0; i < sources.size(); ++i) {
        const Source& source = sources[i];
        Write(out / "analysis" / source.name, source.image);
        NodeSeeds(source, out / "properties", out / "rtf");
        if (i >= built) continue;
        // Damaged built mailboxes lead the fuzzer straight into the paths for damage.
        test::DamageSet damage(source.image, source.name);
        for (size_t k = i % 3; k < damage.size(); k += 3) {
            if (auto copy = damage.Make(k)) {
                Write(out / "analysis" / copy->name, copy->bytes);
            }
        }
    }
    const std::string rtfTexts[] = {"{\\rtf1\\ansi\\deff0 {\\fonttbl{\\f0 Arial;}}\\f0 Hello\\par}",
                                    "{\\rtf1\\ansi\\mac\\pc\\par\\pard\\plain x}", ""};
    int r = 0;
    for (const std::string& text : rtfTexts) {
        Write(out / "rtf" / ("built-" + std::to_string(r++)), test::CompressRtf(text, true));
        Write(out / "rtf" / ("built-" + std::to_string(r++)), test::CompressRtf(text, false));
    }
    DataTreeSeeds(out / "data_tree");
    SubnodeSeeds(out / "subnodes");
    PartitionSeeds(out / "partitions");

    for (const char* target : targets) {
        size_t count = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(out / target)) ++count;
        std::printf("%-10s %zu seeds\n", target, count);
    }
    return 0;
}
