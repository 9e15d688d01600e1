#pragma once
// Blocks that 4 KB-page files store deflated: a zlib stream whose inflated size the block's
// entry records. The output never grows past that size, whatever the stream says.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrel {

// The most a block inflates to: its size field is 16 bits wide.
inline constexpr size_t kMaxInflatedBlock = 0xFFFF;

// Inflates stored into out, which then holds exactly inflatedSize bytes. False (out
// cleared) when the stream is damaged or truncated, or gives more or fewer bytes than
// inflatedSize, or inflatedSize is 0 or past kMaxInflatedBlock.
bool InflateBlock(std::span<const uint8_t> stored, size_t inflatedSize, std::vector<uint8_t>& out);

}  // namespace kestrel
