#include "storage/block_index.h"

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
    const BlockRecord& stored = records_.back();
    // Lookups clear bit 0, so a record stored with bit 0 set can never be the answer.
    if ((stored.bid & kBidIgnoredBit) == 0) Index(&stored);
    return stored;
}

void BlockIndex::Index(const BlockRecord* record) {
    // At most three quarters full: probes stay short (the bid is in the slot) and always
    // meet an empty slot.
    if (4 * (indexed_ + 1) > 3 * slots_.size()) Grow();
    const size_t mask = slots_.size() - 1;
    for (size_t slot = SlotOf(record->bid, mask);; slot = (slot + 1) & mask) {
        if (slots_[slot].record == nullptr) {
            slots_[slot] = {record->bid, record};
            ++indexed_;
            return;
        }
        // The first record with the bid keeps the slot.
        if (slots_[slot].bid == record->bid) return;
    }
}

void BlockIndex::Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
    const size_t mask = slots_.size() - 1;
    for (const Slot& entry : old) {
        if (entry.record == nullptr) continue;
        size_t slot = SlotOf(entry.bid, mask);
        while (slots_[slot].record != nullptr) slot = (slot + 1) & mask;
        slots_[slot] = entry;
    }
}

const BlockRecord* BlockIndex::Find(uint64_t bid) const {
    const uint64_t key = BidKey(bid);
    if (key == 0 || slots_.empty()) return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t slot = SlotOf(key, mask); slots_[slot].record != nullptr;
         slot = (slot + 1) & mask) {
        if (slots_[slot].bid == key) return slots_[slot].record;
    }
    return nullptr;
}

void BlockIndex::Clear() {
    records_.clear();
    slots_.clear();
    slots_.shrink_to_fit();
    indexed_ = 0;
}

}  // namespace kestrel
