// Every node of the real files loads for the lists exactly as it loads in full, less the
// attachment data and the RTF text.
#include <gtest/gtest.h>

#include "items/named_property_map.h"
#include "items/node_item.h"
#include "listing_compare.h"
#include "storage/btree_loader.h"
#include "support/test_paths.h"

namespace kestrel {
namespace {

TEST(LightLoadCorpus, EveryNodeListsAsItLoadsInFull) {
    KESTREL_REQUIRE_CORPUS();
    size_t attachments = 0;
    for (const auto& file : test::CorpusFiles()) {
        PstContext context;
        ASSERT_EQ(OpenPstFile(context, file.string()), 0) << file;
        LoadIndexes(context);
        ItemContext items(context);
        LoadNamedPropertyMap(items);
        context.nodes.ForEachReachable([&](const NodeRecord& node) {
            const std::string where = file.filename().string() + " nid " + std::to_string(node.nid);
            const auto full = LoadNodeItem(items, &node);
            const auto light = LoadNodeItem(items, &node, test::ListingOptions());
            test::ExpectSameListing(full.get(), light.get(), where);
            if (full) attachments += full->attachments.size();
        });
    }
    EXPECT_GT(attachments, 0u) << "the corpus has attachments to measure";
}

}  // namespace
}  // namespace kestrel
