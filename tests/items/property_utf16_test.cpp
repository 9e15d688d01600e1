// UTF-16LE strings from the file come out as UTF-8.
#include <gtest/gtest.h>

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
    const uint8_t odd[] = {'o'};
    EXPECT_EQ(NarrowUtf16(odd, 1), "");
    EXPECT_EQ(NarrowUtf16(odd, 0), "");
    EXPECT_EQ(NarrowUtf16(nullptr, 8), "");
    EXPECT_EQ(NarrowUtf16Length(nullptr, 8), 0u);
}

}  // namespace
}  // namespace kestrel
