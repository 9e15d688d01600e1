// The storage layer over the real files: every file loads, and what the loader takes from
// the B-trees is checked against a plain walk that trusts each page's cLevel and cEnt.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "storage/block_reader.h"
#include "storage/btree_loader.h"
#include "storage/byte_reader.h"
#include "storage/pst_context.h"
#include "storage/subnode_list.h"
#include "support/test_paths.h"

namespace kestrel {
namespace {

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct NodeEntry {
    uint32_t nid;
    uint64_t bidData;
};

// Keys of one tree: those of entries below each page's cEnt on pages reached through such
// entries ("live"), and the others inside the entry areas ("stale").
struct PlainWalk {
    std::set<uint64_t> live, stale;
    std::vector<NodeEntry> liveNodes;
};

PlainWalk WalkPlainly(const std::vector<uint8_t>& file, PstVariant variant, uint64_t root,
                      bool nodeTree) {
    const bool ansi = variant == PstVariant::Ansi;
    const bool fourK = variant == PstVariant::Unicode4k;
    const size_t width = ansi ? 4 : 8;
    // cEnt sits right after the entry area, a byte wide (two in 4 KB pages).
    const size_t area = fourK ? 4056 : ansi ? 496 : 488;
    const size_t pageSize = fourK ? 4096 : 512;
    const size_t countWidth = fourK ? 2 : 1;
    const size_t leafSize = nodeTree ? 4 * width : 3 * width;
    PlainWalk result;
    std::set<uint64_t> visited;
    std::vector<std::tuple<uint64_t, bool, int>> todo{{root, false, 0}};
    while (!todo.empty()) {
        auto [offset, stale, depth] = todo.back();
        todo.pop_back();
        if (depth > 16 || !visited.insert(offset).second) continue;
        ByteReader page = ByteReader(file).Sub(offset, pageSize);
        if (page.size() < pageSize) continue;
        const uint64_t cEnt = *page.UInt(area, countWidth);
        const uint8_t cLevel = *page.U8(area + 2 * countWidth + 1);
        if (cLevel == 0) {
            for (size_t i = 0; i < area / leafSize; ++i) {
                uint64_t key = *page.UInt(i * leafSize, width);
                if (nodeTree) key &= 0xFFFFFFFF;
                bool live = !stale && i < cEnt;
                (live ? result.live : result.stale).insert(key);
                if (live && nodeTree) {
                    result.liveNodes.push_back(
                        {static_cast<uint32_t>(key), *page.UInt(i * leafSize + width, width)});
                }
            }
        } else {
            for (size_t i = 0; i < area / (3 * width); ++i) {
                todo.emplace_back(*page.UInt(i * 3 * width + 2 * width, width), stale || i >= cEnt,
                                  depth + 1);
            }
        }
    }
    return result;
}

bool IsHeapStart(const std::vector<uint8_t>& data) {
    // Heap-on-node header: bSig 0xEC, then the client signature of a property or table context.
    return data.size() > 4 && data[2] == 0xEC && (data[3] == 0xBC || data[3] == 0x7C);
}

// The folders and messages the Debian peers recover from the file, by NID.
std::set<uint32_t> PeerNids(const std::filesystem::path& path) {
    std::set<uint32_t> nids;
    std::ifstream in(test::ExpectedFileFor(path));
    const nlohmann::json expected = nlohmann::json::parse(in, nullptr, false);
    if (expected.is_discarded()) return nids;
    for (const char* peer : {"pffexport", "readpst"}) {
        const auto folders = expected["peers"][peer].value("folders", nlohmann::json::object());
        for (const auto& [folder, value] : folders.items()) {
            for (const char* list : {"nids", "message_nids"}) {
                for (const auto& nid : value.value(list, nlohmann::json::array()))
                    nids.insert(nid.get<uint32_t>());
            }
        }
    }
    return nids;
}

TEST(StorageCorpusFiles, EveryFileLoadsAgainstAPlainWalkAndThePeers) {
    KESTREL_REQUIRE_CORPUS();
    for (const auto& path : test::CorpusFiles()) {
        SCOPED_TRACE(path.filename().string());
        PstContext context;
        std::string error;
        ASSERT_EQ(OpenPstFile(context, path.string(), &error), 0) << error;
        ASSERT_NE(context.variant, PstVariant::Unknown);
        ASSERT_EQ(LoadIndexes(context), 0);
        const PstVariant variant = context.variant;

        // The encoding is the header's own byte; the PST files are all permuted, the offline
        // store of the 4 KB layout is not encoded.
        std::vector<uint8_t> file = ReadWholeFile(path);
        EXPECT_EQ(context.cryptMethod, file.at(variant == PstVariant::Ansi ? 461 : 513));
        EXPECT_EQ(context.cryptMethod, variant == PstVariant::Unicode4k ? 0u : 1u);

        for (uint32_t nid : {0x21u, 0x61u, 0x122u}) {
            const NodeRecord* node = FindNode(context, nid);
            ASSERT_NE(node, nullptr) << "nid " << nid;
            std::vector<uint8_t> data;
            ASSERT_GT(ReadNodeData(context, node->dataBlock, data), 0u);
            EXPECT_TRUE(IsHeapStart(data)) << "nid " << nid << " is not decoded";
        }
        for (uint32_t nid : PeerNids(path)) EXPECT_NE(FindNode(context, nid), nullptr) << nid;

        PlainWalk blocks = WalkPlainly(file, variant, context.blockRootOffset, false);
        PlainWalk nodes = WalkPlainly(file, variant, context.nodeRootOffset, true);
        for (uint64_t bid : blocks.live) EXPECT_NE(FindBlock(context, bid), nullptr) << bid;
        for (const BlockRecord& record : context.blocks) {
            EXPECT_TRUE(blocks.live.count(record.bid) || blocks.stale.count(record.bid))
                << "block " << record.bid << " comes from nowhere";
        }
        for (uint64_t nid : nodes.live) {
            EXPECT_NE(FindNode(context, static_cast<uint32_t>(nid)), nullptr) << "nid " << nid;
        }
        for (const NodeRecord& record : context.nodes.records()) {
            EXPECT_TRUE(nodes.live.count(record.nid) || nodes.stale.count(record.nid))
                << "node " << record.nid << " comes from nowhere";
        }
        // Every node hangs in the tree, and counts stay within what is there. (Skipped
        // subtrees do occur: stale entries past cEnt naming pages since reused.)
        EXPECT_EQ(context.stats.orphanNodes, 0u);
        EXPECT_GE(context.nodes.ReachableCount(), nodes.live.size());
        EXPECT_LE(context.nodes.ReachableCount(), nodes.live.size() + nodes.stale.size());
        EXPECT_GE(context.blocks.size(), blocks.live.size());

        // Every node's data and subnodes are there and read.
        for (const NodeEntry& entry : nodes.liveNodes) {
            if (entry.bidData == 0) continue;
            std::vector<uint8_t> data;
            EXPECT_GT(ReadNodeData(context, FindBlock(context, entry.bidData), data), 0u)
                << "data of nid " << entry.nid;
        }
        context.nodes.ForEachReachable([&](const NodeRecord& node) {
            if (!node.subnodeBlock) return;
            SubnodeList list = BuildSubnodeList(context, node.subnodeBlock);
            EXPECT_FALSE(list.empty()) << "nid " << node.nid;
            for (const SubnodeEntry& entry : list.entries) {
                std::vector<uint8_t> data;
                EXPECT_GT(ReadNodeData(context, entry.block, data), 0u)
                    << "subnode " << entry.nid << " of nid " << node.nid;
            }
        });
    }
}

}  // namespace
}  // namespace kestrel
