#pragma once
// A table context: TCINFO (column descriptors and row layout), the row-index BTH and the
// row matrix, in the heap or in a subnode.
#include "items/heap_on_node.h"
#include "items/node_value_reader.h"
#include "items/property_value.h"

namespace kestrel {

// One group per row, last row first, each with groupCount = the number of rows returned.
// Empty when the table does not check out, has no rows, or the stop flag is set.
PropertyGroupList ParseTableContext(const HeapOnNode& heap, NodeValueReader& reader);

}  // namespace kestrel
