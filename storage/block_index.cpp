#include "storage/block_index.h"

namespace kestrel {

const BlockRecord& BlockIndex::Append(const BlockRecord& record) {
    records_.push_back(record);
    const BlockRecord& stored = records_.back();
    // Lookups clear bit 0, so a record stored with bit 0 set can never be the answer.
    if ((stored.bid & 1) == 0) firstByBid_.try_emplace(stored.bid, &stored);
    return stored;
}

const BlockRecord* BlockIndex::Find(uint64_t bid) const {
    uint64_t key = bid & ~uint64_t{1};
    if (key == 0 || records_.empty()) return nullptr;
    auto it = firstByBid_.find(key);
    return it == firstByBid_.end() ? nullptr : it->second;
}

void BlockIndex::Clear() {
    records_.clear();
    firstByBid_.clear();
}

}  // namespace kestrel
