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

}  // namespace

NodeRecord* NodeTree::Create(uint32_t nid) {
    NodeRecord& record = records_.emplace_back();
    record.nid = nid;
    byNid_[nid].push_back(&record);
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
    auto it = byNid_.find(nid);
    if (it == byNid_.end()) return nullptr;
    NodeRecord* first = nullptr;
    size_t reachable = 0;
    for (NodeRecord* record : it->second) {
        if (!record->reachable) continue;
        if (!first) first = record;
        ++reachable;
    }
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
    auto it = byNid_.find(nid);
    return it == byNid_.end() || it->second.empty() ? nullptr : it->second.front();
}

NodeRecord* NodeTree::FindByData(uint32_t nid, const BlockRecord* dataBlock) const {
    auto it = byNid_.find(nid);
    if (it == byNid_.end()) return nullptr;
    for (NodeRecord* record : it->second) {
        if (record->dataBlock == dataBlock) return record;
    }
    return nullptr;
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
    byNid_.clear();
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
