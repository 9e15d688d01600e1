// kestrel-make-sample FILE: writes a small, realistic Unicode mailbox (mail in a few
// folders, HTML and RTF bodies, attachments, text in several scripts, contacts,
// appointments, tasks, notes and journal entries) for trying the program out.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "support/mailbox_builder.h"

using namespace kestrel;
using namespace kestrel::test;

namespace {

std::vector<uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

Message Mail(std::string subject, std::string from, std::string email, std::string body,
             uint64_t when, std::vector<Recipient> to = {{"Pat Morgan", "pat@example.com"}}) {
    Message m = MakeMail(std::move(subject), std::move(from), std::move(email), std::move(body));
    m.recipients = std::move(to);
    m.submitTime = when - 600000000ULL;  // sent a minute before it arrived
    m.deliveryTime = when;
    return m;
}

// Items made in Outlook itself carry their creation time as the delivery time.
Message Created(Message m, uint64_t when) {
    m.deliveryTime = when;
    return m;
}

std::string Html(std::string_view title, std::string_view paragraphs) {
    return "<html><head><meta charset=\"utf-8\"><title>" + std::string(title) +
           "</title></head><body>" + std::string(paragraphs) + "</body></html>";
}

// The smallest PNG: one transparent pixel.
const std::vector<uint8_t> kPixelPng = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9C, 0x63, 0x60, 0x00, 0x02, 0x00, 0x00, 0x05, 0x00, 0x01, 0xE9, 0xFA, 0xDC, 0xD8,
    0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

void AddMail(MailboxBuilder& box) {
    const uint32_t inbox = box.Folder("Inbox");
    const uint32_t sent = box.Folder("Sent Items");
    const uint32_t projects = box.AddFolder(inbox, "Projects");
    const uint32_t archive = box.AddFolder(box.TopOfPersonalFolders(), "Archive 2006");

    box.AddMessage(inbox, Mail("Welcome to your new mailbox", "Help Desk", "helpdesk@example.com",
                               "Hello Pat,\r\n\r\nyour mailbox is ready. Folders for mail, "
                               "contacts, calendar and tasks are set up.\r\n\r\nThe Help Desk",
                               FileTime(2007, 1, 2, 8, 15)));

    Message report =
        Mail("Quarterly report", "Ann Lee", "ann.lee@example.com",
             "Please find the figures for the last quarter attached.", FileTime(2007, 1, 8, 9, 30),
             {{"Pat Morgan", "pat@example.com"}, {"Sam Ortiz", "sam@example.com", 2}});
    report.htmlBody = Html("Quarterly report",
                           "<p>Please find the figures for the <b>last quarter</b> attached.</p>"
                           "<table border=\"1\"><tr><td>Revenue</td><td>+4%</td></tr></table>");
    report.attachments = {{"REPORT.CSV",
                           "report.csv",
                           Bytes("quarter,revenue,cost\r\nQ1,120,80\r\nQ2,130,85\r\nQ3,125,90\r\n"
                                 "Q4,140,88\r\n"),
                           "text/csv",
                           {}}};
    box.AddMessage(inbox, report);

    Message lunch = Mail("Lunch on Friday?", "Sam Ortiz", "sam@example.com",
                         "Sure, 12:30 at the usual place.\r\n\r\n> Lunch on Friday?",
                         FileTime(2007, 1, 10, 11, 5));
    lunch.subjectPrefix = "RE: ";
    box.AddMessage(inbox, lunch);

    box.AddMessage(inbox, Mail("Réunion de lundi à 10 h", "Élodie Fournier", "elodie@example.fr",
                               "Bonjour Pat,\r\n\r\nla réunion de lundi est déplacée à 10 h, "
                               "salle « Océan ».\r\n\r\nCordialement,\r\nÉlodie",
                               FileTime(2007, 1, 12, 16, 40)));

    Message gruss =
        Mail("Grüße aus München", "Jürgen Weiß", "juergen@example.de",
             "Servus Pat, schöne Grüße aus München! Jürgen", FileTime(2007, 1, 15, 7, 55));
    gruss.htmlBody = Html("Grüße",
                          "<p>Servus Pat,</p><p>schöne Grüße aus <i>München</i>!</p>"
                          "<p>Jürgen</p><img src=\"cid:pixel\">");
    gruss.attachments = {{"PIXEL.PNG", "pixel.png", kPixelPng, "image/png", {}}};
    box.AddMessage(inbox, gruss);

    box.AddMessage(inbox, Mail("Встреча в понедельник", "Ольга Смирнова", "olga@example.ru",
                               "Здравствуйте, Пэт!\r\n\r\nВстреча в понедельник в 11:00.\r\n\r\n"
                               "С уважением,\r\nОльга",
                               FileTime(2007, 1, 19, 10, 0)));

    Message agenda = Mail("会議の議題", "山田 太郎", "yamada@example.jp",
                          "パットさん、\r\n\r\n来週の会議の議題を添付します。\r\n\r\n山田",
                          FileTime(2007, 1, 22, 2, 30));
    agenda.attachments = {
        {"AGENDA.TXT", "議題.txt", Bytes("1. 予算\r\n2. 日程\r\n3. その他\r\n"), "text/plain", {}}};
    box.AddMessage(inbox, agenda);

    Message kickoff =
        Mail("Project Falcon kickoff", "Ann Lee", "ann.lee@example.com",
             "Kickoff is on Monday. The plan is attached.", FileTime(2007, 2, 1, 14, 0),
             {{"Pat Morgan", "pat@example.com"}, {"Sam Ortiz", "sam@example.com"}});
    kickoff.rtfCompressed = CompressRtf(
        "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}}\\f0\\fs20 "
        "Kickoff is on {\\b Monday}.\\par The plan is attached.\\par }");
    kickoff.attachments = {{"FALCON~1.TXT",
                            "falcon-plan.txt",
                            Bytes("Phase 1: research\r\nPhase 2: build\r\nPhase 3: ship\r\n"),
                            "text/plain",
                            {}}};
    box.AddMessage(projects, kickoff);

    Message milestones =
        Mail("Falcon milestones", "Sam Ortiz", "sam@example.com",
             "Milestones: design review Feb 15, beta Mar 30.", FileTime(2007, 2, 5, 9, 12));
    milestones.htmlBody = Html("Milestones",
                               "<ul><li>Design review: Feb 15</li>"
                               "<li>Beta: Mar 30</li></ul>");
    milestones.rtfCompressed =
        CompressRtf("{\\rtf1\\ansi Milestones: design review Feb 15, beta Mar 30.\\par }");
    box.AddMessage(projects, milestones);

    Message itinerary = Mail("Travel itinerary", "Pat Morgan", "pat@example.com",
                             "Forwarding the itinerary for the Berlin trip.",
                             FileTime(2007, 2, 7, 18, 20), {{"Ann Lee", "ann.lee@example.com"}});
    itinerary.subjectPrefix = "FW: ";
    itinerary.attachments = {{"ITINER~1.PDF",
                              "itinerary.pdf",
                              Bytes("%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\n"
                                    "trailer << /Root 1 0 R >>\n%%EOF\n"),
                              "application/pdf",
                              {}}};
    box.AddMessage(sent, itinerary);

    box.AddMessage(sent,
                   Mail("Thanks!", "Pat Morgan", "pat@example.com", "Thanks for the report, Ann.",
                        FileTime(2007, 1, 8, 10, 2), {{"Ann Lee", "ann.lee@example.com"}}));

    box.AddMessage(box.Folder("Deleted Items"),
                   Mail("Special offer just for you", "Deals", "deals@example.net",
                        "Buy one, get one free. This week only.", FileTime(2007, 1, 9, 3, 33)));

    Message draft = MakeMail("Budget notes", "Pat Morgan", "pat@example.com",
                             "Travel: 1200\r\nEquipment: 800\r\n");
    draft.flags = 0x08;  // unsent
    box.AddMessage(box.Folder("Drafts"), draft);

    // A long newsletter: its bodies outgrow the heap and one data block.
    std::string text, html;
    for (int i = 1; i <= 120; ++i) {
        const std::string line =
            "Item " + std::to_string(i) + ": news from the team, with a few more words to read.";
        text += line + "\r\n";
        html += "<p>" + line + "</p>";
    }
    Message newsletter = Mail("Newsletter, December 2006", "Newsletter", "news@example.com", text,
                              FileTime(2006, 12, 28, 6, 0));
    newsletter.htmlBody = Html("Newsletter", html);
    box.AddMessage(archive, newsletter);
}

void AddOtherItems(MailboxBuilder& box) {
    const uint32_t contacts = box.Folder("Contacts");
    box.AddMessage(contacts,
                   Created(MakeContact({.displayName = "Ann Lee",
                                        .givenName = "Ann",
                                        .surname = "Lee",
                                        .company = "Example Ltd",
                                        .email = "ann.lee@example.com",
                                        .mobile = "+44 7700 900123",
                                        .businessPhone = "+44 20 7946 0123",
                                        .postalAddress = "1 High Street\r\nLondon N1 9GU"}),
                           FileTime(2006, 11, 3, 10, 0)));
    box.AddMessage(contacts, Created(MakeContact({.displayName = "Sam Ortiz",
                                                  .givenName = "Sam",
                                                  .surname = "Ortiz",
                                                  .email = "sam@example.com",
                                                  .mobile = "+1 555 0142"}),
                                     FileTime(2006, 11, 20, 14, 30)));
    box.AddMessage(contacts,
                   Created(MakeContact({.displayName = "Jürgen Weiß",
                                        .givenName = "Jürgen",
                                        .surname = "Weiß",
                                        .company = "Beispiel GmbH",
                                        .email = "juergen@example.de",
                                        .homePhone = "+49 89 123456",
                                        .postalAddress = "Marienplatz 1\r\n80331 München"}),
                           FileTime(2007, 1, 15, 8, 0)));

    const uint32_t calendar = box.Folder("Calendar");
    box.AddMessage(calendar, Created(MakeAppointment({.subject = "Falcon kickoff",
                                                      .location = "Room 4.01",
                                                      .body = "Agenda: goals, team, dates.",
                                                      .start = FileTime(2007, 2, 5, 9, 0),
                                                      .end = FileTime(2007, 2, 5, 10, 30)}),
                                     FileTime(2007, 2, 1, 14, 5)));
    box.AddMessage(calendar, Created(MakeAppointment({.subject = "Dentist",
                                                      .location = "Dr. Brown, Elm Street",
                                                      .start = FileTime(2007, 2, 9, 15, 0),
                                                      .end = FileTime(2007, 2, 9, 15, 45)}),
                                     FileTime(2007, 1, 25, 9, 0)));
    box.AddMessage(calendar, Created(MakeAppointment({.subject = "Réunion d'équipe",
                                                      .location = "Salle Océan",
                                                      .start = FileTime(2007, 2, 12, 10, 0),
                                                      .end = FileTime(2007, 2, 12, 11, 0)}),
                                     FileTime(2007, 1, 12, 17, 0)));

    const uint32_t tasks = box.Folder("Tasks");
    box.AddMessage(tasks, Created(MakeTask({.subject = "Send the quarterly figures",
                                            .due = FileTime(2007, 1, 31),
                                            .status = 2}),
                                  FileTime(2007, 1, 3, 9, 0)));
    box.AddMessage(tasks, Created(MakeTask({.subject = "Book flights to Berlin",
                                            .body = "Morning flight, aisle seat.",
                                            .due = FileTime(2007, 2, 20),
                                            .status = 1}),
                                  FileTime(2007, 2, 7, 18, 30)));

    const uint32_t notes = box.Folder("Notes");
    box.AddMessage(notes, Created(MakeStickyNote("Call the garage\nabout the winter tyres"),
                                  FileTime(2006, 12, 1, 8, 0)));
    box.AddMessage(notes,
                   Created(MakeStickyNote("Wi-Fi code: falcon-2007"), FileTime(2007, 2, 1, 9, 0)));

    const uint32_t journal = box.Folder("Journal");
    box.AddMessage(journal, MakeJournal({.subject = "Call with Ann about the report",
                                         .body = "Agreed on the figures.",
                                         .start = FileTime(2007, 1, 8, 11, 0),
                                         .minutes = 20}));
    box.AddMessage(journal, MakeJournal({.subject = "Falcon planning notes",
                                         .type = "Note",
                                         .start = FileTime(2007, 2, 2, 16, 0),
                                         .minutes = 45}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrel-make-sample FILE\n");
        return 2;
    }
    try {
        MailboxBuilder box(PstVariant::Unicode);
        AddMail(box);
        AddOtherItems(box);
        box.WriteTo(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrel-make-sample: %s\n", e.what());
        return 1;
    }
    return 0;
}
