#include "items/rtf_decompress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

void PutU32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A value with a consistent header (cbSize, checksum) around the given content.
Bytes Value(uint32_t magic, uint32_t rawSize, const Bytes& content) {
    Bytes out;
    PutU32(out, static_cast<uint32_t>(content.size() + 12));
    PutU32(out, rawSize);
    PutU32(out, magic);
    PutU32(out, magic == 0x75465A4C ? RtfCrc(content) : 0);
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

constexpr uint32_t kLzfu = 0x75465A4C;
constexpr uint32_t kMela = 0x414C454D;

// The two worked examples published with the format, byte for byte.
const Bytes kHelloWorld =
    Hex("2d0000002b0000004c5a4675f1c5c7a703000a0072637067313235423"
        "20af32068656c090020627705b06c647d0a800fa0");
const std::string kHelloWorldText = "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n";
const Bytes kCrossing = Hex("1a0000001c0000004c5a4675e2d44b51410004205758595a0d6e7d010eb0");
const std::string kCrossingText = "{\\rtf1 WXYZWXYZWXYZWXYZWXYZ}";

TEST(RtfDecompress, PublishedExamplesDecodeExactly) {
    for (const auto& [value, text] :
         {std::pair{kHelloWorld, kHelloWorldText}, std::pair{kCrossing, kCrossingText}}) {
        const auto r = DecompressRtf(value);
        EXPECT_TRUE(r.ok);
        EXPECT_TRUE(r.compressed);
        EXPECT_FALSE(r.crcMismatch);
        EXPECT_EQ(r.rtf, text);  // nothing lost at the end, nothing appended
    }
    EXPECT_EQ(RtfCrc(std::span(kHelloWorld).subspan(16)), 0xA7C7C5F1u);
}

TEST(RtfDecompress, ReferenceIntoInitialDictionary) {
    // Offset 0, length nibble 4 (6 bytes), then the end marker at write position 213.
    const Bytes content = {0x03, 0x00, 0x04, 0x0D, 0x50};
    EXPECT_EQ(DecompressRtf(Value(kLzfu, 6, content)).rtf, "{\\rtf1");
    // The raw size stops a reference midway; without an end marker the bytes' end does.
    EXPECT_EQ(DecompressRtf(Value(kLzfu, 4, content)).rtf, "{\\rt");
    const auto open = DecompressRtf(Value(kLzfu, 1000, {0x01, 0x00, 0x04}));
    EXPECT_TRUE(open.ok);
    EXPECT_EQ(open.rtf, "{\\rtf1");
}

TEST(RtfDecompress, WritePositionWrapsAroundTheRing) {
    std::string literals;
    Bytes content;
    for (int i = 0; i < 5000; ++i) {
        if (i % 8 == 0) content.push_back(0x00);
        literals.push_back(static_cast<char>(i % 251));
        content.push_back(static_cast<uint8_t>(i % 251));
    }
    // Literal 4500 sits at (207 + 4500) mod 4096 = 611; the write position ends at 1121.
    content.insert(content.end(), {0x03, 0x26, 0x38, 0x46, 0x10});
    const auto r = DecompressRtf(Value(kLzfu, 0xFFFFFFFF, content));
    EXPECT_EQ(r.rtf, literals + literals.substr(4500, 10));
    EXPECT_FALSE(r.crcMismatch);
}

TEST(RtfDecompress, UncompressedValueIsCopied) {
    const std::string text = "{\\rtf1\\ansi stored as is}";
    Bytes content(text.begin(), text.end());
    content.insert(content.end(), {0, 0, 0});  // padding after the raw size is no text
    const auto r = DecompressRtf(Value(kMela, static_cast<uint32_t>(text.size()), content));
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.compressed);
    EXPECT_EQ(r.rtf, text);
    // A raw size beyond the value gives the bytes that are there.
    EXPECT_EQ(DecompressRtf(Value(kMela, 1000, content)).rtf.size(), content.size());
    EXPECT_FALSE(DecompressRtf(Value(kMela, 10, {})).ok);
}

