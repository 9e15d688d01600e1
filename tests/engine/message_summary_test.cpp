// The listed message's packed texts: every text and attachment comes back exactly as set
// (empty, long, with NUL bytes, a common class or a near miss of one), alone or together,
// through copies and changes of one field.
#include "engine/message_summary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

std::vector<AttachmentSummary> AttachmentsOf(const MessageSummary& summary) {
    std::vector<AttachmentSummary> out;
    for (const AttachmentView a : summary.attachments())
        out.push_back({std::string(a.name), a.size});
    return out;
}

void ExpectTexts(const MessageSummary& s, const std::vector<std::string>& texts) {
    EXPECT_EQ(s.className(), texts[0]);
    EXPECT_EQ(s.subject(), texts[1]);
    EXPECT_EQ(s.from(), texts[2]);
    EXPECT_EQ(s.fromAddress(), texts[3]);
    EXPECT_EQ(s.to(), texts[4]);
    EXPECT_EQ(s.cc(), texts[5]);
}

TEST(MessageSummaryTexts, RoundTripEmptyLongNulCommonAndNearClasses) {
    const std::string nul("a\0b\0", 4);
    const std::string longText(20000, 'x');  // a length of three bytes in the head
    const std::string medium(200, 'y');      // two bytes
    const std::vector<std::string> classes = {
        "IPM.Note", "ipm.note", "IPM.Note.", "REPORT.IPM.Note.NDR", "", std::string(300, 'c')};
    for (const std::string& klass : classes) {
        const std::vector<std::string> texts = {klass, nul, "", longText, medium, "z"};
        const std::vector<AttachmentSummary> attachments = {
            {"", 0}, {nul, uint64_t{1} << 40}, {longText, 127}, {"b", 128}};
        MessageSummary s;
        s.SetTexts({texts[0], texts[1], texts[2], texts[3], texts[4], texts[5]}, attachments);
        ExpectTexts(s, texts);
        const auto back = AttachmentsOf(s);
        ASSERT_EQ(back.size(), attachments.size());
        for (size_t i = 0; i < back.size(); ++i) {
            EXPECT_EQ(back[i].name, attachments[i].name) << i;
            EXPECT_EQ(back[i].size, attachments[i].size) << i;
        }

        // A copy owns its own block; the original changed afterwards leaves it alone.
        MessageSummary copy = s;
        s.SetSubject(s.cc());  // from a view into its own block
        s.SetAttachments({});
        ExpectTexts(copy, texts);
        EXPECT_EQ(AttachmentsOf(copy).size(), attachments.size());
        ExpectTexts(s, {klass, "z", "", longText, medium, "z"});
        EXPECT_TRUE(s.attachments().empty());

        copy = s;
        ExpectTexts(copy, {klass, "z", "", longText, medium, "z"});
    }
}

TEST(MessageSummaryTexts, NothingSetHoldsNoBlockAndTimesKeepTheirFlag) {
    MessageSummary s;
    s.SetTexts({});
    EXPECT_EQ(s.PackedSize(), 0u);
    ExpectTexts(s, {"", "", "", "", "", ""});
    EXPECT_EQ(s.deliveryTime(), std::nullopt);

    // A time of 0 is a time; taking it away leaves the other one.
    s.SetDeliveryTime(0);
    s.SetSubmitTime(~uint64_t{0});
    EXPECT_EQ(s.deliveryTime(), 0u);
    EXPECT_EQ(s.submitTime(), ~uint64_t{0});
    s.SetDeliveryTime(std::nullopt);
    EXPECT_EQ(s.deliveryTime(), std::nullopt);
    EXPECT_EQ(s.submitTime(), ~uint64_t{0});

    // One attachment with an empty name is still an attachment; emptied again, no block.
    s.SetAttachments(std::vector<AttachmentSummary>{{"", 5}});
    ASSERT_EQ(s.attachments().size(), 1u);
    EXPECT_EQ((*s.attachments().begin()).size, 5u);
    s.SetFrom("x");
    s.SetAttachments({});
    s.SetFrom("");
    EXPECT_EQ(s.PackedSize(), 0u);
}

}  // namespace
}  // namespace kestrel
