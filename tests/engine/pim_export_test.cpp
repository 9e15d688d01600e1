#include "engine/pim_export.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/recurrence_builder.h"

namespace kestrel {
namespace {

TEST(PimExport, FoldsAndEscapesLines) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::string a74(74, 'a');
    const std::string a75(75, 'a');
    const Case folds[] = {
        {"", "\r\n"},
        {a75, a75 + "\r\n"},
        {a75 + "b", a75 + "\r\n b\r\n"},
        {a75 + a74 + "c", a75 + "\r\n " + a74 + "\r\n c\r\n"},
        // "é" would straddle octets 75 and 76: it moves whole to the next line.
        {a74 + "\xC3\xA9", a74 + "\r\n \xC3\xA9\r\n"},
        {std::string(73, 'a') + "\xE2\x82\xAC", std::string(73, 'a') + "\r\n \xE2\x82\xAC\r\n"},
    };
    for (const Case& c : folds) EXPECT_EQ(FoldLine(c.in), c.out) << c.in;
    // Every physical line of a long text stays within 75 octets and starts on a character.
    std::string text;
    for (int i = 0; i < 300; ++i) text += "\xE6\x97\xA5";
    const std::string folded = FoldLine(text);
    size_t start = 0;
    for (size_t end; (end = folded.find("\r\n", start)) != std::string::npos; start = end + 2) {
        EXPECT_LE(end - start, 75u);
        if (end > start) {
            EXPECT_NE(static_cast<unsigned char>(folded[start + (start ? 1 : 0)]) & 0xC0, 0x80);
        }
    }

