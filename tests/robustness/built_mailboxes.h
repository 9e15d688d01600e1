#pragma once
// Mailboxes made by the builder for the damage suite and the fuzzing seeds: deep B-trees
// (few entries per page), data trees for a long body and large attachments, nested
// subfolders, subnode lists split over several blocks, and the other item kinds.
#include <cstdint>
#include <string>
#include <vector>

#include "support/mailbox_builder.h"

namespace kestrel::test {

inline std::vector<uint8_t> BuiltMailbox(PstVariant variant, uint8_t cryptMethod) {
    MailboxBuilder::Options options;
    options.cryptMethod = cryptMethod;
    MailboxBuilder box(variant, options);
    box.pst().limits().pageEntries = 5;
    box.pst().limits().slEntries = 3;
    const uint32_t inbox = box.Folder("Inbox");
    const uint32_t projects = box.AddFolder(inbox, "Projects");
    const uint32_t archive = box.AddFolder(projects, "Archive");
    for (int i = 0; i < 14; ++i) {
        Message m = MakeMail("message " + std::to_string(i), "Ann Lee", "ann@example.com",
                             "body of message " + std::to_string(i));
        m.recipients = {{"Bob", "bob@example.com"}, {"Cy", "cy@example.com", 2}};
        if (i % 3 == 0) {
            m.attachments.push_back({"a.txt", "notes " + std::to_string(i) + ".txt",
                                     std::vector<uint8_t>(100 + i, uint8_t('a' + i))});
        }
        if (i == 4) m.rtfCompressed = CompressRtf("{\\rtf1\\ansi message four}");
        const uint32_t folder = i % 3 == 0 ? inbox : i % 3 == 1 ? projects : archive;
        box.AddMessage(folder, m);
    }
    Message longOne = MakeMail("long body", "Ann Lee", "ann@example.com", std::string(30000, 'x'));
    std::vector<uint8_t> big(40000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    longOne.attachments.push_back({"big.bin", "big.bin", big});
    longOne.attachments.push_back({"two.bin", "two.bin", std::vector<uint8_t>(9000, 0x42)});
    box.AddMessage(box.Folder("Sent Items"), longOne);
    box.AddMessage(
        box.Folder("Contacts"),
        MakeContact({.displayName = "Bob Stone", .givenName = "Bob", .surname = "Stone"}));
    box.AddMessage(box.Folder("Tasks"), MakeTask({.subject = "a task"}));
    box.AddMessage(box.Folder("Calendar"), MakeAppointment({.subject = "a meeting"}));
    box.AddMessage(box.Folder("Notes"), MakeStickyNote("a note"));
    return box.Build();
}

}  // namespace kestrel::test
