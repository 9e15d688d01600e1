#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/export_run.h"
#include "engine/pst_export.h"
#include "engine_fixture.h"
#include "pstwrite/pst_check.h"
#include "storage/btree_loader.h"
#include "storage/pst_context.h"
#include "support/layouts.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

// What the analysis shows of a message, without its NID.
std::string Shown(const MessageSummary& m) {
    std::string text = std::string(m.className()) + "|" + std::string(m.subject()) + "|" +
                       std::string(m.from()) + "|" + std::string(m.to()) + "|" + std::string(m.cc()) +
                       "|" + std::to_string(m.deliveryTime().value_or(0)) + "|" +
                       std::to_string(m.bodyLength) + (m.hasHtml ? "|html" : "") +
                       (m.hasRtf ? "|rtf" : "");
    // An attached message's size is its heap's: the same only when the message is copied
    // as the source holds it.
    for (const AttachmentView a : m.attachments())
        text += "|" + std::string(a.name) + ":" + std::to_string(a.size);
    return text;
}

std::vector<std::string> Listing(const AnalysisResult& result) {
    std::vector<std::string> lines;
    for (const auto& folder : result.folders.entries()) {
        lines.push_back(folder.path + " " + folder.containerClass);
        for (const auto& m : folder.messages) lines.push_back("  " + Shown(m));
    }
    for (const auto& c : result.contacts)
        lines.push_back("contact " + c.folderPath + c.displayName);
    for (const auto& t : result.tasks) lines.push_back("task " + t.folderPath + t.subject);
    for (const auto& n : result.notes) lines.push_back("note " + n.folderPath + n.extraText);
    for (const auto& j : result.journal) lines.push_back("journal " + j.folderPath + j.subject);
    for (const auto& c : result.calendar) lines.push_back("calendar " + c.folderPath + c.subject);
    return lines;
}

MailboxBuilder Box(PstVariant variant, uint8_t crypt) {
    MailboxBuilder::Options options;
    options.cryptMethod = crypt;
    // A name the map holds twice: the new map keeps both, so every later id stays put and
    // the attached message, which names one of those, is copied as it is.
    const NameId repeated{kPsPublicStrings, 0, "x-repeated"};
    options.leadingNames = {repeated, repeated};
    MailboxBuilder box(variant, options);
    Message mail = MakeMail("Quarterly figures", "Ann Lee", "ann@example.com", "See attached.");
    mail.recipients = {{"Bob", "bob@example.com", 1}, {"Cy", "cy@example.com", 2}};
    mail.htmlBody = "<p>See <b>attached</b>.</p>";
    mail.deliveryTime = FileTime(2024, 5, 6, 7, 8, 9);
    // Larger than a heap allocation and than a block: a subnode with a data tree.
    mail.attachments = {{"fig.bin", "figures.bin", std::vector<uint8_t>(20000, 0x5A)}};
    auto inner = std::make_shared<Message>(MakeMail("Inner", "Dee", "dee@example.com", "x"));
    inner->named = {NamedText(kPsetidAddress, 0x8084, "dee@example.com")};
    mail.attachments.push_back({"inner", "inner.msg", {}, {}, {}, inner});
    mail.named = {NamedText(kPsPublicStrings, 0x8501, "kept")};
    box.AddMessage(box.Folder("Inbox"), mail);
    const uint32_t sub = box.AddFolder(box.Folder("Inbox"), "Projects");
    box.AddMessage(sub, MakeMail("Unread one", "Eve", "eve@example.com", "hello"));
    box.AddMessage(box.Folder("Contacts"),
                   MakeContact({.displayName = "Bob Stone", .email = "bob@example.com"}));
    box.AddMessage(box.Folder("Calendar"), MakeAppointment({.subject = "Review",
                                                            .location = "Room 2",
                                                            .start = FileTime(2024, 3, 4, 9),
                                                            .end = FileTime(2024, 3, 4, 10)}));
    return box;
}

