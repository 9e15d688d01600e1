// kestrel-cli analyze: the JSON it prints, and the built program run on fixture files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "cli/analysis_json.h"
#include "cli/analyze_command.h"
#include "cli/progress_bar.h"
#include "cli_runner.h"
#include "engine/analysis.h"
#include "support/layouts.h"
#include "support/mailbox_builder.h"

namespace kestrel {
namespace {

using nlohmann::json;
using test::MailboxBuilder;

// 2007-01-01 12:00:00 UTC as a FILETIME.
constexpr uint64_t kNewYear2007 = 128'121'264'000'000'000ULL;

std::set<std::string> Keys(const json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) keys.insert(item.key());
    return keys;
}

json Parse(const AnalysisResult& result) {
    std::ostringstream out;
    cli::WriteAnalysisJson(out, result);
    return json::parse(out.str());
}

TEST(AnalysisJson, FollowsTheCommandLineContract) {
    AnalysisResult result;
    result.file = "/tmp/a.pst";
    result.version = 23;
    result.variant = PstVariant::Unicode;
    result.status = AnalysisStatus::Completed;
    SummaryCounters& c = result.counters;
    c.inbox = 1, c.drafts = 2, c.outbox = 3, c.sentItems = 4, c.deletedItems = 5;
    c.journal = 6, c.contacts = 7, c.calendar = 8, c.totalMail = 57;
    MailFolderEntry inbox{"Personal Folders\\Inbox\\", 0x8082, true, "IPF.Note", {}};
    MessageSummary m;
    m.nid = 0x200024;
    m.SetClassName("IPM.Note");
    m.hasSubject = true;
    m.SetSubject("Caf\xC3\xA9 \xFF");  // one broken byte from a damaged file
    m.SetFrom("Ann");
    m.SetDeliveryTime(kNewYear2007);
    m.SetAttachments(std::vector<AttachmentSummary>{{"report.pdf", 1234}});
    inbox.messages.push_back(m);
    MessageSummary bare;
    bare.nid = 0x200044;
    bare.SetDeliveryTime(0);  // a FILETIME of 0 is no date
    inbox.messages.push_back(bare);
    result.folders.Append(inbox);
    result.folders.Append({"Personal Folders\\Contacts\\", 0x80A2, false, "", {}});
    ContactEntry contact{{.nid = 0x200064,
                          .folderNid = 0x80A2,
                          .folderPath = "Personal Folders\\Contacts\\",
                          .className = {}},
                         {},
                         {}};
    contact.className = "IPM.DistList";
    contact.contact.givenName = "Bob";
    contact.contact.addressLine = "Elm Rd 7";
    result.contacts.push_back(contact);
    result.notes.push_back({{.nid = 0x200084,
                             .folderNid = 0x80C2,
                             .folderPath = "Personal Folders\\Notes\\",
                             .className = {}},
                            "n",
                            "text",
                            {}});
    result.tasks.push_back(
        {{.nid = 0x2000A4, .folderNid = 0x80E2, .folderPath = "T\\", .className = {}},
         true,
         "task",
         kNewYear2007});
    result.journal.push_back(
        {{.nid = 0x2000C4, .folderNid = 0x8102, .folderPath = "J\\", .className = {}},
         "Phone call",
         true,
         "call",
         {}});
    CalendarEntry meeting;
    meeting.location = "Room 1";
    meeting.hasMessage = meeting.hasSubject = true;
    meeting.subject = "Review";
    result.calendar.push_back(meeting);

    const json doc = Parse(result);
    EXPECT_EQ(Keys(doc),
              (std::set<std::string>{"file", "version", "variant", "status", "error", "warnings",
                                     "counters", "hiddenItems", "scan", "folders", "contacts",
                                     "tasks", "notes", "journal", "calendar"}));
    EXPECT_TRUE(doc["scan"].is_null());
    EXPECT_EQ(doc["status"], "completed");
    EXPECT_TRUE(doc["error"].is_null());
    EXPECT_EQ(doc["counters"], json::parse(R"({"Inbox":1,"Drafts":2,"Outbox":3,"Sent Items":4,
        "Deleted Items":5,"Calendar":8,"Contacts":7,"Journal":6,"Junk E-mails":0,"Tasks":0,
        "Notes":0,"Total Mail":57})"));

    const json& folder = doc["folders"][0];
    EXPECT_EQ(folder["path"], "Personal Folders\\Inbox\\");
    EXPECT_EQ(folder["nid"], 0x8082);
    EXPECT_EQ(folder["mail"], true);
    const json& first = folder["messages"][0];
    EXPECT_EQ(Keys(first),
              (std::set<std::string>{"nid", "class", "subject", "from", "to", "cc", "date",
                                     "hasHtml", "hasRtf", "bodyLength", "attachments"}));
    EXPECT_EQ(first["subject"], "Café \xEF\xBF\xBD");
    EXPECT_EQ(first["date"], "2007-01-01T12:00:00Z");
    EXPECT_TRUE(first["to"].is_null());
    EXPECT_EQ(first["attachments"], json::parse(R"([{"name":"report.pdf","size":1234}])"));
    const json& second = folder["messages"][1];
    EXPECT_TRUE(second["subject"].is_null());
    EXPECT_TRUE(second["class"].is_null());
    EXPECT_TRUE(second["date"].is_null());

    EXPECT_EQ(doc["folders"][1]["mail"], false);
    EXPECT_TRUE(doc["folders"][1]["containerClass"].is_null());
    EXPECT_TRUE(doc["folders"][1]["messages"].empty());
    EXPECT_EQ(doc["contacts"][0]["name"], "Bob");
    EXPECT_EQ(doc["contacts"][0]["postal"], "Elm Rd 7");
    EXPECT_EQ(doc["contacts"][0]["folder"], "Personal Folders\\Contacts\\");
    EXPECT_EQ(doc["notes"][0]["text"], "text");
    EXPECT_TRUE(doc["notes"][0]["date"].is_null());
    EXPECT_EQ(doc["contacts"][0]["class"], "IPM.DistList");
    EXPECT_EQ(doc["tasks"][0], json::parse(R"({"nid":2097316,"class":null,"folder":"T\\",
                                               "subject":"task","date":"2007-01-01T12:00:00Z"})"));
    EXPECT_EQ(doc["journal"][0]["entryType"], "Phone call");
    EXPECT_EQ(doc["calendar"][0]["location"], "Room 1");
    EXPECT_EQ(doc["calendar"][0]["subject"], "Review");
}

// The JSON holds every counter the text shows, under the label the text shows, and the
// text says what "Total Mail" counts beside the messages listed.
// Texts are written with the library's own escapes, whether they take the direct path
// (sound UTF-8) or not: control characters, quotes, DEL, every UTF-8 length, and broken
// forms (overlong, surrogate, past U+10FFFF, cut short, a stray continuation byte).
TEST(AnalysisJson, TextsHaveTheLibrarysEscapes) {
    std::vector<std::string> texts = {"plain",
                                      "q\"uo\\te",
                                      "back\\slash",
                                      "tab\tnl\nbell\x07",
                                      "del\x7F",
                                      "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                                      "\xC0\xAF",
                                      "\xE0\x80\xAF",
                                      "\xED\xA0\x80",
                                      "\xF4\x90\x80\x80",
                                      "\xF5\x80\x80\x80",
                                      "cut \xE2\x82",
                                      "stray \x80",
                                      "\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF"};
    // The same after plain text long enough for the 16-byte steps.
    for (size_t i = 0, n = texts.size(); i < n; ++i) {
        texts.push_back(std::string(17, 'x') + texts[i]);
        texts.push_back(std::string(35, 'y') + texts[i] + std::string(20, 'z'));
    }
    AnalysisResult result;
    MailFolderEntry inbox{"Personal Folders\\Inbox\\", 0x8082, true, "IPF.Note", {}};
    for (const std::string& text : texts) {
        MessageSummary m;
        m.hasSubject = true;
        m.SetSubject(text);
        inbox.messages.push_back(m);
    }
    result.folders.Append(inbox);
    std::ostringstream out;
    cli::WriteAnalysisJson(out, result);
    size_t at = 0;
    for (const std::string& text : texts) {
        const std::string expected =
            "\"subject\":" + json(text).dump(-1, ' ', false, json::error_handler_t::replace);
        at = out.str().find(expected, at);
        EXPECT_NE(at, std::string::npos) << expected;
    }
}

TEST(AnalysisJson, LongListsKeepEveryMessageInOrder) {
    // Long lists are written in chunks, every other one by a second thread.
    AnalysisResult result;
    uint32_t nid = 0;
    for (const size_t count : {1300, 0, 1, 700}) {
        MailFolderEntry folder{"F" + std::to_string(count), 0x8082, true, "IPF.Note", {}};
        for (size_t i = 0; i < count; ++i) {
            MessageSummary m;
            m.nid = ++nid;
            m.hasSubject = true;
            m.SetSubject("s" + std::to_string(nid));
            folder.messages.push_back(m);
        }
        result.folders.Append(folder);
    }
    const json parsed = Parse(result);
    size_t f = 0;
    for (const MailFolderEntry& folder : result.folders.entries()) {
        const json& messages = parsed["folders"][f++]["messages"];
        ASSERT_EQ(messages.size(), folder.messages.size()) << folder.path;
        for (size_t i = 0; i < messages.size(); ++i)
            EXPECT_EQ(messages[i], json::parse(cli::MessageJson(folder.messages[i]).dump()));
    }
}

TEST(AnalysisJson, CountersHoldEveryCounterTheSummaryShows) {
    AnalysisResult result;
    result.status = AnalysisStatus::Completed;
    SummaryCounters& c = result.counters;
    c.junkEmails = 3, c.tasks = 4, c.notes = 5, c.totalMail = 9;
    const json counters = cli::CountersJson(c);
    EXPECT_EQ(counters.value("Junk E-mails", -1), 3);
    EXPECT_EQ(counters.value("Tasks", -1), 4);
    EXPECT_EQ(counters.value("Notes", -1), 5);

    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    ASSERT_NE(out, nullptr);
    cli::PrintSummary(out, result);
    std::fclose(out);
    const std::string text(buffer, size);
    std::free(buffer);
    const size_t begin = text.find("\nCounters:\n") + 11;
    ASSERT_GT(begin, 10u) << text;
    std::istringstream lines(text.substr(begin, text.find("\n\n", begin) - begin));
    size_t shown = 0;
    for (std::string line; std::getline(lines, line); ++shown) {
        // "  Deleted Items 5": the label is padded to 14 columns.
        std::string key = line.substr(2, 14);
        key.erase(key.find_last_not_of(' ') + 1);
        EXPECT_TRUE(counters.contains(key)) << line;
    }
    EXPECT_EQ(shown, counters.size());
    EXPECT_NE(text.find("Total Mail    9  (nodes walked up to the last mail folder; 0 messages "
                        "listed)"),
              std::string::npos)
        << text;
}

TEST(ProgressBarLine, StaysInsideItsRange) {
    EXPECT_EQ(cli::ProgressBar::Line(0, 10, 5, 2).substr(0, 37),
              "[###############---------------]  50%");
    // A walk of three nodes or fewer gives a range whose top is below its bottom.
    EXPECT_NE(cli::ProgressBar::Line(0, -2, 1, 1).find("100%"), std::string::npos);
    // Loads past the top (the range is three short) keep the bar full, not overflowing.
    EXPECT_EQ(cli::ProgressBar::Line(0, 10, 13, 1).substr(0, 32), "[" + std::string(30, '#') + "]");
}

// The built program, run in a scratch folder.
class Program {
  protected:
    test::RunResult Cli(const std::vector<std::string>& args) {
        return test::RunProgram(KESTREL_CLI_PATH, args, scratch_.path());
    }
    test::ScratchDir scratch_;
};

// The built program on files the mailbox builder writes.
class AnalyzeProgram : public Program, public test::LayoutTest {
  protected:
    std::string PstPath(const std::string& name) { return (scratch_.path() / name).string(); }

