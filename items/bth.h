#pragma once
// A B-tree on a heap: an 8-byte header naming the key and record widths, the number of
// index levels and the root allocation. Leaf allocations hold key + data records; index
// allocations hold key + HID of the level below.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "items/heap_on_node.h"

namespace kestrel {

inline constexpr uint8_t kBthSignature = 0xB5;
// Deeper trees than this do not occur in real files; a header that claims more is damaged.
inline constexpr uint8_t kMaxBthIndexLevels = 8;

struct BthHeader {
    uint8_t cbKey = 0;       // 2, 4, 8 or 16
    uint8_t cbEnt = 0;       // 1 to 32
    uint8_t bIdxLevels = 0;  // 0: the root is a leaf
    uint32_t hidRoot = 0;    // 0: the tree is empty
};

// The header at hid, when its signature and widths check out.
std::optional<BthHeader> ReadBthHeader(const HeapOnNode& heap, uint32_t hid);

// Calls visit(key, data) for every leaf record in tree order; visit returns false to stop.
// Every allocation is visited at most once, so a damaged index cannot loop or fan out.
// Returns the number of records visited.
using BthVisitor = std::function<bool(ByteReader key, ByteReader data)>;
size_t WalkBth(const HeapOnNode& heap, const BthHeader& header, const BthVisitor& visit);

}  // namespace kestrel