ExportSummary SavePst(Analysed& analysed, const fs::path& destination, uint8_t crypt = 1,
                      RunControl* control = nullptr) {
    ExportOptions options;
    options.destination = destination.string();
    options.format = ExportFormat::Pst;
    options.cryptMethod = crypt;
    RunControl own;
    return RunExport(analysed.result, *analysed.source, options, control ? *control : own);
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

class PstRoundTrip : public EncodedLayoutTest {};

TEST_P(PstRoundTrip, WrittenFileChecksAndReadsAsTheSource) {
    MailboxBuilder box = Box(variant(), cryptMethod());
    ScratchFile file(box.Build());
    Analysed source;
    AnalyseFile(file.path(), source);
    ASSERT_EQ(source.status, AnalysisStatus::Completed);

    for (uint8_t crypt : {0, 1}) {
        const fs::path out = file.path().parent_path() / ("out" + std::to_string(crypt));
        const ExportSummary summary = SavePst(source, out, crypt);
        ASSERT_EQ(summary.outcome, ExportOutcome::Completed) << summary.failure;
        const fs::path written = out / "box.pst";
        ASSERT_TRUE(fs::exists(written));
        EXPECT_EQ(fs::file_size(written) % 512, 0u);

        const pstwrite::CheckReport check = pstwrite::CheckPstFile(written.string());
        for (const auto& [kind, found] : check.problems)
            ADD_FAILURE() << kind << ": " << (found.first.empty() ? "" : found.first.front());
        EXPECT_EQ(check.variant, PstVariant::Unicode);

        Analysed copy;
        AnalyseFile(written, copy);
        ASSERT_EQ(copy.status, AnalysisStatus::Completed);
        EXPECT_EQ(Listing(copy.result), Listing(source.result));
        EXPECT_EQ(copy.result.hiddenItems, source.result.hiddenItems);

        // The full item: the named property kept its name, the embedded message its body.
        const MailFolderEntry* inbox = copy.Folder("Personal Folders\\Inbox\\");
        ASSERT_TRUE(inbox && !inbox->messages.empty());
        auto item = copy.source->Load(inbox->messages.front().nid);
        ASSERT_TRUE(item);
        EXPECT_EQ(item->recipients.size(), 2u);
        ASSERT_EQ(item->embedded.size(), 1u);
        const auto& inner = *item->embedded.front().message->item;
        ASSERT_TRUE(inner.message && inner.message->subject);
        EXPECT_EQ(inner.message->subject->text, "Inner");
        // Its named property still names what it named (the map kept its ids).
        ASSERT_TRUE(inner.contact);
        EXPECT_EQ(inner.contact->emailAddress, "dee@example.com");
    }
}

KESTREL_ENCODED_LAYOUTS(PstRoundTrip);

TEST(PstSize, DeepDataAndSubnodeTreesReadBack) {
    // 9 MB needs an XXBLOCK (an XBLOCK holds 1021 blocks); 400 attachments need an SIBLOCK
    // over the message's subnode leaves.
    MailboxBuilder box(PstVariant::Unicode);
    Message mail = MakeMail("Big", "Ann", "ann@example.com", "x");
    std::vector<uint8_t> big(9 * 1024 * 1024);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 8191);
    mail.attachments.push_back({"big.bin", "big.bin", big});
    for (int i = 0; i < 400; ++i)
        mail.attachments.push_back({"a" + std::to_string(i), "", {static_cast<uint8_t>(i)}});
    box.AddMessage(box.Folder("Inbox"), mail);
    ScratchFile file(box.Build());
    Analysed source;
    AnalyseFile(file.path(), source);
    ASSERT_EQ(source.status, AnalysisStatus::Completed);
    const fs::path out = file.path().parent_path() / "big.pst";
    ASSERT_EQ(SavePst(source, out).outcome, ExportOutcome::Completed);
    EXPECT_TRUE(pstwrite::CheckPstFile(out.string()).healthy());

    Analysed copy;
    AnalyseFile(out, copy);
    ASSERT_EQ(copy.status, AnalysisStatus::Completed);
    EXPECT_EQ(Listing(copy.result), Listing(source.result));
    const MailFolderEntry* inbox = copy.Folder("Personal Folders\\Inbox\\");
    ASSERT_TRUE(inbox && inbox->messages.size() == 1);
    auto item = copy.source->Load(inbox->messages.front().nid);
    ASSERT_TRUE(item && item->item->attachments.size() == 401);
    const auto& attachments = item->item->attachments;
    EXPECT_TRUE(std::any_of(attachments.begin(), attachments.end(),
                            [&](const AttachmentRecord& a) { return a.data == big; }));
}

