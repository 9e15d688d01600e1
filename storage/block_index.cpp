#include "storage/block_index.h"

#include <cstdint>

#include "storage/nid.h"

namespace kestrel {

namespace {

// The table grows by half, not double, so that it ends between half and three quarters
// full (4 bytes a slot): its size is no power of two, and a slot is found by scaling the
// hash to the size instead of masking it.
size_t SlotOf(uint64_t key, size_t size) {
    // BIDs step by four: a multiplicative hash spreads them over its high bits.
    const uint64_t hash = key * 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>((static_cast<unsigned __int128>(hash) * size) >> 64);
}

size_t NextSlot(size_t slot, size_t size) {
    return slot + 1 == size ? 0 : slot + 1;
}

}  // namespace

const BlockRecord& BlockIndex::Append(const BlockRecord& record) {
    records_.push_back(record);
    // Lookups clear bit 0, so a record stored with bit 0 set can never be the answer.
    if ((record.bid & kBidIgnoredBit) == 0 && !deferred_) Index(records_.size() - 1);
    return records_.back();
}

void BlockIndex::BuildDeferredLookup() {
    if (!deferred_) return;
    deferred_ = false;
    // Room for every record at most three quarters full, as Index keeps it.
    slots_.assign(64 + records_.size() + records_.size() / 3, 0);
    indexed_ = 0;
    // In list order, so that the first record with a bid keeps the slot as before.
    // The slots are met in random order: each is asked for a few records ahead of its use.
    constexpr size_t kAhead = 16;
    const size_t size = slots_.size();
    for (size_t position = 0; position < records_.size(); ++position) {
        if (position + kAhead < records_.size())
            __builtin_prefetch(&slots_[SlotOf(records_[position + kAhead].bid, size)], 1);
        if ((records_[position].bid & kBidIgnoredBit) == 0) Index(position);
    }
}

void BlockIndex::Index(size_t position) {
    // A position must fit its 32 bits (plus one): past that a record is kept unindexed,
    // which no file of a few hundred GB reaches.
    if (position >= UINT32_MAX) return;
    // At most three quarters full: probes stay short and always meet an empty slot.
    if (4 * (indexed_ + 1) > 3 * slots_.size()) Grow();
    const uint64_t bid = records_[position].bid;
    const size_t size = slots_.size();
    for (size_t slot = SlotOf(bid, size);; slot = NextSlot(slot, size)) {
        uint32_t& entry = slots_[slot];
        if (entry == 0) {
            entry = static_cast<uint32_t>(position + 1);
            ++indexed_;
            return;
        }
        // The first record with the bid keeps the slot.
        if (records_[entry - 1].bid == bid) return;
    }
}

void BlockIndex::Grow() {
    std::vector<uint32_t> old = std::move(slots_);
    const size_t size = old.empty() ? 64 : old.size() + old.size() / 2;
    slots_.assign(size, 0);
    for (const uint32_t entry : old) {
        if (entry == 0) continue;
        size_t slot = SlotOf(records_[entry - 1].bid, size);
        while (slots_[slot] != 0) slot = NextSlot(slot, size);
        slots_[slot] = entry;
    }
}

const BlockRecord* BlockIndex::Find(uint64_t bid) const {
    const uint64_t key = BidKey(bid);
    if (key == 0 || slots_.empty()) return nullptr;
    const size_t size = slots_.size();
    for (size_t slot = SlotOf(key, size); slots_[slot] != 0; slot = NextSlot(slot, size)) {
        const BlockRecord& record = records_[slots_[slot] - 1];
        if (record.bid == key) return &record;
    }
    return nullptr;
}

void BlockIndex::Prefetch(uint64_t bid) const {
    const uint64_t key = BidKey(bid);
    if (key == 0 || slots_.empty()) return;
    __builtin_prefetch(&slots_[SlotOf(key, slots_.size())]);
}

void BlockIndex::PrefetchRecord(uint64_t bid) const {
    const uint64_t key = BidKey(bid);
    if (key == 0 || slots_.empty()) return;
    const uint32_t entry = slots_[SlotOf(key, slots_.size())];
    if (entry != 0) __builtin_prefetch(&records_[entry - 1]);
}

void BlockIndex::Clear() {
    records_.clear();
    slots_.clear();
    slots_.shrink_to_fit();
    indexed_ = 0;
    deferred_ = false;
}

}  // namespace kestrel
