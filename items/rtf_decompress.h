#pragma once
// The formatted body of a message (property 0x1009) is kept as compressed RTF: a 16-byte
// header followed by either the raw RTF ("MELA") or an LZ77 stream over a 4 KB ring
// dictionary ("LZFu"). This expands such a value into the RTF text.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace kestrel {

struct RtfDecompressResult {
    bool ok = false;           // a value was recognised and decoded (fully or to its end)
    bool compressed = false;   // LZFu (true) or MELA (false)
    bool crcMismatch = false;  // noted, the text is kept
    std::string rtf;           // the RTF text
};

// Expands a compressed-RTF property value. A truncated or damaged value gives what could
// be decoded before the damage; the text never exceeds the header's raw size nor what the
// compressed bytes can expand to.
RtfDecompressResult DecompressRtf(std::span<const uint8_t> value);

// DecompressRtf(value).ok, without expanding more than the first byte of text.
bool RtfDecodes(std::span<const uint8_t> value);

// Writes the decoded RTF to outputPath (created or truncated, buffered writes).
// 0 on success, 1 on failure (nothing decodable, or the file cannot be written).
// The caller chooses the path (the per-user cache folder); nothing here picks one.
int DecompressRtfToFile(std::span<const uint8_t> value, const std::filesystem::path& outputPath);

// The checksum the LZFu header carries over the compressed bytes: the usual CRC-32 table,
// but started at 0 and not inverted at the end.
uint32_t RtfCrc(std::span<const uint8_t> bytes);

}  // namespace kestrel
