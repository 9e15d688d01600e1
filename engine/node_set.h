#pragma once
// The nodes a walk loaded, noted in the records themselves (no memory of its own): one set
// over a tree at a time.
#include "storage/node_tree.h"

namespace kestrel {

class NodeSet {
  public:
    explicit NodeSet(const NodeTree& tree) { tree.ClearMarks(); }
    void insert(const NodeRecord* node) { node->marked = true; }
    // 1 when node was inserted (however often), else 0.
    size_t count(const NodeRecord* node) const { return node->marked ? 1 : 0; }
};

}  // namespace kestrel
