// Property parsing over the real files: every node parses without harm, the store's
// properties are there, the named map loads, and the folders' tables list as many rows
// as the node tree holds children.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "item_fixtures.h"
#include "items/heap_on_node.h"
#include "items/named_property_map.h"
#include "items/property_parser.h"
#include "storage/block_reader.h"
#include "storage/btree_loader.h"
#include "storage/pst_context.h"
#include "support/test_paths.h"

namespace kestrel {
namespace {

using test::Find;

constexpr uint32_t kStoreNid = 0x21;
constexpr uint32_t kIpmSubtreeEntryId = 0x35E0;

constexpr uint32_t NidType(uint32_t nid) {
    return nid & 0x1F;
}

PropertyGroupList ParseNode(PstContext& context, const NodeRecord& node) {
    SubnodeList subnodes;
    if (node.subnodeBlock) subnodes = BuildSubnodeList(context, node.subnodeBlock);
    return ParseNodeProperties(context, node.dataBlock, &subnodes);
}

class PropertyCorpus : public ::testing::TestWithParam<std::filesystem::path> {
  protected:
    void SetUp() override {
        KESTREL_REQUIRE_CORPUS();
        std::string error;
        ASSERT_EQ(OpenPstFile(context, GetParam().string(), &error), 0) << error;
        ASSERT_EQ(LoadIndexes(context), 0);
    }
    PstContext context;
};

TEST_P(PropertyCorpus, EveryNodeParses_PropertyContextsGiveValues) {
    ASSERT_EQ(LoadNamedPropertyMap(context), 1);
    size_t contexts = 0;
    size_t emptyContexts = 0;
    for (const NodeRecord& node : context.nodes.records()) {
        if (!node.dataBlock) continue;
        const auto groups = ParseNode(context, node);
        const HeapOnNode heap = HeapOnNode::Load(context, node.dataBlock);
        if (heap.valid() && heap.clientSignature() == kClientPropertyContext) {
            ++contexts;
            if (groups.size() != 1 || groups[0].values.empty()) {
                ++emptyContexts;
                ADD_FAILURE() << "node 0x" << std::hex << node.nid << " gave no properties";
            }
        }
    }
    EXPECT_GT(contexts, 0u);
    EXPECT_EQ(emptyContexts, 0u);
}

TEST_P(PropertyCorpus, StoreHasItsIpmSubtree) {
    const NodeRecord* store = FindNode(context, kStoreNid);
    ASSERT_TRUE(store);
    const auto groups = ParseNode(context, *store);
    ASSERT_EQ(groups.size(), 1u);
    const PropertyValue* subtree = Find(groups[0], kIpmSubtreeEntryId);
    ASSERT_TRUE(subtree);
    ASSERT_EQ(subtree->length(), 24u);  // flags, provider UID, NID
    const auto nid = ByteReader(*subtree->data).U32(20);
    EXPECT_EQ(NidType(*nid), 0x02u);  // a normal folder
    EXPECT_TRUE(FindNode(context, *nid));
}

TEST_P(PropertyCorpus, NamedMapLoads) {
    ASSERT_EQ(LoadNamedPropertyMap(context), 1);
    ASSERT_TRUE(context.namedProps);
    EXPECT_GT(context.namedProps->size(), 0u);
    size_t strings = 0;
    for (const auto& entry : context.namedProps->entries()) {
        EXPECT_TRUE(entry.kind == 1 || entry.kind == 2);
        EXPECT_GE(entry.fileId, 0x8000u);
        if (entry.kind == 2 && !entry.stringName.empty()) ++strings;
    }
    EXPECT_GT(strings, 0u);
}

TEST_P(PropertyCorpus, FolderTablesListTheChildrenTheTreeHolds) {
    // Children per folder and kind, from the node tree.
    std::map<uint32_t, size_t> messages, folders;
    for (const NodeRecord& node : context.nodes.records()) {
        if (!node.parent) continue;
        if (NidType(node.nid) == 0x04) ++messages[node.parent->nid];
        // Normal and search folders; the root folder is its own parent.
        const bool folder = NidType(node.nid) == 0x02 || NidType(node.nid) == 0x03;
        if (folder && node.nid != node.parent->nid) ++folders[node.parent->nid];
    }
    size_t tables = 0;
    for (const NodeRecord& node : context.nodes.records()) {
        if (NidType(node.nid) != 0x02) continue;
        for (auto [type, expected] :
             {std::pair{0x0Eu, messages[node.nid]}, std::pair{0x0Du, folders[node.nid]}}) {
            const NodeRecord* table = FindNode(context, (node.nid & ~0x1Fu) | type);
            if (!table || !table->dataBlock) continue;
            ++tables;
            const auto rows = ParseNode(context, *table);
            EXPECT_EQ(rows.size(), expected)
                << "table 0x" << std::hex << table->nid << " of folder 0x" << node.nid;
            for (const auto& row : rows) {
                EXPECT_EQ(row.groupCount, rows.size());
                ASSERT_TRUE(Find(row, 0x67F2));
            }
        }
    }
    EXPECT_GT(tables, 0u);
}

INSTANTIATE_TEST_SUITE_P(Corpus, PropertyCorpus, ::testing::ValuesIn(test::CorpusFiles()),
                         [](const auto& info) {
                             std::string name = info.param.stem().string();
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PropertyCorpus);

}  // namespace
}  // namespace kestrel