    const Case escapes[] = {
        {"a,b;c\\d", "a\\,b\\;c\\\\d"},
        {"one\r\ntwo\nthree\rfour", "one\\ntwo\\nthree\\nfour"},
        {"bell\x07 tab\t", "bell tab\t"},
    };
    for (const Case& c : escapes) EXPECT_EQ(EscapeText(c.in), c.out) << c.in;
}

FullItem Item(std::string className, std::string subject, std::string body = {}) {
    FullItem full;
    full.nid = 0x200024;
    full.dataBid = 0x1F4;
    full.item = std::make_unique<ItemRecord>();
    full.item->className = std::move(className);
    full.item->message = std::make_unique<MessageRecord>();
    full.item->message->subject = std::make_unique<SubjectRecord>();
    full.item->message->subject->text = std::move(subject);
    full.item->message->body = std::move(body);
    return full;
}

// The weekly series of 10 Tuesdays at 08:00 in a zone 7 hours behind UTC, one instance
// deleted, one moved an hour later with its own subject, location and body.
FullItem Series(bool brokenPattern = false) {
    FullItem full = Item("IPM.Appointment", "Weekly, review", "Agenda:\r\n1. numbers");
    full.item->calendar = std::make_unique<CalendarRecord>();
    full.item->calendar->location = "Room 1";
    auto& c = *(full.item->appointment = std::make_unique<AppointmentRecord>());
    c.startTime = test::FileTimeBytes(2016, 8, 2, 15, 0);
    c.endTime = test::FileTimeBytes(2016, 8, 2, 15, 30);
    c.globalObjectId = {0x04, 0x00, 0x00, 0x00, 0x82, 0x00, 0xE0, 0x00};
    full.item->message->lastModificationTime = test::FileTimeBytes(2016, 8, 1, 9, 0);
    c.recurring = true;
    c.recurrencePattern = test::BuildPattern(test::WeeklyWithChanges());
    if (brokenPattern) c.recurrencePattern.resize(20);

    // The moved instance's own message, as Outlook attaches it.
    auto own = std::make_unique<FullItem>(
        Item("IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}", "Moved", "Bring the slides"));
    auto& oc = *(own->item->appointment = std::make_unique<AppointmentRecord>());
    oc.startTime = test::FileTimeBytes(2016, 8, 23, 16, 0);
    oc.endTime = test::FileTimeBytes(2016, 8, 23, 16, 30);
    oc.exceptionReplaceTime = test::FileTimeBytes(2016, 8, 23, 15, 0);
    full.embedded.push_back({0, std::move(own)});
    return full;
}

// What tools/export_check.py --dump makes of a file: one line per card or component.
std::string Parsed(const std::string& name, const std::string& text) {
    if (!std::filesystem::exists("/usr/bin/python3")) return "no python";
    const auto dir =
        std::filesystem::temp_directory_path() / ("kestrel-pim-unit-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary) << text;
    const auto report = dir / "report.txt";
    const std::string command = "/usr/bin/python3 " KESTREL_SOURCE_DIR
                                "/tools/export_check.py --dump " +
                                (dir / name).string() + " > " + report.string() + " 2>&1";
    const int rc = std::system(command.c_str());
    std::ifstream in(report);
    std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove_all(dir);
    return rc == 0 ? out : "FAILED " + out;
}

TEST(PimExport, RecurringSeriesWithAChangedAndADeletedInstance) {
    const FullItem full = Series();
    std::vector<std::string> problems;
    const std::string components = CalendarComponentsOf(full, problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(components, CalendarComponentsOf(full, problems));  // the same every time
    EXPECT_NE(components.find("SUMMARY:Weekly\\, review\r\n"), std::string::npos);
    EXPECT_NE(components.find("DESCRIPTION:Agenda:\\n1. numbers\r\n"), std::string::npos);
    EXPECT_NE(components.find("DTSTAMP:20160801T090000Z\r\n"), std::string::npos);

    const std::string parsed = Parsed("series.ics", CalendarDocument(components));
    EXPECT_EQ(parsed,
              "VEVENT 040000008200E000 start 2016-08-02T15:00:00+00:00 RRULE "
              "FREQ=WEEKLY;COUNT=10;INTERVAL=1;BYDAY=TU;WKST=SU EXDATE 2016-08-09T15:00:00+00:00 "
              "summary Weekly, review\n"
              "VEVENT 040000008200E000 start 2016-08-23T16:00:00+00:00 recurrence-id "
              "2016-08-23T15:00:00+00:00 summary Moved\n");
    EXPECT_NE(components.find("LOCATION:Room 2\r\nDESCRIPTION:Bring the slides\r\n"),
              std::string::npos);

    // A pattern cut short: the first instance alone, and one line saying so (the
    // subject's line break does not start another).
    FullItem broken = Series(true);
    broken.item->message->subject->text = "Weekly,\r\nreview";
    const std::string single = CalendarComponentsOf(broken, problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("\"Weekly,  review\" (item 2097188)"), std::string::npos);
    EXPECT_EQ(single.find("RRULE"), std::string::npos);
    EXPECT_NE(single.find("DTSTART:20160802T150000Z"), std::string::npos);
}

TEST(PimExport, ContactsAndListsAsVCards) {
    FullItem contact = Item("IPM.Contact", "");
    contact.item->displayName =
        "Zo\xC3\xAB van der Berg-Smith, PhD; Senior Architect of Things "
        "\xE6\x97\xA5\xE6\x9C\xAC";
    auto& c = *(contact.item->contact = std::make_unique<ContactRecord>());
    c.surname = "van der Berg-Smith";
    c.givenName = "Zo\xC3\xAB";
    contact.item->card = std::make_unique<ContactCardRecord>();
    contact.item->card->email1Address = "zoe@example.com";
    c.emailAddress = "zoe@example.com";
    c.mobilePhone = "+31 6 1234 5678";
    c.businessStreet = "Main St 1\r\nFloor 2";
    c.businessCity = "Utrecht";
    c.companyName = "Acme";
    c.birthday = test::FileTimeBytes(1980, 5, 9, 22, 0);  // midnight of 10 May at UTC+2
    const std::string card = VCardOf(contact);
    EXPECT_EQ(card.rfind("BEGIN:VCARD\r\nVERSION:4.0\r\n", 0), 0u);
    EXPECT_NE(card.find("N:van der Berg-Smith;Zo\xC3\xAB;;;\r\n"), std::string::npos);
    EXPECT_NE(card.find("TEL;TYPE=cell:+31 6 1234 5678\r\n"), std::string::npos);
    EXPECT_NE(card.find("ADR;TYPE=work:;;Main St 1\\nFloor 2;Utrecht;;;\r\n"), std::string::npos);
    EXPECT_NE(card.find("BDAY:19800510\r\n"), std::string::npos);
    EXPECT_EQ(card.find("EMAIL:zoe@example.com\r\nEMAIL"), std::string::npos);  // once

    // The mailing address alone is kept; beside a structured address it is not repeated.
    c.postalAddress = "Main St 1\r\nUtrecht";
    EXPECT_EQ(VCardOf(contact).find("ADR:"), std::string::npos);
    c.businessStreet = c.businessCity = "";
    EXPECT_NE(VCardOf(contact).find("ADR:;;Main St 1\\nUtrecht;;;;\r\n"), std::string::npos);

    FullItem list = Item("IPM.DistList", "Team");
    list.item->displayName = "Team";
    auto& l = *(list.item->card = std::make_unique<ContactCardRecord>());
    l.members.push_back({true, {1, 2, 3}, "Ann", "SMTP", "ann@example.com"});
    l.members.push_back({false, {}, "Bob", "SMTP", "bob@example.com"});
    l.members.push_back({true, {4, 5, 6}, "Room", "EX", "/o=Org/cn=Room"});
    const std::string group = VCardOf(list);
    EXPECT_NE(group.find("KIND:group\r\n"), std::string::npos);
    EXPECT_EQ(group, VCardOf(list));

    const std::string parsed = Parsed("cards.vcf", card + group);
    EXPECT_EQ(parsed.find("card Zo\xC3\xAB van der Berg-Smith, PhD; Senior Architect of Things "
                          "\xE6\x97\xA5\xE6\x9C\xAC <zoe@example.com>\n"),
              0u)
        << parsed;
    EXPECT_NE(parsed.find("group Team members mailto:ann@example.com mailto:bob@example.com "
                          "urn:uuid:"),
              std::string::npos)
        << parsed;
}

TEST(PimExport, TasksAndNotes) {
    FullItem task = Item("IPM.Task", "File taxes");
    auto& t = *(task.item->task = std::make_unique<TaskRecord>());
    t.startDate = test::FileTimeBytes(2024, 4, 1);
    t.dueDate = test::FileTimeBytes(2024, 4, 15);
    t.status = 1;
    t.percentComplete = 0.25;
    std::vector<std::string> problems;
    const std::string todo = CalendarComponentsOf(task, problems);
    EXPECT_NE(todo.find("BEGIN:VTODO\r\nUID:NID-00200024-1F4@kestrel\r\n"), std::string::npos);
    EXPECT_NE(todo.find("DUE:20240415T000000Z\r\n"), std::string::npos);
    EXPECT_NE(todo.find("STATUS:IN-PROCESS\r\nPERCENT-COMPLETE:25\r\n"), std::string::npos);
    EXPECT_EQ(Parsed("task.ics", CalendarDocument(todo)).rfind("VTODO", 0), 0u);

    EXPECT_EQ(NoteTextOf(Item("IPM.StickyNote", "Call Ann", "Call Ann\r\nabout the keys")),
              "Call Ann\r\nabout the keys");
    EXPECT_EQ(NoteTextOf(Item("IPM.Activity", "Phone call", "Talked.")),
              "Phone call\r\n\r\nTalked.");
}

}  // namespace
}  // namespace kestrel
