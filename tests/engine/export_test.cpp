// The save: names made safe, hostile names and texts kept inside the destination and out
// of the headers, the overwrite and link rules, stop, and the same bytes on every export.
#include <gmime/gmime.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "engine/eml_writer.h"
#include "engine/export_files.h"
#include "engine/export_run.h"
#include "engine_fixture.h"
#include "platform/settings.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ExportNames, SafeNames) {
    struct Case {
        std::string name;
        std::string safe;
    };
    const std::vector<Case> cases = {
        {"Inbox", "Inbox"},
        {"../../etc/passwd", "___.._etc_passwd"},
        {"..", ""},
        {".", ""},
        {".hidden", "_hidden"},
        {"a\\b", "a_b"},
        {std::string("nul\0byte", 8), "nul_byte"},
        {"line\r\nbreak\x7f", "line__break_"},
        {"trailing. . ", "trailing"},
        {"con", "_con"},
        {"CON.txt", "_CON.txt"},
        {"com1", "_com1"},
        {"Lpt9.log", "_Lpt9.log"},
        {"com0", "com0"},
        {"console", "console"},
        {"\xff\xfe ok", "__ ok"},
        {"caf\xc3\xa9 \xe4\xbc\x9a", "caf\xc3\xa9 \xe4\xbc\x9a"},
        {std::string(300, 'n'), std::string(255, 'n')},
        // 254 bytes and a two-byte character: the cut does not split it.
        {std::string(254, 'x') + "\xc3\xa9", std::string(254, 'x')},
    };
    for (const Case& c : cases) EXPECT_EQ(SafeName(c.name), c.safe) << c.name;
}

TEST(ExportNames, MimeTypesAndMboxQuoting) {
    EXPECT_EQ(CheckedMimeType("image/png"), "image/png");
    EXPECT_EQ(CheckedMimeType("IMAGE/PNG"), "image/png");
    EXPECT_EQ(CheckedMimeType("text/html\r\nBcc: x@y"), "application/octet-stream");
    EXPECT_EQ(CheckedMimeType("not a type"), "application/octet-stream");
    EXPECT_EQ(CheckedMimeType("text/"), "application/octet-stream");
    EXPECT_EQ(CheckedMimeType("multipart/mixed"), "application/octet-stream");
    EXPECT_EQ(CheckedMimeType(""), "application/octet-stream");

    EXPECT_EQ(MboxEntry("Subject: x\r\n\r\nFrom here\r\n>From there\r\nFromage\r\n", "a@b.c", 0),
              "From a@b.c Thu Jan  1 00:00:00 1970\nSubject: x\n\n>From here\n>>From "
              "there\nFromage\n\n");
}

// A mailbox of hostile names and texts.
class HostileExport : public ::testing::Test {
  protected:
    static Message Chain(int depth) {
        Message m = MakeMail("level " + std::to_string(depth), "Ann", "ann@example.com", "body");
        if (depth < 12) {
            Attachment a;
            a.longName = "inner.msg";
            a.embedded = std::make_shared<Message>(Chain(depth + 1));
            m.attachments.push_back(std::move(a));
        }
        return m;
    }

