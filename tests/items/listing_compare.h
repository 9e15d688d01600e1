#pragma once
// An item loaded for the lists (attachment data and bodies measured, RTF only checked)
// against the same item loaded in full: everything the lists use must be the same.
#include <gtest/gtest.h>

#include <string>

#include "items/item_assembler.h"
#include "items/item_record.h"

namespace kestrel::test {

inline void ExpectSameListing(const ItemRecord* full, const ItemRecord* light,
                              const std::string& where) {
    ASSERT_EQ(full == nullptr, light == nullptr) << where;
    if (!full) return;
    EXPECT_EQ(full->kind, light->kind) << where;
    EXPECT_EQ(full->className, light->className) << where;
    EXPECT_EQ(full->displayName, light->displayName) << where;
    EXPECT_EQ(full->Empty(), light->Empty()) << where;
    EXPECT_EQ(!full->folder, !light->folder) << where;
    EXPECT_EQ(!full->contact, !light->contact) << where;
    EXPECT_EQ(!full->journal, !light->journal) << where;
    EXPECT_EQ(!full->calendar, !light->calendar) << where;
    EXPECT_EQ(!full->store, !light->store) << where;
    EXPECT_EQ(full->currentAttachment, light->currentAttachment) << where;
    ASSERT_EQ(!full->message, !light->message) << where;
    if (full->message) {
        const MessageRecord& a = *full->message;
        const MessageRecord& b = *light->message;
        EXPECT_EQ(!a.subject, !b.subject) << where;
        if (a.subject && b.subject) {
            EXPECT_EQ(a.subject->text, b.subject->text) << where;
        }
        EXPECT_EQ(a.body.size(), b.bodyLength.value_or(b.body.size())) << where;
        if (!b.bodyLength) {
            EXPECT_EQ(a.body, b.body) << where;
        }
        EXPECT_EQ(a.hasHtmlText, b.hasHtmlText) << where;
        EXPECT_EQ(!a.bodyHtml.empty(), b.hasHtmlText) << where;
        EXPECT_EQ(a.hasRtfBody, b.hasRtfBody) << where;
        EXPECT_TRUE(b.rtfBody.empty()) << where;
        EXPECT_EQ(a.senderName, b.senderName) << where;
        EXPECT_EQ(a.displayTo, b.displayTo) << where;
        EXPECT_EQ(a.deliveryTime, b.deliveryTime) << where;
    }
    ASSERT_EQ(full->attachments.size(), light->attachments.size()) << where;
    for (size_t i = 0; i < full->attachments.size(); ++i) {
        const AttachmentRecord& a = full->attachments[i];
        const AttachmentRecord& b = light->attachments[i];
        const std::string at = where + " attachment " + std::to_string(i);
        EXPECT_EQ(a.shortName, b.shortName) << at;
        EXPECT_EQ(a.longName, b.longName) << at;
        EXPECT_EQ(a.dataSize, b.dataSize) << at;
        EXPECT_EQ(a.rowId, b.rowId) << at;
        EXPECT_EQ(a.dataBid, b.dataBid) << at;
        EXPECT_TRUE(b.data.empty()) << at;  // measured, never read
    }
}

// The options the folder walk loads items with.
inline AssembleOptions ListingOptions() {
    AssembleOptions options;
    options.measureAttachmentData = true;
    options.checkRtfOnly = true;
    options.measureBody = true;
    return options;
}

}  // namespace kestrel::test
