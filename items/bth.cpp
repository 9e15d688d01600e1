#include "items/bth.h"

#include <array>
#include <unordered_set>

namespace kestrel {

namespace {

// The HIDs a walk met: the first few in place (most trees are one or a few allocations),
// any more in a set.
class SeenHids {
  public:
    // False when hid was met already.
    bool Insert(uint32_t hid) {
        for (size_t i = 0; i < count_; ++i) {
            if (few_[i] == hid) return false;
        }
        if (count_ < few_.size()) {
            few_[count_++] = hid;
            return true;
        }
        return more_.insert(hid).second;
    }

  private:
    std::array<uint32_t, 16> few_{};
    size_t count_ = 0;
    std::unordered_set<uint32_t> more_;
};

struct BthWalk {
    const HeapOnNode& heap;
    const BthHeader& header;
    const BthVisitor& visit;
    SeenHids seen;
    size_t visited = 0;
    bool stopped = false;

    void Node(uint32_t hid, unsigned level) {
        if (stopped || !seen.Insert(hid)) return;
        const auto allocation = heap.Allocation(hid);
        if (!allocation) return;
        const size_t keySize = header.cbKey;
        if (level == 0) {
            const size_t recordSize = keySize + header.cbEnt;
            for (size_t at = 0; allocation->Has(at, recordSize); at += recordSize) {
                ++visited;
                if (!visit(allocation->Sub(at, keySize),
                           allocation->Sub(at + keySize, header.cbEnt))) {
                    stopped = true;
                    return;
                }
            }
            return;
        }
        const size_t recordSize = keySize + 4;
        for (size_t at = 0; allocation->Has(at, recordSize) && !stopped; at += recordSize) {
            Node(*allocation->U32(at + keySize), level - 1);
        }
    }
};

}  // namespace

std::optional<BthHeader> ReadBthHeader(const HeapOnNode& heap, uint32_t hid) {
    const auto allocation = heap.Allocation(hid);
    if (!allocation || !allocation->Has(0, 8)) return std::nullopt;
    if (*allocation->U8(0) != kBthSignature) return std::nullopt;
    BthHeader header;
    header.cbKey = *allocation->U8(1);
    header.cbEnt = *allocation->U8(2);
    header.bIdxLevels = *allocation->U8(3);
    header.hidRoot = *allocation->U32(4);
    const bool keyOk =
        header.cbKey == 2 || header.cbKey == 4 || header.cbKey == 8 || header.cbKey == 16;
    if (!keyOk || header.cbEnt == 0 || header.cbEnt > 32 ||
        header.bIdxLevels > kMaxBthIndexLevels) {
        return std::nullopt;
    }
    return header;
}

size_t WalkBth(const HeapOnNode& heap, const BthHeader& header, const BthVisitor& visit) {
    if (header.hidRoot == 0) return 0;
    BthWalk walk{heap, header, visit, {}, 0, false};
    walk.Node(header.hidRoot, header.bIdxLevels);
    return walk.visited;
}

}  // namespace kestrel
