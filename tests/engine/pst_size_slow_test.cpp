// A repaired PST past 2 GiB: offsets beyond 32 bits in the B-trees, AMaps far into the
// file, and a file written whole (no holes left by a seek past the end).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "pstwrite/pst_check.h"
#include "pstwrite/store_writer.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

constexpr size_t kAttachment = 8u << 20;
constexpr int kMessages = 270;  // 270 * 8 MiB: a little over 2 GiB

std::vector<uint8_t> Payload(int message) {
    std::vector<uint8_t> bytes(kAttachment);
    uint32_t x = 0x9E3779B9u * static_cast<uint32_t>(message + 1);
    for (uint8_t& b : bytes) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return bytes;
}

TEST(PstOver2GiB, IsWrittenWholeChecksAndReadsBack) {
    ScratchFile scratch({}, "unused.pst");
    const fs::path path = scratch.path().parent_path() / "big.pst";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    {
        pstwrite::StoreWriter store(fd, 1, "Personal Folders");
        const uint32_t inbox = store.AddFolder(
            store.IpmSubtree(), {Prop::Unicode(0x3001, "Inbox"), Prop::Unicode(0x3613, "IPF.Note")});
        for (int i = 0; i < kMessages; ++i) {
            pstwrite::MessageContent message;
            message.props = {Prop::Unicode(0x001A, "IPM.Note"),
                             Prop::Unicode(0x0037, "Big " + std::to_string(i)),
                             Prop::Int32(0x0E07, 1)};
            pstwrite::AttachmentContent attachment;
            attachment.props = {Prop::Binary(0x3701, Payload(i)),
                                Prop::Unicode(0x3707, "part" + std::to_string(i) + ".bin"),
                                Prop::Int32(0x3705, 1)};
            message.attachments.push_back(std::move(attachment));
            store.AddMessage(inbox, message);
        }
        store.CloseFolder(inbox);
        store.Finish();
    }
    ASSERT_EQ(::close(fd), 0);

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_GT(static_cast<uint64_t>(st.st_size), uint64_t{2} << 30);
    EXPECT_GE(static_cast<uint64_t>(st.st_blocks) * 512, static_cast<uint64_t>(st.st_size))
        << "the file has holes";

    const pstwrite::CheckReport check = pstwrite::CheckPstFile(path.string());
    for (const auto& [kind, found] : check.problems)
        ADD_FAILURE() << kind << ": " << found.count << ", "
                      << (found.first.empty() ? "" : found.first.front());

    Analysed copy;
    AnalyseFile(path, copy);
    ASSERT_EQ(copy.status, AnalysisStatus::Completed);
    const MailFolderEntry* inbox = copy.Folder("Personal Folders\\Inbox\\");
    ASSERT_TRUE(inbox);
    ASSERT_EQ(inbox->messages.size(), static_cast<size_t>(kMessages));
    // The last message lies past 2 GiB: its attachment reads back byte for byte.
    for (const MessageSummary& m : inbox->messages) {
        if (m.subject() != "Big " + std::to_string(kMessages - 1)) continue;
        auto item = copy.source->Load(m.nid);
        ASSERT_TRUE(item && item->item->attachments.size() == 1);
        EXPECT_EQ(item->item->attachments.front().data, Payload(kMessages - 1));
        return;
    }
    ADD_FAILURE() << "the last message is not listed";
}

}  // namespace
}  // namespace kestrel::test
