#pragma once
// The node tree: one record per accepted node-tree leaf entry, linked under its parent by
// nidParent, so that the folder hierarchy exists as soon as loading ends.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "storage/block_index.h"
#include "storage/stable_list.h"

namespace kestrel {

// Ordered so that no field is padded: a large file holds a hundred thousand records.
struct NodeRecord {
    uint32_t nid = 0;
    uint32_t nidParent = 0;  // as last read from the file
    uint32_t childCount = 0;
    bool subnodeBlockMissing = false;  // bidSub names a block the index lacks
    bool topLevel = false;             // in the top-level list
    bool reachable = false;            // hangs off the top-level list; kept up to date by NodeTree
    // Free for one walk over the tree at a time to note the records it met (in what would
    // be padding); NodeTree::ClearMarks() resets it on every record.
    mutable bool marked = false;
    const BlockRecord* subnodeBlock = nullptr;  // null when bidSub is 0 or not in the index
    const BlockRecord* dataBlock = nullptr;     // null when bidData is 0 or not in the index
    uint64_t dataBid = 0;                       // bidData and bidSub as read, so that blocks
    uint64_t subnodeBid = 0;                    // the index gains later can still be found
    NodeRecord* prevSibling = nullptr;
    NodeRecord* nextSibling = nullptr;
    NodeRecord* parent = nullptr;
    NodeRecord* firstChild = nullptr;
    NodeRecord* lastChild = nullptr;
};
static_assert(sizeof(NodeRecord) == 88);

// True when record sits in a parent's child list or in the top-level list; it may still be
// unreachable (its parent waiting for a parent of its own).
inline bool IsLinked(const NodeRecord* record) {
    return record->parent || record->topLevel;
}

class NodeTree {
  public:
    // A new unlinked record (in no list: an orphan until placed).
    NodeRecord* Create(uint32_t nid);

    void AppendTop(NodeRecord* record);
    // Appends child as parent's last child. Refuses (returns false) when parent is child
    // itself or one of its descendants, so no cycle can form.
    bool AppendChild(NodeRecord* parent, NodeRecord* child);
    // Takes record out of its parent's child list or the top-level list. The parent's
    // childCount is kept, as the loader expects.
    void Unlink(NodeRecord* record);

    // FindNode's answer: the first record with that nid in a depth-first pre-order walk
    // from the top-level head; records outside the tree (orphans) are never found.
    NodeRecord* Find(uint32_t nid) const;
    // Find's answer when there is one, else the first record created with that nid (one
    // waiting for its parent, or below such a record); null when none was ever created.
    NodeRecord* FindAny(uint32_t nid) const;
    // The first record created with that nid that reads that data block, or null. Damage
    // can give two entries one NID: their data blocks tell them apart.
    NodeRecord* FindByData(uint32_t nid, const BlockRecord* dataBlock) const;
    // Starts loading the slot a lookup of nid looks at first (see BlockIndex::Prefetch).
    void Prefetch(uint32_t nid) const;

    NodeRecord* topHead() const { return topHead_; }
    NodeRecord* topTail() const { return topTail_; }

    // True when record hangs, through its parents, off the top-level list.
    bool IsReachable(const NodeRecord* record) const { return record && record->reachable; }
    // Calls visit for every reachable record in depth-first pre-order (iterative).
    void ForEachReachable(const std::function<void(const NodeRecord&)>& visit) const;
    size_t ReachableCount() const { return reachableCount_; }
    // Every record ever created, reachable or not.
    size_t CreatedCount() const { return records_.size(); }
    void ClearMarks() const {
        for (const NodeRecord& record : records_) record.marked = false;
    }
    const StableList<NodeRecord>& records() const { return records_; }
    void Clear();

  private:
    StableList<NodeRecord> records_;
    // Lookup by nid: open addressing over record positions in records_ (plus one; 0:
    // empty), several records a nid allowed. Linear probing without removals meets a nid's
    // records in the order they were created.
    std::vector<uint32_t> slots_;
    NodeRecord* topHead_ = nullptr;
    NodeRecord* topTail_ = nullptr;
    size_t reachableCount_ = 0;

    // Adds the record at position to the lookup.
    void Index(size_t position);
    // Calls visit(record) for each record with nid, in creation order, until it returns true.
    template <typename Visit>
    void ForEachWithNid(uint32_t nid, Visit visit) const;
    void MarkSubtree(NodeRecord* root, bool reachable);
    bool IsInSubtree(const NodeRecord* node, const NodeRecord* root) const;
};

}  // namespace kestrel
