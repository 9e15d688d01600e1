#include <gtest/gtest.h>

#include <string>

#include "items/item_assembler.h"

namespace kestrel {
namespace {

TEST(ClassPrefixMatch, StopsAtCountButLooksOneCharacterFurther) {
    // "IPM.Contact" with count 9 wants the texts that begin "IPM.Contac".
    EXPECT_TRUE(ClassPrefixMatch("IPM.Contact", "IPM.Contac", 9));
    EXPECT_TRUE(ClassPrefixMatch("IPM.Contact", "ipm.contacx", 9));
    EXPECT_FALSE(ClassPrefixMatch("IPM.Contact", "IPM.ContaX", 9));
    EXPECT_FALSE(ClassPrefixMatch("IPM.Contact", "IPM.Contax", 9));
    // With the whole pattern compared, anything may follow it.
    EXPECT_TRUE(ClassPrefixMatch("IPM.Note", "IPM.Note.SMIME", 8));
    EXPECT_TRUE(ClassPrefixMatch("IPM.Note", "IPM.NoteS", 8));
    EXPECT_FALSE(ClassPrefixMatch("IPM.Note", "IPM.Nate", 8));
}

TEST(ClassPrefixMatch, ATextThatEndsEarlyMatches) {
    EXPECT_TRUE(ClassPrefixMatch("IPM.Note", "", 8));
    EXPECT_TRUE(ClassPrefixMatch("IPM.Note", "IPM", 8));
    EXPECT_TRUE(ClassPrefixMatch("IPM.Note", "ipm.n", 8));
    // A zero byte ends the text as its end does.
    EXPECT_TRUE(ClassPrefixMatch("IPM.Note", std::string("IPM\0XYZ", 7), 8));
    EXPECT_FALSE(ClassPrefixMatch("IPM.Note", "IPX", 8));
}

TEST(ClassifyMessageClass, TableOrderAndCounts) {
    struct Case {
        const char* text;
        ItemKind kind;
    };
    const Case cases[] = {
        {"IPM.Note", ItemKind::Mail},
        {"ipm.note.smime", ItemKind::Mail},
        {"IPM.x-custom", ItemKind::Mail},
        {"IPM", ItemKind::Mail},
        {"ipm", ItemKind::Mail},
        {"", ItemKind::Mail},
        {"IPM.Contact", ItemKind::Contact},
        {"IPM.Contact.Custom", ItemKind::Contact},
        {"IPM.ContacX", ItemKind::Contact},
        {"IPM.ContaX", ItemKind::Other},
        {"IPM.Contac", ItemKind::Contact},
        {"IPF.Contact", ItemKind::Contact},
        {"REPORT.IPM.Note.NDR", ItemKind::Report},
        {"Report.IPM.Note.IPNRN", ItemKind::Report},
        {"IPM.Activity", ItemKind::Journal},
        {"IPM.Appointment", ItemKind::Calendar},
        {"IPM.Schedule.Meeting.Request", ItemKind::Other},
        {"IPM.StickyNote", ItemKind::Other},
        {"IPM.Task", ItemKind::Other},
        {"IPM.Post", ItemKind::Other},
        {"IPM.Microsoft.FolderDesign.NameView", ItemKind::Other},
        {"IPC.MS.Outlook.AgingProperties", ItemKind::Other},
        {"Something else", ItemKind::Other},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyMessageClass(c.text), c.kind) << '"' << c.text << '"';
    }
}

TEST(ClassifyContainerClass, CaseSensitiveLeadingBytes) {
    struct Case {
        const char* text;
        ItemKind kind;
    };
    const Case cases[] = {
        {"IPF.Note", ItemKind::Mail},
        {"IPF.Note.OutlookHomepage", ItemKind::Mail},
        {"ipf.note", ItemKind::Other},
        {"IPF.Not", ItemKind::Other},
        {"IPF.Contact", ItemKind::Contact},
        {"IPF.Contact.MOC.QuickContacts", ItemKind::Contact},
        {"IPF.Conta", ItemKind::Contact},
        {"IPF.Cont", ItemKind::Other},
        {"IPM.Contact", ItemKind::Contact},
        {"IPF.Journal", ItemKind::Journal},
        {"IPF.Appointment", ItemKind::Calendar},
        {"IPF.StickyNote", ItemKind::StickyNote},
        {"IPF.Task", ItemKind::Task},
        {"IPC.MS.Outlook", ItemKind::Other},
        {"", ItemKind::Other},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyContainerClass(c.text), c.kind) << '"' << c.text << '"';
    }
}

}  // namespace
}  // namespace kestrel
