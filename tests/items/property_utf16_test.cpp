// UTF-16LE strings from the file come out as UTF-8.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "items/utf16.h"

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

TEST(NarrowUtf16, ScriptsSurrogatesAndTheFirstZeroUnit) {
    const std::string bad = "\ufffd";
    const std::pair<std::vector<uint8_t>, std::string> cases[] = {
        {Units({'H', 'i', 0x00E9, 0x00FC}), "Hié\u00fc"},
        {Units({0x041F, 0x0440, 0x03A9, 0x05E9, 0x65E5, 0x8A9E}), "ПрΩש日語"},
        {Units({0xFFFF}), "\uffff"},  // top of the BMP
        // Surrogate pairs: U+1F600, and the first and last planes' corners.
        {Units({0xD83D, 0xDE00}), "\U0001F600"},
        {Units({'a', 0xD800, 0xDC00, 'b'}), "a\U00010000b"},
        {Units({0xDBFF, 0xDFFF}), "\U0010FFFF"},
        // Unpaired: high at the end, high then no low, low alone, high then a pair.
        {Units({0xD83D}), bad},
        {Units({0xD83D, 'x'}), bad + "x"},
        {Units({0xDE00, 'x'}), bad + "x"},
        {Units({0xD83D, 0xD83D, 0xDE00}), bad + "\U0001F600"},
        // The text ends at the first zero unit, which is never paired across.
        {Units({0xD83D, 0, 0xDE00}), bad},
        {Units({'a', 'b', 0, 'c'}), "ab"},
        {Units({0, 'c'}), ""},
        {Units({0x0100, 'z'}), "\u0100z"},  // a zero low byte alone ends nothing
        {{'o', 0, 'k', 0, '!'}, "ok"},      // the half unit at the end carries nothing
    };
    for (const auto& [bytes, utf8] : cases) {
        EXPECT_EQ(NarrowUtf16(bytes.data(), bytes.size()), utf8) << utf8;
        EXPECT_EQ(NarrowUtf16Length(bytes.data(), bytes.size()), utf8.size()) << utf8;
    }
    // The same inside longer plain text, at every offset against eight- and 32-unit steps:
    // the measured length matches what conversion writes.
    const std::vector<uint8_t> plain =
        Units({'a', 0x00E9, 0x65E5, 'b', 0x07FF, 0x0800, 'c', 0xD7FF});
    const std::string plainUtf8 = "a\u00e9\u65e5b\u07ff\u0800c\ud7ff";
    for (const auto& [inner, utf8] : cases) {
        for (size_t offset = 0; offset <= 65; ++offset) {
            std::vector<uint8_t> bytes;
            for (size_t k = 0; k < offset; ++k)
                bytes.insert(bytes.end(), plain.begin(), plain.begin() + 2);
            bytes.insert(bytes.end(), inner.begin(), inner.end() - inner.size() % 2);
            for (int k = 0; k < 3; ++k) bytes.insert(bytes.end(), plain.begin(), plain.end());
            bool ended = false;  // by a zero unit
            for (size_t k = 0; k + 1 < inner.size(); k += 2) ended |= !inner[k] && !inner[k + 1];
            const std::string expected =
                std::string(offset, 'a') + utf8 + (ended ? "" : plainUtf8 + plainUtf8 + plainUtf8);
            EXPECT_EQ(NarrowUtf16(bytes.data(), bytes.size()), expected) << utf8 << offset;
            EXPECT_EQ(NarrowUtf16Length(bytes.data(), bytes.size()), expected.size())
                << utf8 << offset;
        }
    }
    // Long enough for the measuring lanes to be emptied on the way.
    std::vector<uint8_t> longText;
    std::string longUtf8;
    for (int k = 0; k < 50000; ++k) {
        longText.insert(longText.end(), plain.begin(), plain.end());
        longUtf8 += plainUtf8;
    }
    EXPECT_EQ(NarrowUtf16Length(longText.data(), longText.size()), longUtf8.size());
    EXPECT_EQ(NarrowUtf16(longText.data(), longText.size()), longUtf8);
    const uint8_t odd[] = {'o'};
    EXPECT_EQ(NarrowUtf16(odd, 1), "");
    EXPECT_EQ(NarrowUtf16(odd, 0), "");
    EXPECT_EQ(NarrowUtf16(nullptr, 8), "");
    EXPECT_EQ(NarrowUtf16Length(nullptr, 8), 0u);
}

// A short text is clean without unpaired surrogates and non-characters, wherever they
// sit against eight- and 32-unit steps; what follows the first zero unit does not count.
TEST(NarrowUtf16, CleanTextWhereverTheBadUnitSits) {
    for (uint16_t badUnit :
         {uint16_t{0xDC00}, uint16_t{0xD800}, uint16_t{0xFFFE}, uint16_t{0xFDD0}}) {
        for (size_t at = 0; at < 68; ++at) {
            std::vector<uint16_t> units(72, 0x00E9);
            units[at] = badUnit;
            std::vector<uint8_t> bytes;
            for (uint16_t u : units)
                bytes.insert(bytes.end(), {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)});
            EXPECT_FALSE(IsCleanUtf16(bytes)) << badUnit << " at " << at;
            units[at] = 0;
            units[at + 1] = badUnit;
            bytes.clear();
            for (uint16_t u : units)
                bytes.insert(bytes.end(), {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)});
            EXPECT_TRUE(IsCleanUtf16(bytes)) << badUnit << " after a zero at " << at;
        }
    }
}

// A text measured in pieces, cut anywhere (inside a unit, between the halves of a pair),
// measures as the whole.
TEST(NarrowUtf16, MeasuredInPiecesAsTheWhole) {
    std::vector<std::vector<uint8_t>> texts = {
        Units({'a', 0xD83D, 0xDE00, 0x00E9, 0xD83D, 'x', 0xDE00, 0x65E5, 0xD83D}),
        Units({'a', 'b', 0xD800, 0xDC00, 0, 'c', 0xD83D}),
        {'o', 0, 'k', 0, '!'},
        {}};
    std::vector<uint8_t> longText;
    for (int k = 0; k < 3000; ++k)
        longText.insert(longText.end(), texts[0].begin(), texts[0].end());
    texts.push_back(longText);
    std::mt19937 random(7);
    for (const auto& text : texts) {
        const size_t whole = NarrowUtf16Length(text.data(), text.size());
        for (int round = 0; round < 200; ++round) {
            Utf16LengthCounter counter;
            for (size_t at = 0; at < text.size();) {
                // Mostly short pieces, odd sizes included; now and then an empty one.
                const size_t size =
                    std::min<size_t>(text.size() - at, random() % (round % 2 ? 9 : 900));
                counter.Add(std::span(text).subspan(at, size));
                at += size;
            }
            ASSERT_EQ(counter.Finish(), whole) << text.size() << " round " << round;
        }
    }
}

}  // namespace
}  // namespace kestrel