    // A mailbox with a message, a subfolder with a non-ASCII name, and a contact.
    std::string WriteMailbox(MailboxBuilder& box) {
        test::Message mail =
            test::MakeMail("Quarterly report", "Ann Lee", "ann@example.com", "Numbers attached.");
        mail.subjectPrefix = "RE: ";
        mail.recipients = {{"Bob Stone", "bob@example.com", 1}, {"Cy Diaz", "cy@example.com", 2}};
        mail.deliveryTime = kNewYear2007;
        mail.attachments = {
            {"REPORT~1.PDF", "report 2006.pdf", std::vector<uint8_t>(3000, 7), "", {}}};
        inboxMail_ = box.AddMessage(box.Folder("Inbox"), mail);
        const uint32_t sub = box.AddFolder(box.Folder("Inbox"), "Données");
        box.AddMessage(sub, test::MakeMail("Résumé", "Zoë", "zoe@example.com", "Bonjour"));
        box.AddMessage(box.Folder("Contacts"), test::MakeContact({.displayName = "Bob Stone",
                                                                  .givenName = "Bob",
                                                                  .surname = "Stone",
                                                                  .email = "bob@example.com",
                                                                  .mobile = "555 0100"}));
        const std::string path = PstPath("box.pst");
        box.WriteTo(path);
        return path;
    }

