#include "engine/result_views.h"

#include "engine/result_lists.h"

#include <gtest/gtest.h>

#include <atomic>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

namespace kestrel {
namespace {

// 2007-01-01 12:00:00 UTC as a FILETIME.
constexpr uint64_t kNewYear2007 = 128'121'264'000'000'000ULL;
constexpr uint64_t kUnixEpoch = 116'444'736'000'000'000ULL;

std::vector<uint8_t> LittleEndian(uint64_t value) {
    std::vector<uint8_t> bytes(8);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

std::string Repeat(std::string_view piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

TEST(ResultViewText, FullCleanUpBlanksControlsAndKeepsLetters) {
    std::string controls;
    for (int c : {10, 13, 9, 3, 16, 26, 23, 25, 24, 15, 17, 27}) controls += static_cast<char>(c);
    EXPECT_EQ(FullCleanUp("a" + controls + "b"), "a" + std::string(controls.size(), ' ') + "b");
    // The letters and dashes whose old single-byte values were on the list are UTF-8 here;
    // none of their bytes may be touched.
    const std::string kept = "— Í „ “ Š å ž –";
    EXPECT_EQ(FullCleanUp(kept), kept);
    EXPECT_EQ(FullCleanUp("Ålesund\x01\x7F"), "Ålesund\x01\x7F");
    EXPECT_EQ(LineCleanUp("a\r\n\tb\x1B"), "a   b\x1B");
}

TEST(ResultViewText, LongTextCutCountsCharacters) {
    // 254 characters stay whole, 255 are cut to 200 and "...".
    EXPECT_EQ(LongTextCut(std::string(254, 'x')), std::string(254, 'x'));
    EXPECT_EQ(LongTextCut(std::string(255, 'x')), std::string(200, 'x') + "...");
    // 200 two-byte letters are 400 bytes but only 200 characters: not cut.
    const std::string greek = Repeat("λ", 200);
    EXPECT_EQ(LongTextCut(greek), greek);
    // 300 three- and four-byte characters: the cut keeps 200 whole characters.
    const std::string cjk = Repeat("日", 150) + Repeat("📁", 150);
    EXPECT_EQ(LongTextCut(cjk), Repeat("日", 150) + Repeat("📁", 50) + "...");
    EXPECT_EQ(Utf8Length(LongTextCut(cjk)), 203u);
    // Stray continuation bytes and a lead byte cut short count one each; the cut keeps
    // exactly 200 of them and never reads past the end.
    const std::string broken = Repeat("\x80", 100) + Repeat("\xE6\x97", 100) + "\xF0";
    EXPECT_EQ(Utf8Length(broken), 301u);
    EXPECT_EQ(LongTextCut(broken), broken.substr(0, 200) + "...");
}

TEST(ResultViewDates, FixedFormOfTheUtcFieldsAndEmptyOutsideTheRange) {
    EXPECT_EQ(FormatItemDate(kNewYear2007), "Mon Jan 01 12:00:00 2007");
    EXPECT_EQ(FormatItemDate(LittleEndian(kNewYear2007)), "Mon Jan 01 12:00:00 2007");
    EXPECT_EQ(FormatIsoDate(kNewYear2007), "2007-01-01T12:00:00Z");
    // Fractions of a second are dropped, not rounded up.
    EXPECT_EQ(FormatIsoDate(kNewYear2007 + 9'999'999), "2007-01-01T12:00:00Z");
    EXPECT_EQ(FormatItemDate(kUnixEpoch), "Thu Jan 01 00:00:00 1970");
    EXPECT_EQ(FormatIsoDate(LittleEndian(kUnixEpoch + 32'535'215'999ULL * 10'000'000)),
              "3000-12-31T23:59:59Z");

    // Days from 1970 to 3000 (leap days and century years among them) as gmtime has them.
    for (int64_t seconds = 0; seconds <= 32'535'215'999; seconds += 2 * 86'400 + 3'601) {
        const auto t = static_cast<std::time_t>(seconds);
        std::tm fields{};
        ASSERT_TRUE(gmtime_r(&t, &fields));
        char expected[32];
        std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", &fields);
        ASSERT_EQ(FormatIsoDate(kUnixEpoch + static_cast<uint64_t>(seconds) * 10'000'000),
                  expected);
    }

    // Before 1970, past the year 3000, or too short to be a FILETIME: no date.
    for (uint64_t t :
         {uint64_t{0}, kUnixEpoch - 1, uint64_t{UINT64_MAX}, uint64_t{0x7FFF'FFFF'FFFF'FFFFULL},
          uint64_t{kUnixEpoch + 32'535'216'000ULL * 10'000'000}}) {
        EXPECT_FALSE(FormatItemDate(t)) << t;
        EXPECT_FALSE(FormatIsoDate(LittleEndian(t))) << t;
    }
    EXPECT_FALSE(FormatItemDate(std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_FALSE(FormatItemDate(std::vector<uint8_t>{}));
}

TEST(ResultViewChoice, OnlyTheFiveWholePathsChooseTheirOwnView) {
    const std::pair<const char*, ResultViewKind> cases[] = {
        {"Contacts\\", ResultViewKind::Contacts}, {"Tasks\\", ResultViewKind::Tasks},
        {"Journal\\", ResultViewKind::Journal},   {"Notes\\", ResultViewKind::StickyNotes},
        {"Calendar\\", ResultViewKind::Calendar}, {"Contacts\\Family\\", ResultViewKind::Mail},
        {"contacts\\", ResultViewKind::Mail},     {"Contacts", ResultViewKind::Mail}};
    for (const auto& [path, kind] : cases) {
        EXPECT_EQ(ChooseResultView(std::string("Personal Folders\\") + path), kind) << path;
    }
}

// A result as the walk leaves it: the top folder, Inbox, two sibling folders named
// "Projects", the five special folders and a subfolder of Contacts.
class ResultViewRows : public ::testing::Test {
  protected:
    void SetUp() override {
        // NIDs 0x80C2, 0x80E2, ... in this order; the first four folders take mail.
        const char* paths[] = {
            "",        "Inbox\\", "Projects\\", "Projects\\", "Contacts\\", "Contacts\\Family\\",
            "Tasks\\", "Notes\\", "Journal\\",  "Calendar\\"};
        for (uint32_t i = 0; i < std::size(paths); ++i)
            AddFolder(std::string("Personal Folders\\") + paths[i], 0x80C2 + 0x20 * i, i < 4);
    }

    void AddFolder(std::string path, uint32_t nid, bool mail) {
        MailFolderEntry entry;
        entry.path = std::move(path);
        entry.folderNid = nid;
        entry.mail = mail;
        result.folders.Append(std::move(entry));
    }

    MessageSummary& AddMail(uint32_t folderNid, std::string subject, std::string from,
                            std::string to) {
        auto& entries = result.folders.entries();
        auto it = std::find_if(entries.begin(), entries.end(),
                               [&](const MailFolderEntry& e) { return e.folderNid == folderNid; });
        MessageSummary m;
        m.nid = 0x200004 + 0x20 * static_cast<uint32_t>(result.folders.MessageCount());
        m.folderNid = folderNid;
        m.hasSubject = true;
        m.SetSubject(subject);
        m.SetFrom(from);
        m.SetTo(to);
        it->messages.push_back(std::move(m));
        return it->messages.back();
    }

    static std::vector<std::string> Column(const ResultView& view, size_t column) {
        std::vector<std::string> cells;
        for (const auto& row : view.rows) cells.push_back(row.cells.at(column));
        return cells;
    }

    AnalysisResult result;
};

TEST_F(ResultViewRows, MailRowsAllGetCleanUpsAndPlaceholders) {
    AddMail(0x80E2, "Quarterly\treport", "Ann\tLee", "Bob\r\nCarol");
    auto& noSubject = AddMail(0x80E2, "", "", "");
    noSubject.hasSubject = false;
    noSubject.SetDeliveryTime(kNewYear2007);
    // The folder's last message is treated like every other.
    auto& last = AddMail(0x80E2, "Café — „quoted“\x1B", "Åsa\tŠkoda", "");
    last.hasSubject = true;
    const ResultView view = FillResultView(result, 0x80E2);
    EXPECT_EQ(view.kind, ResultViewKind::Mail);
    EXPECT_EQ(view.columns().at(2).title, "Received");
    ASSERT_EQ(view.rows.size(), 3u);
    EXPECT_EQ(Column(view, 0), (std::vector<std::string>{"Ann Lee", "None", "Åsa Škoda"}));
    EXPECT_EQ(Column(view, 1),
              (std::vector<std::string>{"Quarterly report", "Unspecified", "Café — „quoted“ "}));
    EXPECT_EQ(Column(view, 2), (std::vector<std::string>{"Bob  Carol", "None", "None"}));
    EXPECT_EQ(Column(view, 3), (std::vector<std::string>{"", "Mon Jan 01 12:00:00 2007", ""}));
    EXPECT_EQ(view.rows[1].icon, 13);
    EXPECT_EQ(view.rows[2].nid, result.folders.entries()[1].messages[2].nid);
}

TEST_F(ResultViewRows, OnlyMessageWithoutSubjectRecordShowsUnspecified) {
    // One message is both first and last: it gets the placeholder too.
    AddMail(0x80E2, "", "Ann", "Bob").hasSubject = false;
    // An empty subject record shows an empty cell.
    AddMail(0x80E2, "", "Ann", "Bob");
    const ResultView view = FillResultView(result, 0x80E2);
    EXPECT_EQ(Column(view, 1), (std::vector<std::string>{"Unspecified", ""}));
}

TEST_F(ResultViewRows, SiblingFoldersOfOneNameShowTheirOwnMessages) {
    AddMail(0x8102, "first projects", "A", "B");
    AddMail(0x8122, "second projects", "A", "B");
    EXPECT_EQ(Column(FillResultView(result, 0x8102), 1),
              (std::vector<std::string>{"first projects"}));
    EXPECT_EQ(Column(FillResultView(result, 0x8122), 1),
              (std::vector<std::string>{"second projects"}));
    // A NID no folder has, and a non-mail subfolder of Contacts: the mail view, empty.
    EXPECT_TRUE(FillResultView(result, 0x9999).rows.empty());
    const ResultView family = FillResultView(result, 0x8162);
    EXPECT_EQ(family.kind, ResultViewKind::Mail);
    EXPECT_TRUE(family.rows.empty());
}

TEST_F(ResultViewRows, ContactsWithoutAnyContactKeepTheList) {
    const ResultView empty = FillResultView(result, 0x8142);
    EXPECT_EQ(empty.kind, ResultViewKind::Contacts);
    EXPECT_TRUE(empty.keepPrevious);
    EXPECT_TRUE(empty.rows.empty());

    ContactEntry filed{{.nid = 0x200024,
                        .folderNid = 0x8142,
                        .folderPath = "Personal Folders\\Contacts\\",
                        .className = {}},
                       {},
                       {}};
    filed.contact.fileUnder = "Lee,\tAnn";
    filed.contact.givenName = "Ann";
    filed.contact.emailAddress = "ann@example.com";
    filed.contact.postalAddress = "1 Main St\r\nSpringfield";
    ContactEntry bare{{.nid = 0x200044,
                       .folderNid = 0x8142,
                       .folderPath = "Personal Folders\\Contacts\\",
                       .className = {}},
                      {},
                      {}};
    bare.contact.givenName = "Bob";
    bare.contact.mobilePhone = "555";
    bare.contact.addressLine = "Elm Rd\n7";
    result.contacts = {filed, bare};
    const ResultView view = FillResultView(result, 0x8142);
    EXPECT_FALSE(view.keepPrevious);
    ASSERT_EQ(view.rows.size(), 2u);
    EXPECT_EQ(view.rows[0].cells, (std::vector<std::string>{"Lee, Ann", "ann@example.com", "",
                                                            "1 Main St  Springfield"}));
    EXPECT_EQ(view.rows[1].cells, (std::vector<std::string>{"Bob", "", "555", "Elm Rd 7"}));
}

TEST_F(ResultViewRows, TasksAndNotesShowLastFirst) {
    for (uint32_t i = 0; i < 3; ++i) {
        TaskEntry task;
        task.nid = 0x300004 + 0x20 * i;
        task.hasSubject = true;
        task.subject = "task " + std::to_string(i);
        task.deliveryTime = kNewYear2007 + uint64_t{i} * 24 * 3600 * 10'000'000;
        result.tasks.push_back(task);
        StickyNoteEntry note;
        note.nid = 0x400004 + 0x20 * i;
        note.subject = "note\t" + std::to_string(i);
        note.extraText = "line\r\n" + std::to_string(i);
        result.notes.push_back(note);
    }
    const ResultView tasks = FillResultView(result, 0x8182);
    EXPECT_EQ(tasks.columns().at(1).title, "Due Date");
    EXPECT_EQ(Column(tasks, 0), (std::vector<std::string>{"task 2", "task 1", "task 0"}));
    EXPECT_EQ(Column(tasks, 1),
              (std::vector<std::string>{"Wed Jan 03 12:00:00 2007", "Tue Jan 02 12:00:00 2007",
                                        "Mon Jan 01 12:00:00 2007"}));
    const ResultView notes = FillResultView(result, 0x81A2);
    EXPECT_EQ(Column(notes, 0), (std::vector<std::string>{"note 2", "note 1", "note 0"}));
    EXPECT_EQ(Column(notes, 1), (std::vector<std::string>{"line  2", "line  1", "line  0"}));
    EXPECT_EQ(notes.rows.front().nid, 0x400044u);
}

TEST_F(ResultViewRows, LongTextCutLeavesTheStoredTextAlone) {
    JournalEntry entry;
    entry.subject = std::string(300, 'j');
    entry.entryType = "Phone call";
    result.journal.push_back(entry);
    StickyNoteEntry note;
    note.extraText = Repeat("ü\n", 150);  // 300 characters with line feeds
    result.notes.push_back(note);
    for (int selection = 0; selection < 2; ++selection) {
        const ResultView journal = FillResultView(result, 0x81C2);
        EXPECT_EQ(Column(journal, 0), (std::vector<std::string>{std::string(200, 'j') + "..."}));
        EXPECT_EQ(Column(journal, 1), (std::vector<std::string>{"Phone call"}));
        EXPECT_EQ(Column(FillResultView(result, 0x81A2), 1),
                  (std::vector<std::string>{Repeat("ü ", 100) + "..."}));
    }
    EXPECT_EQ(result.journal[0].subject.size(), 300u);
    EXPECT_EQ(Utf8Length(result.notes[0].extraText), 300u);
}

TEST_F(ResultViewRows, CalendarRowsAndGridLines) {
    EXPECT_FALSE(FillResultView(result, 0x81E2).gridLines);
    CalendarEntry meeting;
    meeting.nid = 0x500004;
    meeting.hasMessage = meeting.hasSubject = true;
    meeting.subject = "Review";
    meeting.location = "Room 1";
    meeting.deliveryTime = kUnixEpoch - 1;  // before 1970: empty date
    result.calendar.push_back(meeting);
    const ResultView view = FillResultView(result, 0x81E2);
    EXPECT_TRUE(view.gridLines);
    ASSERT_EQ(view.rows.size(), 1u);
    EXPECT_EQ(view.rows[0].cells, (std::vector<std::string>{"Review", "Room 1", ""}));
}

TEST_F(ResultViewRows, AFolderOutsideTheFixedPathsShowsTheItemsFiledInIt) {
    // The Family subfolder of Contacts holds one contact; the Contacts folder another.
    ContactEntry family;
    family.nid = 0x200064;
    family.dataBid = 0x1F4;
    family.folderNid = 0x8162;
    family.contact.givenName = "Sis";
    ContactEntry main;
    main.nid = 0x200084;
    main.dataBid = 0x1F8;
    main.folderNid = 0x8142;
    main.contact.givenName = "Ann";
    result.contacts = {family, main};
    const ResultView own = FillResultView(result, 0x8162);
    EXPECT_EQ(own.kind, ResultViewKind::Contacts);
    ASSERT_EQ(own.rows.size(), 1u);
    EXPECT_EQ(own.rows[0].cells.at(0), "Sis");
    // Each row names its node by NID and data block, as the preview opens it.
    EXPECT_EQ(own.rows[0].nid, 0x200064u);
    EXPECT_EQ(own.rows[0].dataBid, 0x1F4u);
    // The fixed Contacts folder still lists every contact.
    EXPECT_EQ(FillResultView(result, 0x8142).rows.size(), 2u);
}

TEST_F(ResultViewRows, CancelStopsBeforeTheNextRow) {
    for (int i = 0; i < 5; ++i) AddMail(0x80E2, "m", "a", "b");
    std::atomic<bool> cancel{true};
    const ResultView cancelled = FillResultView(result, 0x80E2, &cancel);
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_TRUE(cancelled.rows.empty());
    cancel = false;
    const ResultView full = FillResultView(result, 0x80E2, &cancel);
    EXPECT_FALSE(full.cancelled);
    EXPECT_EQ(full.rows.size(), 5u);
}

}  // namespace
}  // namespace kestrel
