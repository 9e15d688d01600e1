#include "items/property_parser.h"

#include "items/heap_on_node.h"
#include "items/node_value_reader.h"
#include "items/property_context.h"
#include "items/table_context.h"

namespace kestrel {

PropertyGroupList ParseNodeProperties(ItemContext& context, const BlockRecord* dataBlock,
                                      const SubnodeList* subnodes, const SubnodeList* fallback,
                                      const ParseOptions& options) {
    if (context.Stopped() || !dataBlock) return {};
    const HeapOnNode heap = HeapOnNode::Load(context.storage, dataBlock);
    if (!heap.valid() || context.Stopped()) return {};

    NodeValueReader reader(context, heap, subnodes, fallback, options);
    switch (heap.clientSignature()) {
        case kClientPropertyContext: {
            auto group = ParsePropertyContext(heap, reader);
            if (!group) return {};
            PropertyGroupList groups;
            groups.push_back(std::move(*group));
            return groups;
        }
        case kClientTableContext:
            return ParseTableContext(heap, reader);
        default:
            return {};
    }
}

}  // namespace kestrel
