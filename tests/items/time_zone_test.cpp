#include "items/time_zone.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/recurrence_builder.h"

namespace kestrel {
namespace {

// Sydney: UTC+10, +11 from the first Sunday of October to the first Sunday of April.
TEST(TimeZone, ReadsRulesAndConvertsAcrossTheirChanges) {
    const test::Change toStandard{4, 0, 1, 3}, toDaylight{10, 0, 1, 2};
    const auto rule = ParseZoneStruct(test::ZoneStruct(-600, -60, toStandard, toDaylight));
    ASSERT_TRUE(rule.has_value());
    const auto def = ParseZoneDefinition(
        test::ZoneDefinition("AUS Eastern Standard Time", -600, -60, toStandard, toDaylight));
    ASSERT_TRUE(def.has_value());
    EXPECT_EQ(def->keyName, "AUS Eastern Standard Time");
    ASSERT_NE(def->Effective(), nullptr);
    EXPECT_TRUE(def->Effective()->SameZone(*rule));

    struct Case {
        int64_t local;
        int64_t utc;
    };
    const Case cases[] = {
        // Southern summer spans the new year.
        {MinutesOf(2024, 1, 15, 9), MinutesOf(2024, 1, 14, 22)},
        {MinutesOf(2024, 7, 15, 9), MinutesOf(2024, 7, 14, 23)},
        // 6 October 2024 is the first Sunday: 02:00 becomes 03:00.
        {MinutesOf(2024, 10, 6, 1, 59), MinutesOf(2024, 10, 5, 15, 59)},
        {MinutesOf(2024, 10, 6, 3), MinutesOf(2024, 10, 5, 16)},
        // 7 April 2024: 03:00 daylight becomes 02:00 standard.
        {MinutesOf(2024, 4, 7, 1, 30), MinutesOf(2024, 4, 6, 14, 30)},
        {MinutesOf(2024, 4, 7, 4), MinutesOf(2024, 4, 6, 18)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LocalToUtc(*rule, c.local), c.utc) << c.local;
        EXPECT_EQ(UtcToLocal(*rule, c.utc), c.local) << c.utc;
    }
    // The fifth Sunday is the last one, in months with four of them too.
    EXPECT_EQ(ChangeMinutes({0, 2, 0, 5, 2, 0}, 2023), MinutesOf(2023, 2, 26, 2));
    const CivilTime t = CivilOf(MinutesOf(1601, 1, 1));
    EXPECT_EQ(t.year * 10000 + t.month * 100 + t.day, 16010101);
    EXPECT_EQ(MinutesOf(1601, 1, 1), 0);
}

TEST(TimeZone, RefusesDamagedStructures) {
    auto zone = test::ZoneStruct(-60, -60, {10, 0, 5, 3}, {3, 0, 5, 2});
    EXPECT_FALSE(ParseZoneStruct(std::span(zone).first(47)).has_value());
    auto badMonth = zone;
    badMonth[16] = 13;  // the standard change's month
    EXPECT_FALSE(ParseZoneStruct(badMonth).has_value());
    auto badBias = zone;
    badBias[3] = 0x7F;
    EXPECT_FALSE(ParseZoneStruct(badBias).has_value());
    auto lowestBias = zone;  // INT32_MIN, whose 32-bit absolute value does not exist
    std::fill_n(lowestBias.begin(), 4, uint8_t{0});
    lowestBias[3] = 0x80;
    EXPECT_FALSE(ParseZoneStruct(lowestBias).has_value());

    const auto def = test::ZoneDefinition("W", -60, -60, {10, 0, 5, 3}, {3, 0, 5, 2});
    EXPECT_TRUE(ParseZoneDefinition(def).has_value());
    EXPECT_FALSE(ParseZoneDefinition(std::span(def).first(def.size() - 1)).has_value());
    auto moreRules = def;
    moreRules[10] = 0xFF;  // rule count past the data
    EXPECT_FALSE(ParseZoneDefinition(moreRules).has_value());
    auto longKey = def;
    longKey[6] = 0xFF;  // key name past the data
    EXPECT_FALSE(ParseZoneDefinition(longKey).has_value());
}

}  // namespace
}  // namespace kestrel
