#pragma once
// The block index: every accepted block-tree leaf entry, in the order the pages and
// entries were accepted. Records never move, so pointers to them stay valid.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage/stable_list.h"

namespace kestrel {

// A 64-bit value kept as two 32-bit halves, so that a record holding it needs only 4-byte
// alignment; it reads and assigns as a uint64_t (a reference to it binds to a copy).
class Split64 {
  public:
    constexpr Split64(uint64_t value = 0)
        : low_(static_cast<uint32_t>(value)), high_(static_cast<uint32_t>(value >> 32)) {}
    constexpr operator uint64_t() const { return uint64_t{high_} << 32 | low_; }

  private:
    uint32_t low_;
    uint32_t high_;
};

// 20 bytes, where 64-bit fields would pad it to 24: a 1 GB file holds half a million
// records. The block's reference count is not kept: nothing reads it.
struct BlockRecord {
    Split64 bid = 0;  // as read (bit 0 not cleared)
    Split64 ib = 0;   // file offset of the block
    uint16_t cb = 0;  // byte count
    // The size the block inflates to when it is stored deflated (above cb); cb: stored as it
    // is, and so is 0 in a layout without inflated sizes. Below cb it is damage: the block
    // reads as nothing.
    uint16_t cbInflated = 0;
};
static_assert(sizeof(BlockRecord) == 20);

// True when the record's block is stored deflated.
inline bool IsCompressed(const BlockRecord& record) {
    return record.cbInflated > record.cb;
}

// The bytes a whole read of the record's block gives.
inline uint32_t BlockDataSize(const BlockRecord& record) {
    return IsCompressed(record) ? record.cbInflated : record.cb;
}

class BlockIndex {
  public:
    // Appends a record at the tail.
    const BlockRecord& Append(const BlockRecord& record);

    // Between these two, Append only keeps records and Find must not be called; the lookup
    // is then built once for all of them, at its final size, instead of growing by
    // doubling while a whole block tree is loaded.
    void DeferLookup() { deferred_ = true; }
    void BuildDeferredLookup();

    // FindBlock's answer: null for BID 0 and an empty index; otherwise the first record in
    // list order whose bid equals the BID with bit 0 cleared.
    const BlockRecord* Find(uint64_t bid) const;
    // Starts loading the slot a Find of bid looks at first, so that a caller with several
    // lookups to make has their cache misses overlap instead of waiting for each in turn.
    void Prefetch(uint64_t bid) const;
    // Then, once the slot has come, the record its first slot names.
    void PrefetchRecord(uint64_t bid) const;

    size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const BlockRecord* head() const { return records_.empty() ? nullptr : &records_.front(); }
    const BlockRecord* tail() const { return records_.empty() ? nullptr : &records_.back(); }
    auto begin() const { return records_.begin(); }
    auto end() const { return records_.end(); }
    void Clear();

  private:
    // Adds the record at position to the lookup unless a record with its bid is there already.
    void Index(size_t position);
    void Grow();

    StableList<BlockRecord> records_;
    // Open addressing keyed by bid instead of a map node per record, where a 1 GB file
    // holds 300,000 to 500,000 records. A slot keeps the record's position in records_ plus
    // one (0: empty); a probe reads the record it names to compare bids.
    std::vector<uint32_t> slots_;
    size_t indexed_ = 0;
    bool deferred_ = false;
};

}  // namespace kestrel