// What damage leaves the analysis still lists, and the saves keep: a task whose folder is
// gone (filed under Recovered Items, away from the parent it names) and an attachment whose
// own object is gone (its table row gives its name).
TEST(PstDamagedSource, KeepsWhatTheAnalysisListsOfIt) {
    MailboxBuilder box(PstVariant::Unicode);
    Message mail = MakeMail("Partly lost", "Ann", "ann@example.com", "x");
    mail.attachments = {{.shortName = "kept.txt", .data = {'k'}},
                        {.shortName = "gone.txt", .data = {'g'}, .objectLost = true}};
    box.AddMessage(box.Folder("Inbox"), mail);
    AddRawNode(box, MakeNid(kNidTypeNormalMessage, 0x30000), MakeNid(kNidTypeNormalFolder, 0x7F0),
               {Prop::Unicode(0x001A, "IPM.Task"), Prop::Unicode(0x0037, "Orphan task")});
    ScratchFile file(box.Build());
    Analysed source;
    AnalyseFile(file.path(), source, true);
    ASSERT_EQ(source.status, AnalysisStatus::Completed);
    ASSERT_EQ(source.result.tasks.size(), 1u);
    ASSERT_EQ(source.result.tasks.front().folderPath, "Personal Folders\\Recovered Items\\");

    const fs::path out = file.path().parent_path() / "out.pst";
    const ExportSummary saved = SavePst(source, out);
    ASSERT_EQ(saved.outcome, ExportOutcome::Completed) << saved.failure;
    EXPECT_EQ(saved.otherItemsWritten, 1u);
    EXPECT_TRUE(pstwrite::CheckPstFile(out.string()).healthy());
    Analysed copy;
    AnalyseFile(out, copy);
    ASSERT_EQ(copy.status, AnalysisStatus::Completed);
    EXPECT_EQ(Listing(copy.result), Listing(source.result));

    // The EML save files the task too, where the analysis shows it.
    ExportOptions options;
    options.destination = (file.path().parent_path() / "eml").string();
    RunControl control;
    const ExportSummary eml = RunExport(source.result, *source.source, options, control);
    EXPECT_EQ(eml.otherItemsWritten, 1u);
    EXPECT_TRUE(eml.unreadable.empty());
}

// Attached messages whose subnodes a damaged file points back at their parent's: each
// one lists all of them again. Read naively that is 8^16 messages (8^8 for the reader
// behind the EML save); both saves read each once.
TEST(PstDamagedSource, AttachedMessagesListingTheirParentEndPromptly) {
    MailboxBuilder box(PstVariant::Unicode, {.cryptMethod = 0});
    Message mail = MakeMail("Loop", "Ann", "ann@example.com", "x");
    auto inner = std::make_shared<Message>(MakeMail("Inner", "Dee", "dee@example.com", "y"));
    inner->attachments = {{.shortName = "a.txt", .data = {'a'}}};  // it has subnodes
    for (int i = 0; i < 8; ++i)
        mail.attachments.push_back({.shortName = "m" + std::to_string(i), .embedded = inner});
    const uint32_t nid = box.AddMessage(box.Folder("Inbox"), mail);
    std::vector<uint8_t> image = box.Build();
    {
        ScratchFile sound(image);
        PstContext context;
        ASSERT_EQ(OpenPstFile(context, sound.path().string()), kOpenOk);
        LoadIndexes(context);
        const NodeRecord* node = FindNode(context, nid);
        ASSERT_TRUE(node && node->subnodeBlock);
        const uint64_t outer = node->subnodeBlock->bid;
        auto u64 = [&](size_t at) {
            uint64_t v = 0;
            for (size_t k = 0; k < 8; ++k) v |= uint64_t{image[at + k]} << (8 * k);
            return v;
        };
        // SLBLOCK: btype, cLevel, cEnt, padding; entries of nid, bidData, bidSub.
        auto count = [&](size_t at) { return size_t{image[at + 2]} | size_t{image[at + 3]} << 8; };
        const size_t at = node->subnodeBlock->ib;
        int patched = 0;
        for (size_t i = 0; i < count(at); ++i) {
            const uint64_t bidSub = u64(at + 8 + 24 * i + 16);
            const BlockRecord* attachment = bidSub ? FindBlock(context, bidSub) : nullptr;
            if (!attachment) continue;
            // The attached message's entry in the attachment's list: its subnodes become
            // the outer message's.
            const size_t in = attachment->ib;
            for (size_t j = 0; j < count(in); ++j) {
                for (size_t k = 0; k < 8; ++k)
                    image[in + 8 + 24 * j + 16 + k] = static_cast<uint8_t>(outer >> (8 * k));
                ++patched;
            }
        }
        ASSERT_EQ(patched, 8);
    }
    ScratchFile file(image);
    Analysed source;
    AnalyseFile(file.path(), source);
    ASSERT_EQ(source.status, AnalysisStatus::Completed);
    const fs::path out = file.path().parent_path() / "out.pst";
    ASSERT_EQ(SavePst(source, out).outcome, ExportOutcome::Completed);
    EXPECT_TRUE(pstwrite::CheckPstFile(out.string()).healthy());
    ExportOptions options;
    options.destination = (file.path().parent_path() / "eml").string();
    RunControl control;
    EXPECT_EQ(RunExport(source.result, *source.source, options, control).outcome,
              ExportOutcome::Completed);
}

