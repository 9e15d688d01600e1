#include <gtest/gtest.h>

#include <string>

#include "items/item_assembler.h"

namespace kestrel {
namespace {

TEST(ClassPrefixMatch, CountAndEarlyEnd) {
    // "IPM.Contact" with count 9 wants the texts that begin "IPM.Contac".
    EXPECT_TRUE(ClassPrefixMatch("IPM.Contact", "ipm.contacx", 9));
    EXPECT_FALSE(ClassPrefixMatch("IPM.Contact", "IPM.Contax", 9));
    EXPECT_TRUE(ClassPrefixMatch("IPM.Note", "IPM.NoteS", 8));
    EXPECT_FALSE(ClassPrefixMatch("IPM.Note", "IPM.Nate", 8));
    // A text that ends early matches; a zero byte ends it too.
    EXPECT_TRUE(ClassPrefixMatch("IPM.Note", "", 8));
    EXPECT_TRUE(ClassPrefixMatch("IPM.Note", "ipm.n", 8));
    EXPECT_TRUE(ClassPrefixMatch("IPM.Note", std::string("IPM\0XYZ", 7), 8));
    EXPECT_FALSE(ClassPrefixMatch("IPM.Note", "IPX", 8));
}

struct Case {
    const char* text;
    ItemKind kind;
};

TEST(ClassifyMessageClass, TableOrderAndCounts) {
    const Case cases[] = {
        {"ipm.note.smime", ItemKind::Mail},
        {"IPM.x-custom", ItemKind::Mail},
        {"ipm", ItemKind::Mail},
        {"", ItemKind::Mail},
        {"IPM.Contact.Custom", ItemKind::Contact},
        {"IPM.ContacX", ItemKind::Contact},
        {"IPM.ContaX", ItemKind::Other},
        {"IPF.Contact", ItemKind::Contact},
        {"REPORT.IPM.Note.NDR", ItemKind::Report},
        {"Report.IPM.Note.IPNRN", ItemKind::Report},
        {"IPM.Activity", ItemKind::Journal},
        {"IPM.Appointment", ItemKind::Calendar},
        {"IPM.StickyNote", ItemKind::Other},
        {"IPM.Task", ItemKind::Other},
        {"IPM.Post", ItemKind::Other},
        {"IPM.Schedule.Meeting.Request", ItemKind::Other},
        {"IPM.Microsoft.FolderDesign.NameView", ItemKind::Other},
    };
    for (const Case& c : cases) EXPECT_EQ(ClassifyMessageClass(c.text), c.kind) << c.text;
}

TEST(ClassifyContainerClass, CaseSensitiveLeadingBytes) {
    const Case cases[] = {
        {"IPF.Note.OutlookHomepage", ItemKind::Mail},
        {"ipf.note", ItemKind::Other},
        {"IPF.Not", ItemKind::Other},
        {"IPF.Contact.MOC.QuickContacts", ItemKind::Contact},
        {"IPF.Conta", ItemKind::Contact},
        {"IPF.Cont", ItemKind::Other},
        {"IPM.Contact", ItemKind::Contact},
        {"IPF.Journal", ItemKind::Journal},
        {"IPF.Appointment", ItemKind::Calendar},
        {"IPF.StickyNote", ItemKind::StickyNote},
        {"IPF.Task", ItemKind::Task},
        {"", ItemKind::Other},
    };
    for (const Case& c : cases) EXPECT_EQ(ClassifyContainerClass(c.text), c.kind) << c.text;
}

}  // namespace
}  // namespace kestrel
