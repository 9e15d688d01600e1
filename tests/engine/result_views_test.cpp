#include "engine/result_views.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

// 2007-01-01 12:00:00 UTC as a FILETIME.
constexpr uint64_t kNewYear2007 = 128'121'264'000'000'000ULL;
constexpr uint64_t kUnixEpoch = 116'444'736'000'000'000ULL;

std::vector<uint8_t> LittleEndian(uint64_t value) {
    std::vector<uint8_t> bytes(8);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

std::string Repeat(std::string_view piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

TEST(ResultViewText, FullCleanUpBlanksControlsAndKeepsLetters) {
    std::string controls;
    for (int c : {10, 13, 9, 3, 16, 26, 23, 25, 24, 15, 17, 27}) controls += static_cast<char>(c);
    EXPECT_EQ(FullCleanUp("a" + controls + "b"), "a" + std::string(controls.size(), ' ') + "b");
    // The letters and dashes whose old single-byte values were on the list are UTF-8 here;
    // none of their bytes may be touched.
    const std::string kept = "— Í „ “ Š å ž –";
    EXPECT_EQ(FullCleanUp(kept), kept);
    EXPECT_EQ(FullCleanUp("Ålesund\x01\x7F"), "Ålesund\x01\x7F");
}

TEST(ResultViewText, LineCleanUpTouchesOnlyLineBreaksAndTabs) {
    EXPECT_EQ(LineCleanUp("1 Main St\r\nSpringfield\tUSA"), "1 Main St  Springfield USA");
    EXPECT_EQ(LineCleanUp("esc\x1B stays"), "esc\x1B stays");
    EXPECT_EQ(LineCleanUp(""), "");
}

TEST(ResultViewText, LongTextCutCountsCharacters) {
    // 254 characters stay whole, 255 are cut to 200 and "...".
    EXPECT_EQ(LongTextCut(std::string(254, 'x')), std::string(254, 'x'));
    EXPECT_EQ(LongTextCut(std::string(255, 'x')), std::string(200, 'x') + "...");
    // 200 two-byte letters are 400 bytes but only 200 characters: not cut.
    const std::string greek = Repeat("λ", 200);
    EXPECT_EQ(LongTextCut(greek), greek);
    // 300 three- and four-byte characters: the cut keeps 200 whole characters.
    const std::string cjk = Repeat("日", 150) + Repeat("📁", 150);
    EXPECT_EQ(LongTextCut(cjk), Repeat("日", 150) + Repeat("📁", 50) + "...");
    EXPECT_EQ(Utf8Length(LongTextCut(cjk)), 203u);
}

TEST(ResultViewText, LongTextCutSurvivesBrokenUtf8) {
    // Stray continuation bytes and a lead byte cut short count one each; the cut keeps
    // exactly 200 of them and never reads past the end.
    std::string broken = Repeat("\x80", 100) + Repeat("\xE6\x97", 100) + "\xF0";
    EXPECT_EQ(Utf8Length(broken), 301u);
    const std::string cut = LongTextCut(broken);
    EXPECT_EQ(cut.size(), 203u);
    EXPECT_EQ(cut.substr(200), "...");
}

TEST(ResultViewDates, ShowsTheUtcFieldsInTheFixedForm) {
    EXPECT_EQ(FormatItemDate(kNewYear2007), "Mon Jan 01 12:00:00 2007");
    EXPECT_EQ(FormatItemDate(LittleEndian(kNewYear2007)), "Mon Jan 01 12:00:00 2007");
    EXPECT_EQ(FormatIsoDate(kNewYear2007), "2007-01-01T12:00:00Z");
    // Fractions of a second are dropped, not rounded up.
    EXPECT_EQ(FormatIsoDate(kNewYear2007 + 9'999'999), "2007-01-01T12:00:00Z");
    EXPECT_EQ(FormatItemDate(kUnixEpoch), "Thu Jan 01 00:00:00 1970");
}

TEST(ResultViewDates, LeavesOutOfRangeAndShortValuesEmpty) {
    EXPECT_FALSE(FormatItemDate(uint64_t{0}));
    EXPECT_FALSE(FormatItemDate(kUnixEpoch - 1));  // before 1970
    EXPECT_FALSE(FormatIsoDate(kUnixEpoch - 1));
    EXPECT_FALSE(FormatItemDate(UINT64_MAX));
    EXPECT_FALSE(FormatItemDate(0x7FFF'FFFF'FFFF'FFFFULL));
    EXPECT_FALSE(FormatItemDate(std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_FALSE(FormatItemDate(std::vector<uint8_t>{}));
    EXPECT_EQ(FormatIsoDate(LittleEndian(kUnixEpoch + 32'535'215'999ULL * 10'000'000)),
              "3000-12-31T23:59:59Z");
    EXPECT_FALSE(FormatIsoDate(LittleEndian(kUnixEpoch + 32'535'216'000ULL * 10'000'000)));
}

TEST(ResultViewChoice, OnlyTheFiveWholePathsChooseTheirOwnView) {
    EXPECT_EQ(ChooseResultView("Personal Folders\\Contacts\\"), ResultViewKind::Contacts);
    EXPECT_EQ(ChooseResultView("Personal Folders\\Tasks\\"), ResultViewKind::Tasks);
    EXPECT_EQ(ChooseResultView("Personal Folders\\Journal\\"), ResultViewKind::Journal);
    EXPECT_EQ(ChooseResultView("Personal Folders\\Notes\\"), ResultViewKind::StickyNotes);
    EXPECT_EQ(ChooseResultView("Personal Folders\\Calendar\\"), ResultViewKind::Calendar);
    EXPECT_EQ(ChooseResultView("Personal Folders\\Contacts\\Family\\"), ResultViewKind::Mail);
    EXPECT_EQ(ChooseResultView("Personal Folders\\contacts\\"), ResultViewKind::Mail);
    EXPECT_EQ(ChooseResultView("Personal Folders\\Contacts"), ResultViewKind::Mail);
    EXPECT_EQ(ViewColumns(ResultViewKind::Tasks).at(1).title, "Due Date");
}

}  // namespace
}  // namespace kestrel
