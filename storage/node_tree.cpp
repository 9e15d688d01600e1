#include "storage/node_tree.h"

namespace kestrel {

namespace {

// Takes record out of whatever list holds it, fixing its neighbours and the list ends.
void Detach(NodeRecord* record, NodeRecord*& topHead, NodeRecord*& topTail) {
    NodeRecord*& head = record->parent ? record->parent->firstChild : topHead;
    NodeRecord*& tail = record->parent ? record->parent->lastChild : topTail;
    if (record->prevSibling) record->prevSibling->nextSibling = record->nextSibling;
    if (record->nextSibling) record->nextSibling->prevSibling = record->prevSibling;
    if (head == record) head = record->nextSibling;
    if (tail == record) tail = record->prevSibling;
    record->prevSibling = nullptr;
    record->nextSibling = nullptr;
    record->parent = nullptr;
    record->topLevel = false;
}

size_t SlotOf(uint32_t nid, size_t mask) {
    return static_cast<size_t>((nid * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
}

}  // namespace

void NodeTree::Index(size_t position) {
    // A position must fit its 32 bits (plus one): past that a record is kept unindexed.
    if (position >= UINT32_MAX) return;
    // At most half full, so that probes stay short and always meet an empty slot. Growing
    // re-inserts in creation order, which keeps each nid's records in that order.
    if (2 * records_.size() > slots_.size()) {
        slots_.assign(slots_.empty() ? 64 : 2 * slots_.size(), 0);
        const size_t mask = slots_.size() - 1;
        for (size_t earlier = 0; earlier < position; ++earlier) {
            size_t slot = SlotOf(records_[earlier].nid, mask);
            while (slots_[slot] != 0) slot = (slot + 1) & mask;
            slots_[slot] = static_cast<uint32_t>(earlier + 1);
        }
    }
    const size_t mask = slots_.size() - 1;
    size_t slot = SlotOf(records_[position].nid, mask);
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<uint32_t>(position + 1);
}

template <typename Visit>
void NodeTree::ForEachWithNid(uint32_t nid, Visit visit) const {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    for (size_t slot = SlotOf(nid, mask); slots_[slot] != 0; slot = (slot + 1) & mask) {
        // The tree hands out its records for change; the lookup itself changes nothing.
        auto* record = const_cast<NodeRecord*>(&records_[slots_[slot] - 1]);
        if (record->nid == nid && visit(record)) return;
    }
}

void NodeTree::Prefetch(uint32_t nid) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[SlotOf(nid, slots_.size() - 1)]);
}

NodeRecord* NodeTree::Create(uint32_t nid) {
    NodeRecord& record = records_.emplace_back();
    record.nid = nid;
    Index(records_.size() - 1);
    return &record;
}

void NodeTree::AppendTop(NodeRecord* record) {
    if (!record) return;
    if (IsLinked(record)) Detach(record, topHead_, topTail_);
    record->topLevel = true;
    record->prevSibling = topTail_;
    if (topTail_)
        topTail_->nextSibling = record;
    else
        topHead_ = record;
    topTail_ = record;
    if (!record->reachable) MarkSubtree(record, true);
}

bool NodeTree::AppendChild(NodeRecord* parent, NodeRecord* child) {
    if (!parent || !child || parent == child) return false;
    // Only a record with children can have parent below it.
    if (child->firstChild && IsInSubtree(parent, child)) return false;
    if (IsLinked(child)) Detach(child, topHead_, topTail_);
    child->parent = parent;
    child->prevSibling = parent->lastChild;
    if (parent->lastChild)
        parent->lastChild->nextSibling = child;
    else
        parent->firstChild = child;
    parent->lastChild = child;
    ++parent->childCount;
    if (child->reachable != parent->reachable) MarkSubtree(child, parent->reachable);
    return true;
}

void NodeTree::Unlink(NodeRecord* record) {
    if (!record || !IsLinked(record)) return;
    Detach(record, topHead_, topTail_);
    if (record->reachable) MarkSubtree(record, false);
}

NodeRecord* NodeTree::Find(uint32_t nid) const {
    NodeRecord* first = nullptr;
    size_t reachable = 0;
    ForEachWithNid(nid, [&](NodeRecord* record) {
        if (!record->reachable) return false;
        if (!first) first = record;
        return ++reachable > 1;
    });
    if (reachable <= 1) return first;
    // Several reachable records share the nid: the walk order decides.
    NodeRecord* found = nullptr;
    for (NodeRecord* n = topHead_; n && !found;) {
        if (n->nid == nid) found = n;
        if (n->firstChild) {
            n = n->firstChild;
            continue;
        }
        while (n && !n->nextSibling) n = n->parent;
        if (n) n = n->nextSibling;
    }
    return found;
}

NodeRecord* NodeTree::FindAny(uint32_t nid) const {
    if (NodeRecord* found = Find(nid)) return found;
    NodeRecord* first = nullptr;
    ForEachWithNid(nid, [&](NodeRecord* record) {
        first = record;
        return true;
    });
    return first;
}

NodeRecord* NodeTree::FindByData(uint32_t nid, const BlockRecord* dataBlock) const {
    NodeRecord* found = nullptr;
    ForEachWithNid(nid, [&](NodeRecord* record) {
        if (record->dataBlock != dataBlock) return false;
        found = record;
        return true;
    });
    return found;
}

void NodeTree::ForEachReachable(const std::function<void(const NodeRecord&)>& visit) const {
    for (const NodeRecord* n = topHead_; n;) {
        visit(*n);
        if (n->firstChild) {
            n = n->firstChild;
            continue;
        }
        while (n && !n->nextSibling) n = n->parent;
        if (n) n = n->nextSibling;
    }
}

void NodeTree::Clear() {
    records_.clear();
    slots_.clear();
    slots_.shrink_to_fit();
    topHead_ = nullptr;
    topTail_ = nullptr;
    reachableCount_ = 0;
}

void NodeTree::MarkSubtree(NodeRecord* root, bool reachable) {
    for (NodeRecord* n = root; n;) {
        if (n->reachable != reachable) {
            n->reachable = reachable;
            if (reachable)
                ++reachableCount_;
            else
                --reachableCount_;
        }
        if (n->firstChild) {
            n = n->firstChild;
            continue;
        }
        while (n != root && !n->nextSibling) n = n->parent;
        if (n == root) break;
        n = n->nextSibling;
    }
}

bool NodeTree::IsInSubtree(const NodeRecord* node, const NodeRecord* root) const {
    // Parent links never form a cycle (AppendChild refuses one), but stay bounded anyway.
    size_t steps = records_.size() + 1;
    for (const NodeRecord* n = node; n && steps > 0; n = n->parent, --steps) {
        if (n == root) return true;
    }
    return false;
}

}  // namespace kestrel
