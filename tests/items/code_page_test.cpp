#include "items/code_page.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace kestrel {
namespace {

std::span<const uint8_t> AsBytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(CodePage, KnownAndUnknownNumbers) {
    EXPECT_EQ(CodePageName(1252), "CP1252");
    EXPECT_EQ(CodePageName(932), "CP932");
    EXPECT_EQ(CodePageName(28605), "ISO-8859-15");
    EXPECT_EQ(CodePageName(65001), "UTF-8");
    EXPECT_EQ(CodePageName(1200), "UTF-16LE");
    EXPECT_TRUE(CodePageName(0).empty());
    EXPECT_TRUE(CodePageName(4242).empty());
}

TEST(CodePage, ConvertsTheScriptsOfEachCodePage) {
    struct Case {
        uint32_t codePage;
        std::string bytes;
        std::string utf8;
    };
    const Case cases[] = {
        {1250, "\x8A\x9A\xC8\xE8", "ŠšČč"},
        {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
        {1252, "\x80 caf\xE9", "€ café"},
        {1253, "\xC3\xE5\xE9\xDC", "Γειά"},
        {1255, "\xF9\xEC\xE5\xED", "שלום"},
        {874, "\xA1", "ก"},
        {932, "\x93\xFA\x96\x7B\x8C\xEA", "日本語"},
        {936, "\xD6\xD0", "中"},
        {949, "\xB0\xA1", "가"},
        {950, "\xA4\xA4", "中"},
        {28591, "\xE9", "é"},
        {65001, "\xF0\x9F\x98\x80", "😀"},
        {1200, std::string("\x3D\xD8\x00\xDE", 4), "😀"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ConvertToUtf8(c.bytes, c.codePage), c.utf8) << c.codePage;
    }
    // Text labelled ASCII or Latin-1 often holds Windows-1252 characters.
    EXPECT_EQ(ConvertToUtf8(std::string("\x93"
                                        "caf\xE9\x94"),
                            20127),
              "“café”");
    EXPECT_EQ(ConvertToUtf8(std::string("\x80"), 28591), "€");
    // A number we do not know reads as Windows-1252.
    EXPECT_EQ(ConvertToUtf8(std::string("\x80"), 4242), "€");
}

TEST(CodePage, InvalidBytesBecomeReplacementCharacters) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(ConvertToUtf8(std::string("a\x81"), 1252), "a" + fffd);
    // A Shift_JIS lead byte cut off by the end of the value.
    EXPECT_EQ(ConvertToUtf8(std::string("ab\x93"), 932), "ab" + fffd);
    EXPECT_EQ(ConvertToUtf8(std::string("\xC3(x"), 65001), fffd + "(x");
    // A lone UTF-16 surrogate, then text that stays aligned.
    EXPECT_EQ(ConvertToUtf8(std::string("\x00\xD8"
                                        "A\x00",
                                        4),
                            1200),
              fffd + "A");
    // An odd last byte of UTF-16.
    EXPECT_EQ(ConvertToUtf8(std::string("A\x00\x42", 3), 1200), "A" + fffd);
    EXPECT_EQ(ConvertToUtf8(std::string(), 932), "");
}

TEST(CodePage, StatefulEncodingsAreReadWhole) {
    // ISO-2022-JP switches to JIS X 0208 and back; plain ASCII bytes are not taken as is.
    EXPECT_EQ(ConvertToUtf8(std::string("\x1B$BF|\x1B(Bx"), 50220), "日x");
    EXPECT_EQ(ConvertToUtf8(std::string("+ZeVnLIqe-"), 65000), "日本語");
}

TEST(CodePage, RandomBytesAlwaysGiveValidUtf8) {
    std::mt19937 random(7);
    const uint32_t codePages[] = {874,  932,  936,  949,   950,   1200,  1201,  1250,  1251,
                                  1252, 1253, 1255, 12000, 20127, 50220, 54936, 65000, 65001};
    for (uint32_t codePage : codePages) {
        for (int round = 0; round < 20; ++round) {
            std::vector<uint8_t> bytes(1 + random() % 9000);
            for (auto& b : bytes) b = static_cast<uint8_t>(random());
            const std::string out = ConvertToUtf8(bytes, codePage);
            ASSERT_TRUE(IsValidUtf8(AsBytes(out))) << codePage;
        }
    }
}

TEST(CodePage, Utf8Validation) {
    EXPECT_TRUE(IsValidUtf8(AsBytes("plain")));
    EXPECT_TRUE(IsValidUtf8(AsBytes("Ελλάδα 日本 😀")));
    EXPECT_FALSE(IsValidUtf8(AsBytes("\xC0\xAF")));          // overlong
    EXPECT_FALSE(IsValidUtf8(AsBytes("\xE0\x80\xAF")));      // overlong
    EXPECT_FALSE(IsValidUtf8(AsBytes("\xED\xA0\x80")));      // surrogate
    EXPECT_FALSE(IsValidUtf8(AsBytes("\xF4\x90\x80\x80")));  // above U+10FFFF
    EXPECT_FALSE(IsValidUtf8(AsBytes("\xE6\x97")));          // cut short
    EXPECT_FALSE(IsValidUtf8(AsBytes("caf\xE9")));
}

}  // namespace
}  // namespace kestrel