TEST(RtfDecompress, BadChecksumIsNotedAndTextKept) {
    Bytes value = kHelloWorld;
    value[12] ^= 0xFF;
    auto r = DecompressRtf(value);
    EXPECT_TRUE(r.ok && r.crcMismatch);
    EXPECT_EQ(r.rtf, kHelloWorldText);
    value = kHelloWorld;
    value[22] ^= 0x01;  // the literal 'p' of "ansicpg" becomes 'q': decoded anyway, flagged
    r = DecompressRtf(value);
    EXPECT_TRUE(r.ok && r.crcMismatch);
    EXPECT_EQ(r.rtf, "{\\rtf1\\ansi\\ansicqg1252\\pard hello world}\r\n");
}

TEST(RtfDecompress, RawSizeCannotInflateOutput) {
    // Every token a 17-byte reference and no end marker: the most a value can give.
    Bytes content;
    for (int run = 0; run < 10; ++run) {
        content.push_back(0xFF);
        for (int t = 0; t < 8; ++t) content.insert(content.end(), {0x00, 0x0F});
    }
    const Bytes value = Value(kLzfu, 0xFFFFFFFF, content);
    const auto r = DecompressRtf(value);
    EXPECT_EQ(r.rtf.size(), 10u * 8 * 17);
    EXPECT_LE(r.rtf.size(), 9 * value.size());
    Bytes shortRaw = kHelloWorld;
    shortRaw[4] = 10;
    EXPECT_EQ(DecompressRtf(shortRaw).rtf, kHelloWorldText.substr(0, 10));
}

// Cut short, garbled or of an unknown kind: never more than the value can give.
TEST(RtfDecompress, DamagedValuesGiveAPrefixOrNothing) {
    Bytes unknown = kHelloWorld;
    unknown[8] = 'X';
    EXPECT_FALSE(DecompressRtf(unknown).ok);
    EXPECT_FALSE(DecompressRtf({}).ok);
    for (const auto& [value, text] :
         {std::pair{kHelloWorld, kHelloWorldText}, std::pair{kCrossing, kCrossingText}}) {
        for (size_t length = 0; length < value.size(); ++length) {
            SCOPED_TRACE(length);
            const auto r = DecompressRtf(std::span(value).first(length));
            EXPECT_EQ(r.ok, length >= 16 && !r.rtf.empty());  // 16: the header
            EXPECT_TRUE(text.starts_with(r.rtf));
            if (length >= 16) {
                EXPECT_TRUE(r.crcMismatch);
            }
        }
    }
    std::mt19937 rng(20240611);
    for (int round = 0; round < 3000; ++round) {
        Bytes value(rng() % 400);
        for (auto& b : value) b = static_cast<uint8_t>(rng());
        if (value.size() >= 16 && round % 3 != 0) {
            const uint32_t magic = round % 3 == 1 ? kLzfu : kMela;
            for (int i = 0; i < 4; ++i) value[8 + i] = static_cast<uint8_t>(magic >> (8 * i));
        }
        const auto r = DecompressRtf(value);
        if (!r.ok) continue;
        const uint32_t rawSize =
            value[4] | value[5] << 8 | value[6] << 16 | uint32_t{value[7]} << 24;
        EXPECT_LE(r.rtf.size(), rawSize);
        EXPECT_LE(r.rtf.size(), 9 * value.size());
    }
}

TEST(RtfDecompress, FileGetsTheSameBytes) {
    const auto dir =
        std::filesystem::temp_directory_path() /
        ("kestrel_rtf_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir);
    const auto path = dir / "body.rtf";
    auto read = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::ofstream(path) << std::string(500, 'x');  // a longer earlier body is replaced
    ASSERT_EQ(DecompressRtfToFile(kHelloWorld, path), 0);
    EXPECT_EQ(read(), kHelloWorldText);
    Bytes bad = kCrossing;
    bad[8] = 0;
    EXPECT_EQ(DecompressRtfToFile(bad, path), 1);
    EXPECT_EQ(read(), kHelloWorldText);
    EXPECT_EQ(DecompressRtfToFile(kCrossing, dir / "missing" / "body.rtf"), 1);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrel
