// The item layer over the real files: every node parses and loads, the store's IPM subtree
// and the named map are there, the folders' tables list as many rows as the node tree
// holds children, and the subjects the Debian readers see are found.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "item_fixtures.h"
#include "items/named_property_map.h"
#include "items/node_item.h"
#include "support/test_paths.h"

namespace kestrel {
namespace {

using test::Find;

constexpr uint32_t NidType(uint32_t nid) {
    return nid & 0x1F;
}

// Subjects as the expected files compare them: control characters (C1 ones included)
// dropped, blanks made one, none at either end.
std::string NormalizeSubject(const std::string& text) {
    std::string out;
    bool blank = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            ++i;
            continue;
        }
        if (c == ' ') {
            blank = !out.empty();
        } else if (c >= 0x20 && c != 0x7F) {
            if (blank) out += ' ';
            blank = false;
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::set<std::string> PeerSubjects(const std::filesystem::path& file) {
    std::set<std::string> subjects;
    const auto path = test::ExpectedFileFor(file);
    std::ifstream in(path);
    if (!in) return subjects;
    const nlohmann::json expected = nlohmann::json::parse(in, nullptr, false);
    if (expected.is_discarded() || !expected.contains("peers")) return subjects;
    for (const auto& [peer, view] : expected["peers"].items()) {
        if (!view.contains("folders")) continue;
        for (const auto& [folderPath, folder] : view["folders"].items()) {
            for (const auto& subject : folder.value("messages", nlohmann::json::array())) {
                if (subject.is_string()) subjects.insert(NormalizeSubject(subject));
            }
        }
    }
    return subjects;
}

PropertyGroupList ParseNode(ItemContext& context, const NodeRecord& node) {
    SubnodeList subnodes;
    if (node.subnodeBlock) subnodes = BuildSubnodeList(context.storage, node.subnodeBlock);
    return ParseNodeProperties(context, node.dataBlock, &subnodes);
}

class ItemCorpus : public ::testing::TestWithParam<std::filesystem::path> {
  protected:
    void SetUp() override {
        KESTREL_REQUIRE_CORPUS();
        std::string error;
        ASSERT_EQ(OpenPstFile(context, GetParam().string(), &error), 0) << error;
        ASSERT_EQ(LoadIndexes(context), 0);
    }
    PstContext context;
    ItemContext items{context};
};

TEST_P(ItemCorpus, EveryNodeLoadsAndPeerSubjectsAreFound) {
    LoadNamedPropertyMap(items);

    std::set<std::string> ours;
    size_t withData = 0;
    size_t loaded = 0;
    for (const NodeRecord& node : context.nodes.records()) {
        if (node.dataBlock == nullptr) continue;
        ++withData;
        auto item = LoadNodeItem(items, &node);
        if (!item) continue;
        ++loaded;
        if (item->message && item->message->subject) {
            ours.insert(NormalizeSubject(item->message->subject->text));
        }
        for (const AttachmentRecord& attachment : item->attachments) {
            EXPECT_EQ(attachment.dataSize, attachment.data.size());
        }
    }
    EXPECT_GT(loaded, 0u) << withData << " nodes with data";

    auto store = LoadNodeItem(items, FindNode(context, 0x21));
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->store);
    // An offline store may name no IPM subtree; the walk then starts at the default top.
    if (store->store->ipmSubtreeEntryId.empty()) {
        EXPECT_TRUE(FindNode(context, 0x2142));
    } else {
        EXPECT_GE(store->store->ipmSubtreeEntryId.size(), 24u);
    }

    for (const std::string& subject : PeerSubjects(GetParam())) {
        EXPECT_TRUE(ours.count(subject)) << "subject the peers see: \"" << subject << '"';
    }
}

TEST_P(ItemCorpus, EveryNodeParses_PropertyContextsGiveValues) {
    ASSERT_EQ(LoadNamedPropertyMap(items), NamedMapLoad::Built);
    size_t contexts = 0;
    size_t emptyContexts = 0;
    for (const NodeRecord& node : context.nodes.records()) {
        if (!node.dataBlock) continue;
        const auto groups = ParseNode(items, node);
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

TEST_P(ItemCorpus, StoreHasItsIpmSubtree) {
    const NodeRecord* store = FindNode(context, 0x21);
    ASSERT_TRUE(store);
    const auto groups = ParseNode(items, *store);
    ASSERT_EQ(groups.size(), 1u);
    const PropertyValue* subtree = Find(groups[0], 0x35E0);
    if (!subtree && GetParam().extension() == ".ost") {
        // The offline store of the corpus names none: its top folder has the default NID.
        EXPECT_TRUE(FindNode(context, 0x2142));
        return;
    }
    ASSERT_TRUE(subtree);
    ASSERT_EQ(subtree->length(), 24u);  // flags, provider UID, NID
    const auto nid = ByteReader(*subtree->data).U32(20);
    EXPECT_EQ(NidType(*nid), 0x02u);  // a normal folder
    EXPECT_TRUE(FindNode(context, *nid));
}

TEST_P(ItemCorpus, NamedMapLoads) {
    ASSERT_EQ(LoadNamedPropertyMap(items), NamedMapLoad::Built);
    ASSERT_TRUE(items.namedProps);
    EXPECT_GT(items.namedProps->size(), 0u);
    size_t strings = 0;
    for (const auto& entry : items.namedProps->entries()) {
        EXPECT_TRUE(entry.kind == 1 || entry.kind == 2);
        EXPECT_GE(entry.fileId, 0x8000u);
        if (entry.kind == 2 && !entry.stringName.empty()) ++strings;
    }
    EXPECT_GT(strings, 0u);
}

TEST_P(ItemCorpus, FolderTablesListTheChildrenTheTreeHolds) {
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
            const auto rows = ParseNode(items, *table);
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

// Without the corpus one case remains, which skips.
std::vector<std::filesystem::path> Files() {
    auto files = test::CorpusFiles();
    if (files.empty()) files.emplace_back();
    return files;
}

INSTANTIATE_TEST_SUITE_P(Corpus, ItemCorpus, ::testing::ValuesIn(Files()), [](const auto& info) {
    std::string name = info.param.stem().string();
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name.empty() ? std::string("none") : name;
});

}  // namespace
}  // namespace kestrel