    void SetUp() override {
        MailboxBuilder box(PstVariant::Unicode);
        const uint32_t top = box.TopOfPersonalFolders();
        const std::vector<std::string> names = {
            "../../etc/passwd", "con.txt", std::string(300, 'n'), "a/b", "..", "Twin", "Twin"};
        for (const std::string& name : names) {
            const uint32_t folder = box.AddFolder(top, name);
            box.AddMessage(folder, MakeMail("../../etc/passwd", "Eve", "eve@example.com", "x"));
        }
        Message injected = MakeMail("Hi\r\nBcc: x@y", "Eve\r\nTo: z@z", "eve@example.com", "body");
        injected.recipients = {{"Bob\r\nCc: q@q", "bob@example.com"}};
        Attachment bad;
        bad.longName = "evil\r\nX-Bad: 1.bin";
        bad.mimeType = "text/html\r\nX-Injected: yes";
        bad.data = {1, 2, 3};
        injected.attachments.push_back(bad);
        box.AddMessage(box.Folder("Inbox"), injected);
        box.AddMessage(box.Folder("Inbox"), Chain(0));
        // Rich bodies only in RTF: one written from HTML, one not.
        const uint32_t rich = box.AddFolder(top, "Rich");
        Message fromHtml = MakeMail("from html", "Ann", "ann@example.com", "plain");
        fromHtml.rtfCompressed =
            CompressRtf("{\\rtf1\\ansi\\fromhtml1 {\\*\\htmltag <p>}Hello{\\*\\htmltag </p>}}");
        box.AddMessage(rich, fromHtml);
        Message rtf = MakeMail("plain rtf", "Ann", "ann@example.com", "plain");
        rtf.rtfCompressed = CompressRtf("{\\rtf1\\ansi Hello}");
        box.AddMessage(rich, rtf);
        Message picture = MakeMail("picture", "Ann", "ann@example.com", "plain");
        picture.htmlBody = "<html><body><img src=\"cid:img1@here\"></body></html>";
        Attachment image;
        image.longName = "logo.png";
        image.mimeType = "image/png";
        image.data = {0x89, 'P', 'N', 'G'};
        image.props = {Prop::Unicode(0x3712, "img1@here")};
        picture.attachments.push_back(image);
        box.AddMessage(rich, picture);
        // What is not mail: a card whose name tries to end it early, an event, a task, a note.
        box.AddMessage(box.Folder("Contacts"), MakeContact({.displayName = "Bob\r\nEND:VCARD",
                                                            .email = "bob@example.com"}));
        box.AddMessage(box.Folder("Calendar"),
                       MakeAppointment({.subject = "Standup",
                                        .start = FileTime(2024, 3, 4, 9),
                                        .end = FileTime(2024, 3, 4, 9, 15)}));
        box.AddMessage(box.Folder("Tasks"), MakeTask({.subject = "File it"}));
        box.AddMessage(box.Folder("Notes"), MakeStickyNote("../note"));
        file_ = std::make_unique<ScratchFile>(box.Build());
        AnalyseFile(file_->path(), analysed_);
        ASSERT_EQ(analysed_.status, AnalysisStatus::Completed);
        ASSERT_TRUE(analysed_.source);
        sourceBytes_ = ReadFile(file_->path());
        out_ = file_->path().parent_path() / "out";
    }

    ExportSummary Export(const fs::path& destination, bool overwrite = false) {
        ExportOptions options;
        options.destination = destination.string();
        options.overwrite = overwrite;
        RunControl control;
        return RunExport(analysed_.result, *analysed_.source, options, control);
    }

    static std::vector<fs::path> FilesUnder(const fs::path& root) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            if (!entry.is_directory()) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }

    std::unique_ptr<ScratchFile> file_;
    Analysed analysed_;
    std::string sourceBytes_;
    fs::path out_;
};

