// Long texts through the converters: well-formed runs copied whole around the bytes that
// are replaced, and UTF-16 read the same by our converter and by iconv.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>

#include <random>
#include <string>
#include <vector>

#include "items/code_page.h"
#include "items/property_parser.h"
#include "items/utf16.h"

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

// iconv over the whole text, a refused byte replaced and stepped over: what the converter
// did for every code page before single-byte ones were read through a table.
std::string IconvReference(const std::vector<uint8_t>& bytes, const char* name) {
    iconv_t cd = iconv_open("UTF-8", name);
    if (cd == reinterpret_cast<iconv_t>(-1)) return "no converter";
    std::string out;
    char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
    size_t inLeft = bytes.size();
    char buffer[256];
    while (inLeft > 0) {
        char* at = buffer;
        size_t outLeft = sizeof buffer;
        const size_t result = iconv(cd, &in, &inLeft, &at, &outLeft);
        out.append(buffer, static_cast<size_t>(at - buffer));
        if (result != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) continue;
        out += kFffd;
        if (errno == EINVAL) break;
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // A character held back for a combining mark that never came (Windows-1255, -1258).
    char* at = buffer;
    size_t outLeft = sizeof buffer;
    if (iconv(cd, nullptr, nullptr, &at, &outLeft) != static_cast<size_t>(-1)) {
        out.append(buffer, static_cast<size_t>(at - buffer));
    }
    iconv_close(cd);
    return out;
}

TEST(TextConversion, SingleByteCodePagesReadAsIconvReadsThem) {
    struct Page {
        uint32_t codePage;
        const char* name;
    };
    const Page pages[] = {{437, "CP437"},        {850, "CP850"},         {866, "CP866"},
                          {874, "CP874"},        {1250, "CP1250"},       {1251, "CP1251"},
                          {1252, "CP1252"},      {1253, "CP1253"},       {1254, "CP1254"},
                          {1255, "CP1255"},      {1256, "CP1256"},       {1257, "CP1257"},
                          {1258, "CP1258"},      {20866, "KOI8-R"},      {28592, "ISO-8859-2"},
                          {28595, "ISO-8859-5"}, {28605, "ISO-8859-15"}, {10000, "MACINTOSH"}};
    std::mt19937 random(3);
    for (const Page& page : pages) {
        for (size_t size : {1u, 5u, 300u, 5000u}) {
            std::vector<uint8_t> bytes(size);
            for (auto& b : bytes) b = static_cast<uint8_t>(random());
            EXPECT_EQ(ConvertToUtf8(bytes, page.codePage), IconvReference(bytes, page.name))
                << page.name << " " << size;
        }
        // Every byte value once, in order.
        std::vector<uint8_t> all(256);
        for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
        EXPECT_EQ(ConvertToUtf8(all, page.codePage), IconvReference(all, page.name)) << page.name;
    }
}

}  // namespace
}  // namespace kestrel
