// Loads every node of the real files and holds the subjects against what the Debian
// readers see in them.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "items/named_property_map.h"
#include "items/node_item.h"
#include "storage/btree_loader.h"
#include "storage/pst_context.h"
#include "support/test_paths.h"

namespace kestrel {
namespace {

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
    const auto path = test::ExpectedDir() / (file.filename().string() + ".json");
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

class NodeItemCorpus : public ::testing::TestWithParam<std::filesystem::path> {};

TEST_P(NodeItemCorpus, EveryNodeLoadsAndPeerSubjectsAreFound) {
    KESTREL_REQUIRE_CORPUS();
    const auto& file = GetParam();
    PstContext context;
    std::string error;
    ASSERT_EQ(OpenPstFile(context, file.string(), &error), 0) << error;
    ASSERT_EQ(LoadIndexes(context), 0);
    LoadNamedPropertyMap(context);

    std::set<std::string> ours;
    size_t withData = 0;
    size_t loaded = 0;
    for (const NodeRecord& node : context.nodes.records()) {
        if (node.dataBlock == nullptr) continue;
        ++withData;
        auto item = LoadNodeItem(context, &node);
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

    auto store = LoadNodeItem(context, FindNode(context, 0x21));
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->store);
    EXPECT_GE(store->store->ipmSubtreeEntryId.size(), 24u);

    for (const std::string& subject : PeerSubjects(file)) {
        EXPECT_TRUE(ours.count(subject)) << "subject the peers see: \"" << subject << '"';
    }
}

std::vector<std::filesystem::path> Files() {
    auto files = test::CorpusFiles();
    if (files.empty()) files.emplace_back();  // one case that skips
    return files;
}

INSTANTIATE_TEST_SUITE_P(Corpus, NodeItemCorpus, ::testing::ValuesIn(Files()),
                         [](const auto& info) {
                             std::string name = info.param.stem().string();
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name.empty() ? std::string("none") : name;
                         });

}  // namespace
}  // namespace kestrel