TEST_F(HostileExport, StaysInsideWithoutInjectionAndStopsNesting) {
    const ExportSummary summary = Export(out_);
    ASSERT_EQ(summary.outcome, ExportOutcome::Completed) << summary.failure;
    EXPECT_EQ(summary.messagesWritten, summary.messagesTotal);
    EXPECT_EQ(summary.messagesTotal, 12u);

    const std::string root = fs::canonical(out_).string() + "/";
    std::set<std::string> folderNames;
    size_t emls = 0;
    for (const fs::path& path : FilesUnder(out_)) {
        EXPECT_EQ(fs::canonical(path).string().rfind(root, 0), 0u) << path;
        EXPECT_EQ(path.filename().string().find(".part"), std::string::npos) << path;
        EXPECT_LE(path.filename().string().size(), kMaxNameBytes);
        if (path.extension() == ".eml") {
            ++emls;
            folderNames.insert(path.parent_path().filename().string());
        }
    }
    EXPECT_EQ(emls, 12u);
    EXPECT_TRUE(folderNames.count("___.._etc_passwd"));
    EXPECT_TRUE(folderNames.count("_con.txt"));
    EXPECT_TRUE(folderNames.count("a_b"));
    EXPECT_TRUE(folderNames.count("_"));  // ".."
    EXPECT_TRUE(folderNames.count("Twin"));
    EXPECT_TRUE(folderNames.count("Twin (2)"));
    EXPECT_TRUE(fs::exists(out_ / "Recovery Report.txt"));

    const fs::path inbox = out_ / "Personal Folders" / "Inbox";
    const std::string injected = ReadFile(inbox / "00001 Hi__Bcc: x@y.eml");
    ASSERT_FALSE(injected.empty());
    const std::string head = injected.substr(0, injected.find("\r\n\r\n") + 2);
    for (const char* header :
         {"\r\nBcc:", "\r\nTo: z@z", "\r\nCc: q@q", "\r\nX-Bad:", "\r\nX-Injected:"})
        EXPECT_EQ(injected.find(header), std::string::npos) << header;
    EXPECT_NE(head.find("Subject: Hi  Bcc: x@y\r\n"), std::string::npos) << head;
    EXPECT_NE(injected.find("Content-Type: application/octet-stream"), std::string::npos);

    // Eight attached levels are read; the ninth is reported, not followed.
    const std::string chain = ReadFile(inbox / "00002 level 0.eml");
    size_t parts = 0;
    for (size_t at = chain.find("message/rfc822"); at != std::string::npos;
         at = chain.find("message/rfc822", at + 1))
        ++parts;
    EXPECT_EQ(parts, 8u);
    ASSERT_EQ(summary.problems.size(), 1u);
    EXPECT_NE(summary.problems[0].find("deeper than 8 levels"), std::string::npos);
    EXPECT_NE(ReadFile(out_ / "Recovery Report.txt").find("deeper than 8 levels"),
              std::string::npos);

    const fs::path rich = out_ / "Personal Folders" / "Rich";
    const std::string fromHtml = ReadFile(rich / "00001 from html.eml");
    EXPECT_NE(fromHtml.find("multipart/alternative"), std::string::npos);
    EXPECT_NE(fromHtml.find("<p>Hello</p>"), std::string::npos);
    EXPECT_EQ(fromHtml.find("body.rtf"), std::string::npos);
    const std::string plainRtf = ReadFile(rich / "00002 plain rtf.eml");
    EXPECT_NE(plainRtf.find("filename=body.rtf"), std::string::npos);
    EXPECT_EQ(plainRtf.find("text/html"), std::string::npos);
    // The image the HTML shows by Content-ID goes beside it, inline, with its name.
    const std::string picture = ReadFile(rich / "00003 picture.eml");
    const size_t related = picture.find("Content-Type: multipart/related");
    const size_t html = picture.find("Content-Type: text/html");
    const size_t image = picture.find("Content-Type: image/png");
    ASSERT_NE(related, std::string::npos) << picture;
    EXPECT_LT(related, html);
    EXPECT_LT(html, image);
    EXPECT_NE(picture.find("Content-Id: <img1@here>", image), std::string::npos) << picture;
    EXPECT_NE(picture.find("Content-Disposition: inline; filename=logo.png", image),
              std::string::npos);
    EXPECT_EQ(picture.find("multipart/mixed"), std::string::npos);

    EXPECT_EQ(ReadFile(file_->path()), sourceBytes_);
    const SavingValues saving = ReadSavingValues();
    EXPECT_EQ(saving.SavingDone, 12u);
    EXPECT_EQ(saving.SavingTotal, 12u);
    EXPECT_EQ(saving.outcome, ExportOutcome::Completed);
}