class PstSafety : public ::testing::Test {
  protected:
    void SetUp() override {
        MailboxBuilder box = Box(PstVariant::Unicode, 1);
        file_ = std::make_unique<ScratchFile>(box.Build());
        AnalyseFile(file_->path(), source_);
        ASSERT_EQ(source_.status, AnalysisStatus::Completed);
    }
    std::vector<std::string> Names(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::unique_ptr<ScratchFile> file_;
    Analysed source_;
};

TEST_F(PstSafety, TheSourceIsNeverTheOutput) {
    const uintmax_t size = fs::file_size(file_->path());
    // By its own name, and through a link in another folder.
    const ExportSummary same = SavePst(source_, file_->path());
    EXPECT_EQ(same.outcome, ExportOutcome::Failed);
    const fs::path other = file_->path().parent_path() / "links";
    fs::create_directories(other);
    fs::create_hard_link(file_->path(), other / "box.pst");
    EXPECT_EQ(SavePst(source_, other).outcome, ExportOutcome::Failed);
    RunControl control;
    ExportOptions options;
    options.destination = other.string();
    options.format = ExportFormat::Pst;
    options.overwrite = true;
    const ExportSummary forced = RunExport(source_.result, *source_.source, options, control);
    EXPECT_EQ(forced.outcome, ExportOutcome::Failed) << "overwrite must not name the source";
    EXPECT_EQ(fs::file_size(file_->path()), size);
}

TEST_F(PstSafety, StopLeavesNothing) {
    const fs::path out = file_->path().parent_path() / "stopped";
    RunControl control;
    control.RequestStop();
    const ExportSummary summary = SavePst(source_, out, 1, &control);
    EXPECT_EQ(summary.outcome, ExportOutcome::Stopped);
    for (const std::string& name : Names(out)) EXPECT_EQ(name.find(".pst"), std::string::npos);
}

TEST_F(PstSafety, FullDiskFailsWithItsReasonAndLeavesNothing) {
    // A file-size limit stands in for a full disk: writes past it fail with EFBIG.
    const fs::path out = file_->path().parent_path() / "full";
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 40000;
    setrlimit(RLIMIT_FSIZE, &small);
    const ExportSummary summary = SavePst(source_, out);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(summary.outcome, ExportOutcome::Failed);
    EXPECT_NE(summary.failure.find("too large"), std::string::npos) << summary.failure;
    for (const std::string& name : Names(out)) EXPECT_EQ(name.find(".pst"), std::string::npos);
}

TEST_F(PstSafety, CheckNamesTheDamagedStructure) {
    const fs::path out = file_->path().parent_path() / "checked.pst";
    ASSERT_EQ(SavePst(source_, out).outcome, ExportOutcome::Completed);
    const std::vector<uint8_t> sound = ReadBytes(out);
    ASSERT_TRUE(pstwrite::CheckPstFile(out.string()).healthy());
    // One byte of the header, of the first AMap, and of the block tree's root page.
    size_t bbtRoot = 0;
    for (size_t i = 0; i < 8; ++i) bbtRoot |= size_t{sound[240 + i]} << (8 * i);
    ASSERT_LT(bbtRoot + 512, sound.size());
    const std::pair<size_t, const char*> cases[] = {
        {20, "header"}, {0x4400 + 100, "allocation maps"}, {bbtRoot + 10, "pages"}};
    for (const auto& [offset, kind] : cases) {
        std::vector<uint8_t> damaged = sound;
        damaged[offset] ^= 0x5A;
        WriteBytes(out, damaged);
        const pstwrite::CheckReport report = pstwrite::CheckPstFile(out.string());
        EXPECT_FALSE(report.healthy()) << kind;
        EXPECT_TRUE(report.problems.count(kind)) << kind;
    }
}

}  // namespace
}  // namespace kestrel::test
