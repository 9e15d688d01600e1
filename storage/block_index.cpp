#include "storage/block_index.h"

#include <cstdint>

#include "storage/nid.h"

namespace kestrel {

namespace {

size_t SlotOf(uint64_t key, size_t mask) {
    // BIDs step by four: a multiplicative hash spreads them over the table.
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
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
    size_t size = 64;
    while (3 * size < 4 * (records_.size() + 1)) size *= 2;
    slots_.assign(size, Slot{});
    indexed_ = 0;
    // In list order, so that the first record with a bid keeps the slot as before.
    for (size_t position = 0; position < records_.size(); ++position) {
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
    const size_t mask = slots_.size() - 1;
    for (size_t slot = SlotOf(bid, mask);; slot = (slot + 1) & mask) {
        Slot& entry = slots_[slot];
        if (entry.position == 0) {
            entry = {Tag(bid), static_cast<uint32_t>(position + 1)};
            ++indexed_;
            return;
        }
        // The first record with the bid keeps the slot.
        if (entry.tag == Tag(bid) && records_[entry.position - 1].bid == bid) return;
    }
}

void BlockIndex::Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
    const size_t mask = slots_.size() - 1;
    for (const Slot& entry : old) {
        if (entry.position == 0) continue;
        size_t slot = SlotOf(records_[entry.position - 1].bid, mask);
        while (slots_[slot].position != 0) slot = (slot + 1) & mask;
        slots_[slot] = entry;
    }
}

const BlockRecord* BlockIndex::Find(uint64_t bid) const {
    const uint64_t key = BidKey(bid);
    if (key == 0 || slots_.empty()) return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t slot = SlotOf(key, mask); slots_[slot].position != 0; slot = (slot + 1) & mask) {
        const Slot& entry = slots_[slot];
        if (entry.tag != Tag(key)) continue;
        const BlockRecord& record = records_[entry.position - 1];
        if (record.bid == key) return &record;
    }
    return nullptr;
}

void BlockIndex::Clear() {
    records_.clear();
    slots_.clear();
    slots_.shrink_to_fit();
    indexed_ = 0;
    deferred_ = false;
}

}  // namespace kestrel