TEST_F(HostileExport, ContactsCalendarTasksAndNotesBesideTheMail) {
    const ExportSummary summary = Export(out_);
    ASSERT_EQ(summary.outcome, ExportOutcome::Completed) << summary.failure;
    EXPECT_EQ(summary.otherItemsWritten, 4u);
    const fs::path top = out_ / "Personal Folders";
    const std::string cards = ReadFile(top / "Contacts" / "Contacts.vcf");
    EXPECT_EQ(cards.find("BEGIN:VCARD"), 0u);
    EXPECT_EQ(cards.find("\r\nEND:VCARD"), cards.rfind("\r\nEND:VCARD"));
    EXPECT_NE(ReadFile(top / "Calendar" / "Calendar.ics").find("SUMMARY:Standup\r\n"),
              std::string::npos);
    EXPECT_NE(ReadFile(top / "Tasks" / "Tasks.ics").find("BEGIN:VTODO"), std::string::npos);
    size_t notes = 0;
    for (const fs::path& path : FilesUnder(top / "Notes"))
        notes += path.extension() == ".txt" && ReadFile(path).find("../note") != std::string::npos;
    EXPECT_EQ(notes, 1u);
}

TEST_F(HostileExport, SameBytesEveryTime) {
    ASSERT_EQ(Export(out_).outcome, ExportOutcome::Completed);
    const fs::path second = out_.parent_path() / "second";
    ASSERT_EQ(Export(second).outcome, ExportOutcome::Completed);
    const std::vector<fs::path> first = FilesUnder(out_);
    const std::vector<fs::path> again = FilesUnder(second);
    ASSERT_EQ(first.size(), again.size());
    for (size_t i = 0; i < first.size(); ++i) {
        if (first[i].filename() == "Recovery Report.txt") continue;
        EXPECT_EQ(fs::relative(first[i], out_), fs::relative(again[i], second));
        EXPECT_EQ(ReadFile(first[i]), ReadFile(again[i])) << first[i];
    }
}

TEST_F(HostileExport, ExistingFilesAndLinksAreNotFollowed) {
    const fs::path inbox = out_ / "Personal Folders" / "Inbox";
    fs::create_directories(inbox);
    const fs::path outside = out_.parent_path() / "outside.txt";
    std::ofstream(outside) << "keep";
    fs::create_symlink(outside, inbox / "00002 level 0.eml");
    std::ofstream(inbox / "00001 Hi__Bcc: x@y.eml") << "mine";

    ExportSummary summary = Export(out_);
    EXPECT_EQ(summary.outcome, ExportOutcome::Completed);
    ASSERT_EQ(summary.existing.size(), 2u);
    // In list order, whichever thread met which.
    EXPECT_NE(summary.existing[0].find("/00001 Hi"), std::string::npos) << summary.existing[0];
    EXPECT_NE(summary.existing[1].find("/00002 level"), std::string::npos) << summary.existing[1];
    EXPECT_EQ(summary.messagesWritten, 10u);
    EXPECT_EQ(ReadFile(inbox / "00001 Hi__Bcc: x@y.eml"), "mine");
    EXPECT_EQ(ReadFile(outside), "keep");

    summary = Export(out_, true);
    EXPECT_EQ(summary.outcome, ExportOutcome::Completed);
    EXPECT_TRUE(summary.existing.empty());
    EXPECT_FALSE(fs::is_symlink(inbox / "00002 level 0.eml"));
    EXPECT_EQ(ReadFile(outside), "keep");

    // A folder planted as a link is refused: the save fails rather than write through it.
    const fs::path linked = out_.parent_path() / "linked";
    fs::create_directories(linked / "Personal Folders");
    fs::create_directory_symlink(out_.parent_path(), linked / "Personal Folders" / "Inbox");
    summary = Export(linked);
    EXPECT_EQ(summary.outcome, ExportOutcome::Failed);
    EXPECT_FALSE(summary.failure.empty());
    EXPECT_NE(ReadFile(linked / "Recovery Report.txt").find("Outcome:      failed"),
              std::string::npos);
}

