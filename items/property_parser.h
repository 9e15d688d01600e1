#pragma once
// Turns the data of one node (a property context or a table context on a heap-on-node)
// into property groups.
#include <cstdint>
#include <optional>
#include <string>

#include "items/property_value.h"
#include "storage/pst_context.h"
#include "storage/subnode_list.h"

namespace kestrel {

struct ParseOptions {
    // Attachment data (0x3701) kept in a subnode is measured, not read: the value gets
    // measuredSize and no data. For readers that need only the attachment's size.
    bool measureAttachmentData = false;
};

// Parses the node whose data block record is dataBlock; values stored in subnodes are
// looked up in subnodes (first) and then in fallback. Empty list: nothing parsed.
PropertyGroupList ParseNodeProperties(PstContext& context, const BlockRecord* dataBlock,
                                      const SubnodeList* subnodes,
                                      const SubnodeList* fallback = nullptr,
                                      const ParseOptions& options = {});

// UTF-16LE to UTF-8, surrogate pairs included; the text ends at the first zero unit.
// Unpaired surrogates become U+FFFD.
std::string NarrowUtf16(const uint8_t* bytes, size_t byteCount);
// The size in bytes of what NarrowUtf16 gives, without writing it.
size_t NarrowUtf16Length(const uint8_t* bytes, size_t byteCount);

}  // namespace kestrel
