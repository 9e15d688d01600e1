// Every real file analyses to the end, and the folders and messages the peer readers
// recover are all found.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "support/quiet_analysis.h"
#include "support/test_paths.h"

namespace kestrel {
namespace {

AnalysisResult Analyse(const std::filesystem::path& file, AnalysisStatus* status,
                       bool restoreDeleted = false, std::shared_ptr<ItemSource>* source = nullptr) {
    AnalysisResult result;
    *status = test::AnalyseQuietly(file.string(), result, restoreDeleted, source);
    return result;
}

struct Recall {
    size_t folders = 0;
    size_t foldersFound = 0;
    size_t messages = 0;
    size_t messagesFound = 0;
    std::vector<std::string> missingFolders;
};

// What one peer lists, measured against our result: folders by path, messages by NID
// under a folder of the same path.
Recall Measure(const nlohmann::json& peer, const AnalysisResult& result) {
    Recall recall;
    std::map<std::string, std::set<uint32_t>> ours;
    for (const MailFolderEntry& folder : result.folders.entries()) {
        auto& nids = ours[folder.path];
        for (const MessageSummary& message : folder.messages) nids.insert(message.nid);
    }
    for (const auto& [path, folder] : peer.at("folders").items()) {
        ++recall.folders;
        auto found = ours.find(path);
        if (found != ours.end()) {
            ++recall.foldersFound;
        } else {
            recall.missingFolders.push_back(path);
        }
        for (const auto& nid : folder.value("message_nids", nlohmann::json::array())) {
            ++recall.messages;
            if (found != ours.end() && found->second.count(nid.get<uint32_t>())) {
                ++recall.messagesFound;
            }
        }
    }
    return recall;
}

TEST(AnalysisCorpus, EveryFileCompletesAndFindsWhatThePeersFind) {
    KESTREL_REQUIRE_CORPUS();
    size_t totalMessages = 0;
    size_t totalFound = 0;
    for (const auto& file : test::CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        AnalysisStatus status{};
        const AnalysisResult result = Analyse(file, &status);
        EXPECT_EQ(status, AnalysisStatus::Completed) << result.error;
        EXPECT_FALSE(result.folders.empty());

        const auto expectedFile = test::ExpectedFileFor(file);
        std::ifstream in(expectedFile);
        if (!in) continue;
        const nlohmann::json expected = nlohmann::json::parse(in);
        for (const auto& [name, peer] : expected.at("peers").items()) {
            if (!peer.contains("folders")) continue;
            const Recall recall = Measure(peer, result);
            std::string missing;
            for (const auto& path : recall.missingFolders) missing += " [" + path + "]";
            EXPECT_EQ(recall.foldersFound, recall.folders) << name << " lists" << missing;
            totalMessages += recall.messages;
            totalFound += recall.messagesFound;
            std::printf("%-36s %-9s folders %zu/%zu messages %zu/%zu\n", file.filename().c_str(),
                        name.c_str(), recall.foldersFound, recall.folders, recall.messagesFound,
                        recall.messages);
            if (recall.messages > 0) {
                EXPECT_GE(recall.messagesFound * 100, recall.messages * 99) << name;
            }
            // Contacts and appointments are listed of their own: at least as many.
            uint64_t contacts = 0;
            uint64_t appointments = 0;
            for (const auto& [path, folder] : peer.at("folders").items()) {
                contacts += folder.value("contacts", 0u);
                appointments += folder.value("appointments", 0u);
            }
            EXPECT_GE(result.contacts.size(), contacts) << name;
            EXPECT_GE(result.counters.calendar, appointments) << name;
        }
    }
    std::printf("all files: %zu of %zu peer messages filed\n", totalFound, totalMessages);
}

TEST(AnalysisCorpus, RestoringOrphansStillCompletes) {
    KESTREL_REQUIRE_CORPUS();
    for (const auto& file : test::CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        AnalysisStatus plainStatus{};
        const AnalysisResult plain = Analyse(file, &plainStatus);
        AnalysisStatus status{};
        const AnalysisResult restored = Analyse(file, &status, true);
        EXPECT_EQ(status, AnalysisStatus::Completed) << restored.error;
        // Restoring only adds: everything the walk filed is still there.
        EXPECT_EQ(restored.folders.MessageCount(),
                  plain.folders.MessageCount() + restored.restoredCount);
    }
}

// Loading ahead on a second thread lists what one thread lists, in the same order.
TEST(AnalysisCorpus, WalkLoadingAheadFilesWhatOneThreadFiles) {
    KESTREL_REQUIRE_CORPUS();
    for (const auto& file : test::CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        AnalysisResult serial, ahead;
        const AnalysisStatus serialStatus =
            test::AnalyseQuietly(file.string(), serial, true, nullptr, DeepScanMode::Automatic, 0);
        const AnalysisStatus aheadStatus =
            test::AnalyseQuietly(file.string(), ahead, true, nullptr, DeepScanMode::Automatic, 16);
        EXPECT_EQ(serialStatus, aheadStatus);
        EXPECT_EQ(test::ResultText(serial), test::ResultText(ahead));
    }
}

// Every filed message reads again in full; attached messages come with it.
TEST(AnalysisCorpus, ItemSourceReadsEveryFiledMessage) {
    KESTREL_REQUIRE_CORPUS();
    size_t embedded = 0;
    for (const auto& file : test::CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        AnalysisStatus status{};
        std::shared_ptr<ItemSource> source;
        const AnalysisResult result = Analyse(file, &status, false, &source);
        ASSERT_NE(source, nullptr);
        for (const MailFolderEntry& folder : result.folders.entries()) {
            for (const MessageSummary& message : folder.messages) {
                std::unique_ptr<FullItem> full;
                ASSERT_NO_THROW(full = source->Load(message.nid)) << message.nid;
                ASSERT_NE(full, nullptr) << message.nid;
                EXPECT_EQ(full->item->attachments.size(), message.attachments().size());
                embedded += full->embedded.size();
                for (const auto& inner : full->embedded) {
                    EXPECT_LT(inner.attachmentIndex, full->item->attachments.size());
                    EXPECT_NE(inner.message->item, nullptr);
                }
            }
        }
    }
    std::printf("attached messages read: %zu\n", embedded);
    EXPECT_GT(embedded, 0u);
}

}  // namespace
}  // namespace kestrel
