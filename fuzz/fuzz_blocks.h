#pragma once
// A small block store made straight from fuzz input, for the targets that exercise one
// reader on a few blocks. The input's first byte picks the variant (bit 0: Ansi) and the
// encoding (bits 1-2, 3 counting as none); the rest is cut at every "BLK:" marker into
// chunks, each one block. A chunk's first byte says whether its BID is internal (bit 0);
// chunk i (from 0) gets BID 4 * (i + 1), plus 2 when internal, so that tree and subnode
// blocks can name one another with small, predictable BIDs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "storage/pst_context.h"

namespace kestrel::fuzz {

inline constexpr std::string_view kChunkMarker = "BLK:";
inline constexpr size_t kMaxChunks = 256;

// The input's chunks, marker-free, in order (at most kMaxChunks).
inline std::vector<std::span<const uint8_t>> SplitChunks(std::span<const uint8_t> input) {
    std::vector<std::span<const uint8_t>> chunks;
    const auto* marker = reinterpret_cast<const uint8_t*>(kChunkMarker.data());
    size_t start = 0;
    while (chunks.size() < kMaxChunks) {
        auto it = std::search(input.begin() + static_cast<ptrdiff_t>(start), input.end(), marker,
                              marker + kChunkMarker.size());
        const size_t end = static_cast<size_t>(it - input.begin());
        chunks.push_back(input.subspan(start, end - start));
        if (it == input.end()) break;
        start = end + kChunkMarker.size();
    }
    return chunks;
}

inline uint64_t ChunkBid(size_t index, bool internal) {
    return 4 * (uint64_t{index} + 1) + (internal ? 2 : 0);
}

struct FuzzBlocks {
    std::unique_ptr<PstContext> context = std::make_unique<PstContext>();
    std::vector<const BlockRecord*> records;  // one per chunk, in order
    size_t totalBytes = 0;                    // the bytes of every block together
};

struct BlockPlan {
    uint64_t bid;
    std::span<const uint8_t> bytes;
};

// Lays the blocks out in a memory image (64-byte aligned, like the file does) and indexes
// them. The context reads that image as its file; its header bytes mean nothing here, so
// variant and encoding are set from the arguments.
inline FuzzBlocks MakeBlockStore(const std::vector<BlockPlan>& plans, PstVariant variant,
                                 uint32_t cryptMethod) {
    FuzzBlocks out;
    std::vector<uint8_t> image(512, 0);
    std::vector<BlockRecord> records;
    for (const BlockPlan& plan : plans) {
        const size_t cb = std::min<size_t>(plan.bytes.size(), 0xFFFF);
        image.resize((image.size() + 63) / 64 * 64);
        records.push_back({plan.bid, image.size(), static_cast<uint16_t>(cb), 2});
        image.insert(image.end(), plan.bytes.begin(),
                     plan.bytes.begin() + static_cast<ptrdiff_t>(cb));
        out.totalBytes += cb;
    }
    OpenPstImage(*out.context, std::move(image));
    out.context->variant = variant;
    out.context->layout = PstLayout::For(variant);
    out.context->cryptMethod = cryptMethod;
    for (const BlockRecord& record : records)
        out.records.push_back(&out.context->blocks.Append(record));
    return out;
}

// The input read as described at the top.
inline FuzzBlocks MakeChunkStore(const uint8_t* data, size_t size) {
    if (size == 0) return MakeBlockStore({}, PstVariant::Unicode, 0);
    const uint8_t mode = data[0];
    const PstVariant variant = (mode & 1) ? PstVariant::Ansi : PstVariant::Unicode;
    const uint32_t crypt = ((mode >> 1) & 3) == 3 ? 0 : (mode >> 1) & 3;
    std::vector<BlockPlan> plans;
    size_t index = 0;
    for (std::span<const uint8_t> chunk : SplitChunks({data + 1, size - 1})) {
        const bool internal = !chunk.empty() && (chunk[0] & 1);
        plans.push_back({ChunkBid(index++, internal), chunk.empty() ? chunk : chunk.subspan(1)});
    }
    return MakeBlockStore(plans, variant, crypt);
}

}  // namespace kestrel::fuzz
