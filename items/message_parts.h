#pragma once
// The parts of a message beside its own properties: the rows of its recipient table and
// the messages its attachments hold.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "items/item_context.h"
#include "items/item_record.h"
#include "storage/node_tree.h"
#include "storage/subnode_list.h"

namespace kestrel {

struct RecipientEntry {
    std::string displayName;  // PidTagDisplayName
    std::string address;  // SMTP address when stored (PidTagSmtpAddress), else PidTagEmailAddress
    std::string addressType;  // PidTagAddressType ("SMTP", "EX", ...)
    uint32_t type = 0;        // PidTagRecipientType: 1 To, 2 Cc, 3 Bcc
};

// The recipients of the message whose subnodes are subnodes, in table order; 8-bit text is
// read in codePage (the message's) or Windows-1252. Empty when there is no table or it
// cannot be read.
std::vector<RecipientEntry> ReadRecipientTable(ItemContext& context, const SubnodeList& subnodes,
                                               uint32_t codePage);

// The node of the message that attachment holds (an attached message: its data object names
// the message's subnode, looked up in the attachment's own subnodes, then in subnodes, the
// message's). Nothing when the attachment is not an attached message or does not read.
std::optional<NodeRecord> FindEmbeddedMessage(ItemContext& context, const SubnodeList& subnodes,
                                              const AttachmentRecord& attachment);

}  // namespace kestrel