TEST_F(HostileExport, StopLeavesNoFiles) {
    ExportOptions options;
    options.destination = out_.string();
    RunControl control;
    control.RequestStop();
    const ExportSummary summary = RunExport(analysed_.result, *analysed_.source, options, control);
    EXPECT_EQ(summary.outcome, ExportOutcome::Stopped);
    for (const fs::path& path : FilesUnder(out_)) EXPECT_EQ(path.filename(), "Recovery Report.txt");

    // The desktop's save records where its report went.
    const char* saved = std::getenv("KESTREL_CONFIG_DIR");
    const std::string savedValue = saved ? saved : "";
    ::setenv("KESTREL_CONFIG_DIR", (out_.parent_path() / "config").c_str(), 1);
    options.format = ExportFormat::Mbox;
    options.overwrite = true;
    options.recordReport = true;
    RunControl fresh;
    const ExportSummary mbox = RunExport(analysed_.result, *analysed_.source, options, fresh);
    const std::string recorded = ReadSetting(kReportFileValue);
    if (saved) {
        ::setenv("KESTREL_CONFIG_DIR", savedValue.c_str(), 1);
    } else {
        ::unsetenv("KESTREL_CONFIG_DIR");
    }
    ASSERT_EQ(mbox.outcome, ExportOutcome::Completed);
    EXPECT_EQ(recorded, mbox.reportPath);
    EXPECT_EQ(fs::path(recorded), fs::absolute(out_ / "Recovery Report.txt"));
    const std::string inbox = ReadFile(out_ / "Personal Folders" / "Inbox.mbox");
    EXPECT_EQ(inbox.rfind("From eve@example.com ", 0), 0u);
    EXPECT_TRUE(fs::exists(out_ / "Personal Folders" / "Twin (2).mbox"));
}

TEST_F(HostileExport, HeldSourceSeesAChange) {
    const MessageSummary* entry = nullptr;
    for (const auto& folder : analysed_.result.folders.entries())
        if (!folder.messages.empty()) entry = &folder.messages.front();
    ASSERT_NE(entry, nullptr);
    ItemSource::Hold hold(*analysed_.source);
    ASSERT_NE(analysed_.source->Load(entry->nid, entry->dataBid), nullptr);
    ASSERT_NE(analysed_.source->Load(entry->nid, entry->dataBid), nullptr);
    std::ofstream(file_->path(), std::ios::binary | std::ios::app) << 'x';
    EXPECT_THROW(analysed_.source->Load(entry->nid, entry->dataBid), SourceChangedError);
}

// The HTML part is UTF-8, and so are its own charset declarations, however they are written.
TEST(EmlText, HtmlDeclaresUtf8) {
    FullItem full;
    full.item = std::make_unique<ItemRecord>();
    auto message = std::make_unique<MessageRecord>();
    const std::string html =
        "<html><HEAD><META http-equiv=\"Content-Type\" content=\"text/html; "
        "CharSet=windows-1252\"><meta charset = 'iso-8859-1'><Meta name=x></head>"
        "<body><p>caf\xC3\xA9 charset=koi8-r</p></body></html>";
    message->bodyHtml.assign(html.begin(), html.end());
    full.item->message = std::move(message);
    std::vector<std::string> problems;
    std::string eml = EmlOf(full, problems);
    for (size_t at; (at = eml.find("=\r\n")) != std::string::npos;) eml.erase(at, 3);
    EXPECT_NE(eml.find("CharSet=3Dutf-8\"><meta charset =3D 'utf-8'><Meta name=3Dx>"),
              std::string::npos)
        << eml;
    EXPECT_NE(eml.find("charset=3Dkoi8-r</p>"), std::string::npos) << eml;
}

