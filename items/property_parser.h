#pragma once
// Turns the data of one node (a property context or a table context on a heap-on-node)
// into property groups.
#include <cstdint>
#include <optional>
#include <string>

#include "items/item_context.h"
#include "items/property_value.h"
#include "storage/subnode_list.h"

namespace kestrel {

struct ParseOptions {
    // Attachment data (0x3701) is measured, not read: the value gets measuredSize and no
    // data. For readers that need only the attachment's size.
    bool measureAttachmentData = false;
    // The plain-text, HTML and compressed RTF bodies are left out unread.
    bool skipBodies = false;
    // A UTF-16 plain-text body is measured (textLength and measuredSize), its blocks passing
    // through one at a time instead of being joined; of the HTML body only the first bytes
    // are read, the rest measured (measuredSize): enough to tell whether it has text.
    bool measureBody = false;
    // Of compressed RTF only the first bytes are read, the rest measured: enough to tell
    // whether it decodes.
    bool checkRtfOnly = false;
};

// Parses the node whose data block record is dataBlock; values stored in subnodes are
// looked up in subnodes (first) and then in fallback. Empty list: nothing parsed.
PropertyGroupList ParseNodeProperties(ItemContext& context, const BlockRecord* dataBlock,
                                      const SubnodeList* subnodes,
                                      const SubnodeList* fallback = nullptr,
                                      const ParseOptions& options = {});

}  // namespace kestrel
