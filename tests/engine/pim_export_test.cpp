#include "engine/pim_export.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/export_run.h"
#include "engine_fixture.h"
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

// The .ics of the given items.
std::string Calendar(std::initializer_list<const FullItem*> items,
                     std::vector<std::string>& problems) {
    CalendarFile file;
    for (const FullItem* item : items) file.Add(*item, problems);
    return file.Document();
}

TEST(PimExport, RecurringSeriesWithAChangedAndADeletedInstance) {
    const FullItem full = Series();
    std::vector<std::string> problems;
    const std::string components = Calendar({&full}, problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(components, Calendar({&full}, problems));  // the same every time
    EXPECT_NE(components.find("SUMMARY:Weekly\\, review\r\n"), std::string::npos);
    EXPECT_NE(components.find("DESCRIPTION:Agenda:\\n1. numbers\r\n"), std::string::npos);
    EXPECT_NE(components.find("DTSTAMP:20160801T090000Z\r\n"), std::string::npos);

    // No zone is stored: the series keeps the offset of its first instance, as a zone of
    // its own, so that its Tuesdays stay Tuesdays.
    EXPECT_NE(components.find("BEGIN:VTIMEZONE\r\nTZID:UTC-0700\r\n"), std::string::npos);
    EXPECT_NE(components.find("DTSTART;TZID=UTC-0700:20160802T080000\r\n"), std::string::npos);
    const std::string parsed = Parsed("series.ics", components);
    EXPECT_EQ(parsed,
              "VEVENT 040000008200E000 start 2016-08-02T08:00:00-07:00 RRULE "
              "FREQ=WEEKLY;COUNT=10;INTERVAL=1;BYDAY=TU;WKST=SU EXDATE 2016-08-09T08:00:00-07:00 "
              "summary Weekly, review instances 2016-08-02T08:00:00-07:00 "
              "2016-08-16T08:00:00-07:00 2016-08-23T08:00:00-07:00 2016-08-30T08:00:00-07:00 "
              "2016-09-06T08:00:00-07:00 2016-09-13T08:00:00-07:00 2016-09-20T08:00:00-07:00 "
              "2016-09-27T08:00:00-07:00 2016-10-04T08:00:00-07:00\n"
              "VEVENT 040000008200E000 start 2016-08-23T09:00:00-07:00 recurrence-id "
              "2016-08-23T08:00:00-07:00 summary Moved\n")
        << components;
    EXPECT_NE(components.find("LOCATION:Room 2\r\nDESCRIPTION:Bring the slides\r\n"),
              std::string::npos);

    // A pattern cut short: the first instance alone, and one line saying so (the
    // subject's line break does not start another).
    FullItem broken = Series(true);
    broken.item->message->subject->text = "Weekly,\r\nreview";
    const std::string single = Calendar({&broken}, problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("\"Weekly,  review\" (item 2097188)"), std::string::npos);
    EXPECT_EQ(single.find("RRULE"), std::string::npos);
    EXPECT_NE(single.find("DTSTART:20160802T150000Z"), std::string::npos);
}

// A calendar folder of a built mailbox, exported: an all-day event with its zone and one
// without, a weekly series in a zone with daylight time whose Monday 00:30 is Sunday in UTC,
// with a changed and a deleted instance, and a meeting with attendees kept twice.
TEST(PimExport, CalendarOfABuiltMailbox) {
    using namespace test;
    const Guid meeting = MakeGuid(0x6ED8DA90, 0x450B, 0x101B,
                                  {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05});
    MailboxBuilder box(PstVariant::Unicode);
    const uint32_t calendar = box.Folder("Calendar");
    // 1 to 2 May at UTC+10, and 3 May at UTC-5 with no zone stored.
    Message holiday = MakeAppointment(
        {.subject = "Holiday", .start = Ticks(2024, 4, 30, 14), .end = Ticks(2024, 5, 2, 14)});
    holiday.named.push_back(Named(kPsetidAppointment, 0x8215, Prop::Bool(0, true)));
    holiday.named.push_back(Named(kPsetidAppointment, 0x825E,
                                  Prop::Binary(0, ZoneDefinition("E. Australia Standard Time",
                                                                 -600, 0, {}, {}))));
    box.AddMessage(calendar, holiday);
    Message dayOff = MakeAppointment(
        {.subject = "Day off", .start = Ticks(2024, 5, 3, 5), .end = Ticks(2024, 5, 4, 5)});
    dayOff.named.push_back(Named(kPsetidAppointment, 0x8215, Prop::Bool(0, true)));
    box.AddMessage(calendar, dayOff);

    // Mondays 00:30 at UTC+1 (+2 in summer) from 7 October, six times: daylight time ends
    // on 27 October.
    const Change toStandard{10, 0, 5, 3}, toDaylight{3, 0, 5, 2};
    PatternSpec spec;
    spec.specific = {0x02};
    spec.occurrences = 6;
    spec.startDate = PatternMinutes(2024, 10, 7);
    spec.endDate = PatternMinutes(2024, 11, 11);
    spec.startOffset = 30;
    spec.endOffset = 60;
    const uint32_t moved = PatternMinutes(2024, 10, 21);
    spec.deleted = {PatternMinutes(2024, 10, 14), moved};
    spec.modified = {moved};
    spec.exceptions.push_back({moved + 120, moved + 150, moved + 30, "Moved", "", false});
    Message weekly = MakeAppointment(
        {.subject = "Weekly", .start = Ticks(2024, 10, 6, 22, 30), .end = Ticks(2024, 10, 6, 23)});
    weekly.named.push_back(Named(kPsetidAppointment, 0x8216, Prop::Binary(0, BuildPattern(spec))));
    weekly.named.push_back(Named(kPsetidAppointment, 0x8223, Prop::Bool(0, true)));
    weekly.named.push_back(Named(kPsetidAppointment, 0x8233,
                                 Prop::Binary(0, ZoneStruct(-60, -60, toStandard, toDaylight))));
    weekly.named.push_back(
        Named(kPsetidAppointment, 0x8260,
              Prop::Binary(0, ZoneDefinition("Mid-Europe Time", -60, -60, toStandard, toDaylight))));
    box.AddMessage(calendar, weekly);

    Message plan = MakeAppointment(
        {.subject = "Plan", .start = Ticks(2024, 6, 3, 9), .end = Ticks(2024, 6, 3, 10)});
    plan.senderName = "Ann Lee";
    plan.senderEmail = "ann@example.com";
    plan.recipients = {{"Bob, Jr.", "bob@example.com", 1},
                       {"Cy", "cy@example.com", 2},
                       {"Room 1", "room1@example.com", 3}};
    plan.named.push_back(Named(meeting, 0x0003, Prop::Binary(0, {0x04, 0x00, 0x00, 0x82, 0x01})));
    const uint32_t copyNid = box.NextMessageNid() + 32;
    box.AddMessage(calendar, plan);
    ASSERT_EQ(box.NextMessageNid(), copyNid);
    box.AddMessage(calendar, plan);

    ScratchFile file(box.Build());
    Analysed analysed;
    AnalyseFile(file.path(), analysed);
    ASSERT_TRUE(analysed.source);
    ExportOptions options;
    options.destination = (file.path().parent_path() / "out").string();
    RunControl control;
    const ExportSummary summary = RunExport(analysed.result, *analysed.source, options, control);
    ASSERT_EQ(summary.outcome, ExportOutcome::Completed) << summary.failure;
    std::string ics;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(options.destination)) {
        if (entry.path().extension() == ".ics") {
            std::ifstream in(entry.path(), std::ios::binary);
            ics.assign(std::istreambuf_iterator<char>(in), {});
        }
    }
    EXPECT_NE(ics.find("DTSTART;VALUE=DATE:20240501\r\nDTEND;VALUE=DATE:20240503\r\n"),
              std::string::npos)
        << ics;
    EXPECT_NE(ics.find("BEGIN:DAYLIGHT\r\nDTSTART:16010325T020000\r\n"
                       "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nTZOFFSETFROM:+0100\r\n"
                       "TZOFFSETTO:+0200\r\n"),
              std::string::npos);

    const std::string parsed = Parsed("calendar.ics", ics);
    const std::string expected[] = {
        "VEVENT NID-", " start 2024-05-01 end 2024-05-03 summary Holiday\n",
        " start 2024-05-03 end 2024-05-04 summary Day off\n",
        " start 2024-10-07T00:30:00+02:00 RRULE FREQ=WEEKLY;COUNT=6;INTERVAL=1;BYDAY=MO;WKST=SU "
        "EXDATE 2024-10-14T00:30:00+02:00 summary Weekly instances 2024-10-07T00:30:00+02:00 "
        "2024-10-21T00:30:00+02:00 2024-10-28T00:30:00+01:00 2024-11-04T00:30:00+01:00 "
        "2024-11-11T00:30:00+01:00\n",
        " start 2024-10-21T02:00:00+02:00 recurrence-id 2024-10-21T00:30:00+02:00 summary Moved\n",
        "VEVENT 0400008201 start 2024-06-03T09:00:00+00:00 summary Plan organizer "
        "Ann Lee//mailto:ann@example.com attendee Bob, Jr./REQ-PARTICIPANT/mailto:bob@example.com "
        "attendee Cy/OPT-PARTICIPANT/mailto:cy@example.com attendee "
        "Room 1/NON-PARTICIPANT/mailto:room1@example.com\n",
        fmt::format("VEVENT 0400008201-{:08X} start 2024-06-03T09:00:00+00:00 summary Plan", copyNid),
    };
    size_t at = 0;
    for (const std::string& part : expected) {
        const size_t found = parsed.find(part, at);
        EXPECT_NE(found, std::string::npos) << part << "\n" << parsed;
        if (found != std::string::npos) at = found + part.size();
    }
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
    const std::string todo = Calendar({&task}, problems);
    EXPECT_NE(todo.find("BEGIN:VTODO\r\nUID:NID-00200024-1F4@kestrel\r\n"), std::string::npos);
    EXPECT_NE(todo.find("DUE:20240415T000000Z\r\n"), std::string::npos);
    EXPECT_NE(todo.find("STATUS:IN-PROCESS\r\nPERCENT-COMPLETE:25\r\n"), std::string::npos);
    EXPECT_EQ(Parsed("task.ics", todo).rfind("VTODO", 0), 0u);

    EXPECT_EQ(NoteTextOf(Item("IPM.StickyNote", "Call Ann", "Call Ann\r\nabout the keys")),
              "Call Ann\r\nabout the keys");
    EXPECT_EQ(NoteTextOf(Item("IPM.Activity", "Phone call", "Talked.")),
              "Phone call\r\n\r\nTalked.");
}

}  // namespace
}  // namespace kestrel