    const json* FolderByPath(const json& doc, const std::string& path) {
        for (const auto& folder : doc["folders"]) {
            if (folder["path"] == path) return &folder;
        }
        return nullptr;
    }

    uint32_t inboxMail_ = 0;
};

TEST_P(AnalyzeProgram, JsonListsEveryItemOfTheFile) {
    MailboxBuilder box(GetParam());
    const std::string path = WriteMailbox(box);
    const test::RunResult run = Cli({"analyze", path, "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");  // stderr is no terminal: no progress bar
    const json doc = json::parse(run.out);
    EXPECT_EQ(doc["status"], "completed");
    EXPECT_EQ(doc["variant"], VariantName(GetParam()));
    EXPECT_EQ(doc["file"], path);

    const json* inbox = FolderByPath(doc, "Personal Folders\\Inbox\\");
    ASSERT_NE(inbox, nullptr);
    EXPECT_EQ((*inbox)["messages"],
              json::parse(R"([{"nid":)" + std::to_string(inboxMail_) +
                          R"(,"class":"IPM.Note","subject":"RE: Quarterly report","from":"Ann Lee",
                          "to":"Bob Stone","cc":"Cy Diaz","date":"2007-01-01T12:00:00Z",
                          "hasHtml":false,"hasRtf":false,"bodyLength":17,
                          "attachments":[{"name":"report 2006.pdf","size":3000}]}])"));
    const json* sub = FolderByPath(doc, "Personal Folders\\Inbox\\Données\\");
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ((*sub)["messages"][0]["subject"], "Résumé");
    EXPECT_EQ((*sub)["messages"][0]["from"], "Zoë");

    ASSERT_EQ(doc["contacts"].size(), 1u);
    EXPECT_EQ(doc["contacts"][0]["email"], "bob@example.com");
    EXPECT_EQ(doc["contacts"][0]["mobile"], "555 0100");
    EXPECT_EQ(doc["counters"]["Inbox"], 2);  // the subfolder's message counts too
    EXPECT_EQ(doc["counters"]["Contacts"], 1);
    EXPECT_GT(doc["counters"]["Total Mail"], 0);
}

TEST_P(AnalyzeProgram, SummaryShowsTheTreeAndCounters) {
    MailboxBuilder box(GetParam());
    const test::RunResult run = Cli({"analyze", WriteMailbox(box), "--quiet"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Status:    completed"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n  Personal Folders "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n    Inbox "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n      Données "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("1 contacts"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Total Mail"), std::string::npos) << run.out;
}

TEST_P(AnalyzeProgram, RestoreDeletedFilesOrphanMessages) {
    MailboxBuilder box(GetParam());
    const std::string path = WriteMailbox(box);
    // A second node over the Inbox message's data whose parent folder does not exist:
    // no walk reaches it.
    test::NbtEntry orphan;
    for (const auto& entry : box.pst().NbtEntries()) {
        if (entry.nid == inboxMail_) orphan = entry;
    }
    ASSERT_NE(orphan.nid, 0u);
    orphan.nid = box.NextMessageNid() + 0x20 * 50;
    orphan.nidParent = test::MakeNid(test::kNidTypeNormalFolder, 0x7777);
    box.pst().AddNode(orphan);
    box.WriteTo(path);

    const test::RunResult run = Cli({"analyze", path, "--json", "--restore-deleted"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json doc = json::parse(run.out);
    const json* recovered = FolderByPath(doc, "Personal Folders\\Recovered Items\\");
    ASSERT_NE(recovered, nullptr);
    ASSERT_EQ((*recovered)["messages"].size(), 1u);
    EXPECT_EQ((*recovered)["messages"][0]["nid"], orphan.nid);
    EXPECT_EQ((*recovered)["messages"][0]["subject"], "RE: Quarterly report");
}

KESTREL_BOTH_LAYOUTS(AnalyzeProgram);

class CliFailures : public Program, public ::testing::Test {};

TEST_F(CliFailures, FileThatCannotBeOpenedFailsWithTheReason) {
    const std::string missing = (scratch_.path() / "gone.pst").string();
    const test::RunResult run = Cli({"analyze", missing, "--json"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "kestrel-cli: cannot open \"" + missing + "\": No such file or directory\n");
    const json doc = json::parse(run.out);
    EXPECT_EQ(doc["status"], "error");
    EXPECT_EQ(doc["error"], "Cannot read File, PST File allready in Use  ");

    // A folder is no PST file either.
    EXPECT_EQ(Cli({"analyze", scratch_.path().string()}).exitCode, 1);
}

TEST_F(CliFailures, FileThatIsNoPstIsAFailedRun) {
    const auto path = scratch_.path() / "notes.txt";
    std::ofstream(path) << std::string(5000, 'x');
    const test::RunResult run = Cli({"analyze", path.string(), "--json"});
    EXPECT_EQ(run.exitCode, 1);
    const json doc = json::parse(run.out);
    EXPECT_EQ(doc["status"], "error");
    EXPECT_TRUE(doc["error"].is_string());
    EXPECT_FALSE(doc["error"].get<std::string>().empty());
    EXPECT_EQ(doc["variant"], "unknown");
    EXPECT_TRUE(doc["folders"].empty());
}

// The system's reason, not the screen's "in use" text; no table of zero counters for a file
// that is not a PST; a word that is no command or option is named.
TEST_F(CliFailures, ErrorsSayWhatIsWrong) {
    const std::string dir = scratch_.path().string();
    const test::RunResult directory = Cli({"analyze", dir});
    EXPECT_EQ(directory.err, "kestrel-cli: cannot open \"" + dir + "\": Is a directory\n");
    EXPECT_NE(directory.out.find("Error:     cannot open"), std::string::npos) << directory.out;
    const std::string fifo = (scratch_.path() / "pipe.pst").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Cli({"info", fifo}).err, "kestrel-cli: cannot open \"" + fifo +
                                           "\": a FIFO, not a regular file or block device\n");
    if (::geteuid() != 0) {  // root reads whatever the mode says
        const std::string locked = (scratch_.path() / "locked.pst").string();
        std::ofstream(locked) << "x";
        ::chmod(locked.c_str(), 0);
        EXPECT_EQ(Cli({"analyze", locked}).err,
                  "kestrel-cli: cannot open \"" + locked + "\": Permission denied\n");
    }
    const std::string empty = (scratch_.path() / "empty.pst").string();
    std::ofstream{empty};
    for (const std::string& file : {std::string("/bin/ls"), empty}) {
        const test::RunResult run = Cli({"analyze", file});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err,
                  "kestrel-cli: " + file + ": not a PST file (unknown format version 0)\n");
        EXPECT_EQ(run.out.find("Counters:"), std::string::npos) << run.out;
    }
    const test::RunResult command = Cli({"anlyze", empty});
    EXPECT_EQ(command.exitCode, 2);
    EXPECT_NE(command.err.find("\"anlyze\""), std::string::npos) << command.err;
    const test::RunResult option = Cli({"analyze", empty, "--jsn"});
    EXPECT_EQ(option.exitCode, 2);
    EXPECT_NE(option.err.find("--jsn"), std::string::npos) << option.err;
}

TEST_F(CliFailures, UsageErrorsExitWithTwo) {
    EXPECT_EQ(Cli({"analyze"}).exitCode, 2);
    EXPECT_EQ(Cli({"analyze", "a.pst", "--no-such-flag"}).exitCode, 2);
    EXPECT_EQ(Cli({}).exitCode, 2);
    const test::RunResult help = Cli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("analyze"), std::string::npos);
    const test::RunResult version = Cli({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.out.find("kestrel-cli "), std::string::npos);
}

}  // namespace
}  // namespace kestrel
