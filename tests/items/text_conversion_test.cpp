// Long texts through the converters: well-formed runs copied whole around the bytes that
// are replaced, and UTF-16 read the same by our converter and by iconv.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "items/code_page.h"
#include "items/property_parser.h"

namespace kestrel {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(TextConversion, Utf8KeepsWellFormedRunsAroundReplacedBytes) {
    const std::string word = "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80 ";
    std::string input;
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        input += word;
        expected += word;
        if (i % 7 == 0) {
            input += "\xFF";  // never a lead byte
            expected += kFffd;
        }
        if (i % 11 == 0) {
            input += "\xE6\x97";  // a sequence cut short by the next character
            expected += kFffd + kFffd;
        }
    }
    EXPECT_EQ(ConvertToUtf8(input, 65001), expected);
    // Bad bytes first and last, and nothing else.
    EXPECT_EQ(ConvertToUtf8(std::string("\x80"
                                        "ab\xC3"),
                            65001),
              kFffd + "ab" + kFffd);
    EXPECT_EQ(ConvertToUtf8(std::string("\xC0\xAF"), 65001), kFffd + kFffd);
}

TEST(TextConversion, Utf16AgreesWithIconvOnLongText) {
    // Code points from every UTF-8 length, surrogate pairs included; no zero unit and no
    // lone surrogate, where the two are meant to differ.
    const std::vector<uint32_t> points = {'a',    'Z',     ' ',     0xE9,    0x3A9,
                                          0x7FF,  0x800,   0x65E5,  0xD7FF,  0xE000,
                                          0xFFFD, 0x10000, 0x1F600, 0x10FFFF};
    std::mt19937 random(11);
    for (size_t units : {1u, 7u, 64u, 4096u, 70000u}) {
        std::vector<uint8_t> bytes;
        while (bytes.size() < 2 * units) {
            const uint32_t cp = points[random() % points.size()];
            auto put = [&bytes](uint32_t unit) {
                bytes.push_back(static_cast<uint8_t>(unit));
                bytes.push_back(static_cast<uint8_t>(unit >> 8));
            };
            if (cp >= 0x10000) {
                put(0xD800 + ((cp - 0x10000) >> 10));
                put(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                put(cp);
            }
        }
        const std::string ours = NarrowUtf16(bytes.data(), bytes.size());
        EXPECT_EQ(ours, ConvertToUtf8(bytes, 1200)) << units;
        EXPECT_LT(ours.capacity() - ours.size(), 64u) << "sized to the text";
    }
}

}  // namespace
}  // namespace kestrel
