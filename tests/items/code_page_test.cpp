#include "items/code_page.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace kestrel {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

bool ValidUtf8(const std::string& s) {
    return IsValidUtf8({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
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
        {1253, "\xC3\xE5\xE9\xDC", "Γειά"},
        {1255, "\xF9\xEC\xE5\xED", "שלום"},
        {874, "\xA1", "ก"},
        {932, "\x93\xFA\x96\x7B\x8C\xEA", "日本語"},
        {936, "\xD6\xD0", "中"},
        {949, "\xB0\xA1", "가"},
        {950, "\xA4\xA4", "中"},
        {65001, "\xF0\x9F\x98\x80", "😀"},
        {1200, std::string("\x3D\xD8\x00\xDE", 4), "😀"},
        // Stateful encodings: plain ASCII bytes are not taken as they are.
        {50220, "\x1B$BF|\x1B(Bx", "日x"},
        {65000, "+ZeVnLIqe-", "日本語"},
        // Text labelled ASCII or Latin-1 often holds Windows-1252 characters.
        {20127,
         "\x93"
         "caf\xE9\x94",
         "“café”"},
        {28591, "\x80", "€"},
        // A number we do not know reads as Windows-1252.
        {4242, "\x80", "€"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ConvertToUtf8(c.bytes, c.codePage), c.utf8) << c.codePage;
    }
}

TEST(CodePage, InvalidBytesBecomeReplacementCharacters) {
    EXPECT_EQ(ConvertToUtf8(std::string("a\x81"), 1252), "a" + kFffd);
    // A Shift_JIS lead byte cut off by the end of the value.
    EXPECT_EQ(ConvertToUtf8(std::string("ab\x93"), 932), "ab" + kFffd);
    EXPECT_EQ(ConvertToUtf8(std::string("\xC3(x"), 65001), kFffd + "(x");
    // A lone UTF-16 surrogate, then text that stays aligned; an odd last byte.
    EXPECT_EQ(ConvertToUtf8(std::string("\x00\xD8"
                                        "A\x00",
                                        4),
                            1200),
              kFffd + "A");
    EXPECT_EQ(ConvertToUtf8(std::string("A\x00\x42", 3), 1200), "A" + kFffd);
}

TEST(CodePage, RandomBytesAlwaysGiveValidUtf8) {
    EXPECT_FALSE(ValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(ValidUtf8("\xE0\x80\xAF"));      // overlong
    EXPECT_FALSE(ValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(ValidUtf8("\xE6\x97"));          // cut short
    std::mt19937 random(7);
    for (uint32_t codePage : {874u, 932u, 936u, 949u, 950u, 1200u, 1251u, 1252u, 1255u, 12000u,
                              50220u, 54936u, 65000u, 65001u}) {
        for (int round = 0; round < 20; ++round) {
            std::vector<uint8_t> bytes(1 + random() % 9000);
            for (auto& b : bytes) b = static_cast<uint8_t>(random());
            ASSERT_TRUE(ValidUtf8(ConvertToUtf8(bytes, codePage))) << codePage;
        }
    }
}

}  // namespace
}  // namespace kestrel
