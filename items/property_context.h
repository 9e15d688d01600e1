#pragma once
// A property context: a BTH of (property id -> type, value word) on the node's heap.
#include <optional>

#include "items/heap_on_node.h"
#include "items/node_value_reader.h"
#include "items/property_value.h"

namespace kestrel {

// One group with groupCount 1, or nullopt when the BTH header does not check out or the
// stop flag is set.
std::optional<PropertyGroup> ParsePropertyContext(const HeapOnNode& heap, NodeValueReader& reader);

}  // namespace kestrel
