#include "items/rtf_decompress.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <string_view>

#include "storage/byte_reader.h"

namespace kestrel {
namespace {

constexpr uint32_t kMagicCompressed = 0x75465A4C;    // "LZFu"
constexpr uint32_t kMagicUncompressed = 0x414C454D;  // "MELA"
constexpr size_t kHeaderSize = 16;
// cbSize counts the content plus the three header fields after it.
constexpr size_t kSizeFieldsCounted = 12;

constexpr size_t kDictionarySize = 4096;
constexpr size_t kDictionaryMask = kDictionarySize - 1;
constexpr std::string_view kInitialDictionary =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern "
    "\\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0"
    "\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
static_assert(kInitialDictionary.size() == 207);

// A control byte and eight 2-byte references (17 bytes) expand to at most 8 x 17 bytes; a
// short last run expands a little more per byte. Nine times the input is a safe ceiling, so
// a damaged raw size never makes us reserve more than the value can give.
constexpr size_t kMaxExpansion = 9;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

// Expands the LZFu token stream into out[0, limit) until the end marker, the limit, or the
// end of the bytes.
struct LzfuOutcome {
    size_t size = 0;         // bytes written
    bool endMarker = false;  // the end marker was met
};
LzfuOutcome DecodeLzfu(const ByteReader& content, size_t limit, char* out) {
    std::array<uint8_t, kDictionarySize> dictionary{};
    std::copy(kInitialDictionary.begin(), kInitialDictionary.end(), dictionary.begin());
    size_t writePos = kInitialDictionary.size();
    size_t size = 0;
    auto put = [&](uint8_t byte) {
        dictionary[writePos] = byte;
        writePos = (writePos + 1) & kDictionaryMask;
        out[size++] = static_cast<char>(byte);
    };

    size_t in = 0;
    while (size < limit) {
        const auto control = content.U8(in++);
        if (!control)
            return {size, false};  // bytes used up without an end marker: keep what we have
        for (int bit = 0; bit < 8 && size < limit; ++bit) {
            if ((*control & (1u << bit)) == 0) {
                const auto literal = content.U8(in++);
                if (!literal) return {size, false};
                put(*literal);
                continue;
            }
            const auto high = content.U8(in);
            const auto low = content.U8(in + 1);
            if (!high || !low) return {size, false};
            in += 2;
            const size_t word = (size_t{*high} << 8) | *low;
            const size_t offset = word >> 4;
            const size_t length = (word & 0xF) + 2;
            if (offset == writePos) return {size, true};
            // One byte at a time: a reference may run into the bytes it is writing.
            for (size_t k = 0; k < length && size < limit; ++k) {
                put(dictionary[(offset + k) & kDictionaryMask]);
            }
        }
    }
    return {size, false};
}

}  // namespace

uint32_t RtfCrc(std::span<const uint8_t> bytes) {
    uint32_t crc = 0;
    for (uint8_t byte : bytes) crc = kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return crc;
}

namespace {

// DecompressRtf with the text cut at maxText bytes; the checksum only when checked.
RtfDecompressResult Expand(std::span<const uint8_t> value, size_t maxText, bool checkCrc) {
    RtfDecompressResult result;
    const ByteReader reader(value);
    const auto compSize = reader.U32(0);
    const auto rawSize = reader.U32(4);
    const auto magic = reader.U32(8);
    const auto crc = reader.U32(12);
    if (!compSize || !rawSize || !magic || !crc) return result;

    if (*magic == kMagicUncompressed) {
        // Stored as is: the raw size bounds the copy, padding after it is not text.
        const ByteReader raw = reader.Sub(kHeaderSize, std::min<size_t>(*rawSize, maxText));
        if (raw.size() > 0)
            result.rtf.assign(reinterpret_cast<const char*>(raw.data()), raw.size());
        result.ok = !result.rtf.empty() || *rawSize == 0;
        return result;
    }
    // Any other magic means the header itself is damaged or this is not compressed RTF at
    // all. Every byte string is a valid token stream, so "decoding" it would always succeed
    // and hand the preview and the export garbage dressed up as a body.
    if (*magic != kMagicCompressed) return result;

    result.compressed = true;
    const size_t contentSize = *compSize >= kSizeFieldsCounted ? *compSize - kSizeFieldsCounted : 0;
    const ByteReader content = reader.Sub(kHeaderSize, contentSize);
    // A value cut short cannot match its checksum, whatever the bytes left say.
    result.crcMismatch =
        checkCrc && (content.size() != contentSize || RtfCrc(content.span()) != *crc);

    const size_t limit = std::min({size_t{*rawSize}, content.size() * kMaxExpansion, maxText});
    // Written in place into the largest text the value can give, then cut to what it gave.
    result.rtf.resize(limit);
    const LzfuOutcome decoded = DecodeLzfu(content, limit, result.rtf.data());
    result.rtf.resize(decoded.size);
    result.ok = decoded.endMarker || !result.rtf.empty() || *rawSize == 0;
    return result;
}

}  // namespace

RtfDecompressResult DecompressRtf(std::span<const uint8_t> value) {
    return Expand(value, SIZE_MAX, true);
}

bool RtfDecodes(std::span<const uint8_t> value) {
    // Whether anything decodes is settled by the first token: one byte of text tells.
    return Expand(value, 1, false).ok;
}

int DecompressRtfToFile(std::span<const uint8_t> value, const std::filesystem::path& outputPath) {
    const RtfDecompressResult result = DecompressRtf(value);
    if (!result.ok) return 1;  // leave an earlier message's file alone
    std::ofstream out(outputPath, std::ios::binary | std::ios::trunc);
    if (!out) return 1;
    out.write(result.rtf.data(), static_cast<std::streamsize>(result.rtf.size()));
    out.close();
    return out.fail() ? 1 : 0;
}

}  // namespace kestrel