// What a reader decodes from the written text is what the item holds: encoded words,
// quoting, folding, quoted-printable, base64 and RFC 2231 names, read back with GMime.
TEST(EmlText, ReadersGetBackWhatWasWritten) {
    FullItem full;
    full.nid = 0x200024;
    full.item = std::make_unique<ItemRecord>();
    auto message = std::make_unique<MessageRecord>();
    message->subject = std::make_unique<SubjectRecord>();
    std::string subject =
        "Gr\xC3\xBC\xC3\x9F"
        "e  aus Z\xC3\xBCrich =?x?= ";
    for (int i = 0; i < 12; ++i) subject += "word" + std::to_string(i) + " ";
    subject += std::string(230, 'w');
    message->subject->text = subject;
    message->senderName = "J. Smith";
    message->sentRepresentingSmtpAddress = "j.smith@example.com";
    const std::string body = "line one  \r\n\xCE\xB1=\xCE\xB2\tx\r\n" + std::string(100, 'x') +
                             "\n" + std::string(37, 'y') + " \t \r\n" + std::string(90, ' ') +
                             "z\nFrom here\nlast line \t";
    message->body = body;
    full.item->message = std::move(message);
    full.recipients = {{"M\xC3\xBCller, J\xC3\xBCrgen", "jm@example.de", "SMTP", 1},
                       {"Ann \"Q\" Lee", "ann@example.com", "SMTP", 2},
                       {"Eve", "/o=Org/cn=Eve", "EX", 1}};
    AttachmentRecord wide;
    wide.longName = "R\xC3\xA9sum\xC3\xA9 1.pdf";
    wide.mimeTag = "application/pdf";
    for (int i = 0; i < 700; ++i) wide.data.push_back(static_cast<uint8_t>(i * 7));
    AttachmentRecord spaced;
    spaced.longName = "plain name.txt";
    spaced.data = {'a', 'b', 'c', 'd'};
    full.item->attachments = {wide, spaced};

    std::vector<std::string> problems;
    const std::string eml = EmlOf(full, problems);
    EXPECT_TRUE(problems.empty());
    for (size_t start = 0; start < eml.size();) {
        const size_t end = eml.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "a line without CRLF";
        EXPECT_LE(end - start, 78u) << eml.substr(start, end - start);
        EXPECT_EQ(eml.substr(start, end - start).find('\n'), std::string::npos);
        start = end + 2;
    }

    g_mime_init();
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(eml.data(), eml.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* parsed = g_mime_parser_construct_message(parser, nullptr);
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(std::string(g_mime_message_get_subject(parsed)), subject);
    auto address = [](InternetAddressList* list, int i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        const char* name = internet_address_get_name(a);
        return std::string(name ? name : "") + " <" +
               internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a)) + ">";
    };
    EXPECT_EQ(address(g_mime_message_get_from(parsed), 0), "J. Smith <j.smith@example.com>");
    InternetAddressList* to = g_mime_message_get_to(parsed);
    ASSERT_EQ(internet_address_list_length(to), 2);
    EXPECT_EQ(address(to, 0), "M\xC3\xBCller, J\xC3\xBCrgen <jm@example.de>");
    EXPECT_EQ(address(to, 1), "Eve <eve@unknown.invalid>");
    EXPECT_EQ(address(g_mime_message_get_cc(parsed), 0), "Ann \"Q\" Lee <ann@example.com>");

    auto content = [](GMimeObject* part) {
        GMimeStream* out = g_mime_stream_mem_new();
        g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(GMIME_PART(part)), out);
        GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
        std::string text(reinterpret_cast<const char*>(bytes->data), bytes->len);
        g_object_unref(out);
        return text;
    };
    GMimeMultipart* mixed = GMIME_MULTIPART(g_mime_message_get_mime_part(parsed));
    ASSERT_EQ(g_mime_multipart_get_count(mixed), 3);
    EXPECT_EQ(content(g_mime_multipart_get_part(mixed, 0)),
              "line one  \r\n\xCE\xB1=\xCE\xB2\tx\r\n" + std::string(100, 'x') + "\r\n" +
                  std::string(37, 'y') + " \t \r\n" + std::string(90, ' ') +
                  "z\r\nFrom here\r\nlast line \t");
    GMimePart* pdf = GMIME_PART(g_mime_multipart_get_part(mixed, 1));
    EXPECT_EQ(std::string(g_mime_part_get_filename(pdf)), wide.longName);
    EXPECT_EQ(content(GMIME_OBJECT(pdf)), std::string(wide.data.begin(), wide.data.end()));
    GMimePart* txt = GMIME_PART(g_mime_multipart_get_part(mixed, 2));
    EXPECT_EQ(std::string(g_mime_part_get_filename(txt)), "plain name.txt");
    EXPECT_EQ(content(GMIME_OBJECT(txt)), "abcd");
    g_object_unref(parsed);
    g_object_unref(parser);
    g_object_unref(stream);
}

}  // namespace
}  // namespace kestrel::test
