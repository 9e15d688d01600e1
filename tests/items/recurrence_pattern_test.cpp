#include "items/recurrence_pattern.h"

#include <gtest/gtest.h>

#include "items/dist_list.h"
#include "support/recurrence_builder.h"

namespace kestrel {
namespace {

TEST(RecurrencePattern, ReadsAnAppointmentSeriesWithItsChanges) {
    const auto bytes = test::BuildPattern(test::WeeklyWithChanges());
    const auto p = ParseRecurrencePattern(bytes, true, 1252);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->frequency, kRecurWeekly);
    EXPECT_EQ(p->dayMask, 0x04u);
    EXPECT_EQ(p->endType, kEndAfterCount);
    EXPECT_EQ(p->occurrenceCount, 10u);
    EXPECT_EQ(p->deletedInstanceDates.size(), 2u);
    EXPECT_EQ(p->startTimeOffset, 480u);
    ASSERT_EQ(p->exceptions.size(), 1u);
    EXPECT_EQ(p->exceptions[0].subject, "Moved");
    EXPECT_EQ(p->exceptions[0].location, "Room 2");
    EXPECT_TRUE(p->exceptions[0].HasBody());
    EXPECT_TRUE(p->extendedRead);

    // The task form is the first part alone.
    test::PatternSpec task = test::WeeklyWithChanges();
    task.appointment = false;
    EXPECT_TRUE(ParseRecurrencePattern(test::BuildPattern(task), false, 1252).has_value());
}

TEST(RecurrencePattern, DamagedPatternsGiveNothingOrLess) {
    const auto bytes = test::BuildPattern(test::WeeklyWithChanges());
    // Cut anywhere: no read past the end; the 8-bit texts stay when only the UTF-16
    // copies are cut off.
    for (size_t n = 0; n < bytes.size(); ++n) {
        const auto p = ParseRecurrencePattern(std::span(bytes).first(n), true, 1252);
        if (p) {
            ASSERT_EQ(p->exceptions.size(), 1u) << n;
            EXPECT_EQ(p->exceptions[0].subject, "Moved") << n;
        }
    }
    // Counts far beyond the data.
    auto huge = bytes;
    huge[38] = huge[39] = huge[40] = huge[41] = 0xFF;  // DeletedInstanceCount
    EXPECT_FALSE(ParseRecurrencePattern(huge, true, 1252).has_value());
    test::PatternSpec s = test::WeeklyWithChanges();
    s.exceptions.clear();
    auto many = test::BuildPattern(s);
    const size_t countAt = many.size() - 4 - 4 - 2;  // before ReservedBlock1 and Block2
    many[countAt] = many[countAt + 1] = 0xFF;
    EXPECT_FALSE(ParseRecurrencePattern(many, true, 1252).has_value());
    // Unknown versions and kinds.
    auto version = bytes;
    version[0] = 0x05;
    EXPECT_FALSE(ParseRecurrencePattern(version, true, 1252).has_value());
    s.patternType = 7;
    EXPECT_FALSE(ParseRecurrencePattern(test::BuildPattern(s), true, 1252).has_value());
}

TEST(DistList, MembersFromBothLists) {
    // A one-off entry in 8-bit text and one in UTF-16.
    auto oneOff = [](bool wide, const std::string& name, const std::string& address) {
        std::vector<uint8_t> b = {0,    0,    0,    0,    0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10,
                                  0x19, 0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02, 0,    0};
        b.push_back(0x00);
        b.push_back(wide ? 0x80 : 0x00);
        for (const std::string& s : {name, std::string("SMTP"), address}) {
            for (char c : s) {
                b.push_back(static_cast<uint8_t>(c));
                if (wide) b.push_back(0);
            }
            b.push_back(0);
            if (wide) b.push_back(0);
        }
        return b;
    };
    auto multi = [](const std::vector<std::vector<uint8_t>>& values) {
        test::PatternWriter w;
        w.U32(static_cast<uint32_t>(values.size()));
        uint32_t at = 4 + 4 * static_cast<uint32_t>(values.size());
        for (const auto& v : values) {
            w.U32(at);
            at += static_cast<uint32_t>(v.size());
        }
        for (const auto& v : values) w.bytes.insert(w.bytes.end(), v.begin(), v.end());
        return w.bytes;
    };
    const std::vector<uint8_t> wrapped = {0,    0,    0,    0,    0xC0, 0x91, 0xAD, 0xD3,
                                          0x51, 0x9D, 0xCF, 0x11, 0xA4, 0xA9, 0x00, 0xAA,
                                          0x00, 0x47, 0xFA, 0xA4, 0xC3, 1,    2,    3};
    const auto ids = multi({wrapped, oneOff(false, "Ann", "ann@example.com")});
    const auto offs = multi({oneOff(true, "Bob B\xC3\xA9", "bob@example.com")});
    const auto members = DistListMembers(ids, offs, 1252);
    ASSERT_EQ(members.size(), 2u);
    EXPECT_TRUE(members[0].contact);
    EXPECT_EQ(members[0].address, "bob@example.com");
    EXPECT_FALSE(members[1].contact);
    EXPECT_EQ(members[1].displayName, "Ann");
    EXPECT_EQ(members[1].addressType, "SMTP");

    // Offsets that run backwards or out of the data end the list there.
    auto broken = ids;
    broken[8] = 0xFF;
    EXPECT_TRUE(SplitMultipleBinary(broken).empty());
    EXPECT_TRUE(SplitMultipleBinary(std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x7F}).empty());
}

}  // namespace
}  // namespace kestrel
