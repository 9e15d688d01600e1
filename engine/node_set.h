#pragma once
// The nodes a walk loaded, asked about only once the walk is over: a plain list while it
// fills (8 bytes a node, where a hash set node costs about 30), sorted at the first
// question.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "storage/node_tree.h"

namespace kestrel {

class NodeSet {
  public:
    void reserve(size_t count) { nodes_.reserve(count); }
    void insert(const NodeRecord* node) {
        nodes_.push_back(node);
        sorted_ = false;
    }
    // 1 when node was inserted (however often), else 0.
    size_t count(const NodeRecord* node) const {
        if (!sorted_) {
            std::sort(nodes_.begin(), nodes_.end());
            nodes_.erase(std::unique(nodes_.begin(), nodes_.end()), nodes_.end());
            sorted_ = true;
        }
        return std::binary_search(nodes_.begin(), nodes_.end(), node) ? 1 : 0;
    }

  private:
    mutable std::vector<const NodeRecord*> nodes_;
    mutable bool sorted_ = true;
};

}  // namespace kestrel
