// UTF-16LE strings from the file come out as UTF-8.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "items/property_parser.h"

namespace kestrel {
namespace {

std::vector<uint8_t> Units(std::initializer_list<uint16_t> units) {
    std::vector<uint8_t> bytes;
    for (uint16_t u : units) {
        bytes.push_back(static_cast<uint8_t>(u));
        bytes.push_back(static_cast<uint8_t>(u >> 8));
    }
    return bytes;
}

std::string Narrow(const std::vector<uint8_t>& bytes) {
    return NarrowUtf16(bytes.data(), bytes.size());
}

TEST(NarrowUtf16, ScriptsBeyondLatin1SurviveAsUtf8) {
    EXPECT_EQ(Narrow(Units({'H', 'i'})), "Hi");
    EXPECT_EQ(Narrow(Units({0x00E9, 0x00FC})), "\u00e9\u00fc");  // é ü
    EXPECT_EQ(Narrow(Units({0x041F, 0x0440, 0x0438, 0x0432})), "\u041f\u0440\u0438\u0432");  // Прив
    EXPECT_EQ(Narrow(Units({0x03A9, 0x03B1})), "\u03a9\u03b1");                              // Ωα
    EXPECT_EQ(Narrow(Units({0x05E9, 0x05DC})), "\u05e9\u05dc");                // Hebrew
    EXPECT_EQ(Narrow(Units({0x65E5, 0x672C, 0x8A9E})), "\u65e5\u672c\u8a9e");  // 日本語
    EXPECT_EQ(Narrow(Units({0xFFFF})), "\uffff");                              // top of the BMP
}

TEST(NarrowUtf16, SurrogatePairsBecomeOneCharacter) {
    // U+1F600 and U+10FFFF, the first and last planes' corners.
    EXPECT_EQ(Narrow(Units({0xD83D, 0xDE00})), "\U0001F600");
    EXPECT_EQ(Narrow(Units({'a', 0xD800, 0xDC00, 'b'})), "a\U00010000b");
    EXPECT_EQ(Narrow(Units({0xDBFF, 0xDFFF})), "\U0010FFFF");
}

TEST(NarrowUtf16, UnpairedSurrogatesBecomeReplacementCharacters) {
    EXPECT_EQ(Narrow(Units({0xD83D})), "\ufffd");                            // high at the end
    EXPECT_EQ(Narrow(Units({0xD83D, 'x'})), "\ufffdx");                      // high, then no low
    EXPECT_EQ(Narrow(Units({0xDE00, 'x'})), "\ufffdx");                      // low alone
    EXPECT_EQ(Narrow(Units({0xD83D, 0xD83D, 0xDE00})), "\ufffd\U0001F600");  // high, high+low
    // A high surrogate cut off by the end of the text is not paired with what follows it.
    EXPECT_EQ(Narrow(Units({0xD83D, 0, 0xDE00})), "\ufffd");
}

TEST(NarrowUtf16, TextEndsAtTheFirstZeroUnit) {
    EXPECT_EQ(Narrow(Units({'a', 'b', 0, 'c'})), "ab");
    EXPECT_EQ(Narrow(Units({0, 'c'})), "");
    // A zero low byte alone does not end the text: U+0100 is not zero.
    EXPECT_EQ(Narrow(Units({0x0100, 'z'})), "\u0100z");
}

TEST(NarrowUtf16, OddByteCountsAndEmptyInput) {
    // The half unit at the end carries no character.
    std::vector<uint8_t> odd = Units({'o', 'k'});
    odd.push_back('!');
    EXPECT_EQ(Narrow(odd), "ok");
    EXPECT_EQ(NarrowUtf16(odd.data(), 1), "");
    EXPECT_EQ(NarrowUtf16(odd.data(), 0), "");
    EXPECT_EQ(NarrowUtf16(nullptr, 8), "");
}

}  // namespace
}  // namespace kestrel
