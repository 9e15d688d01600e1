#pragma once
// Where the messages a deep scan brings back may go. An old node-tree page still names the
// folder a message was in before it was deleted or moved; the folder's own contents table,
// when it survives, says whether the message is still there.
#include <cstdint>
#include <optional>
#include <vector>

#include "items/item_context.h"

namespace kestrel {

// The NID of a folder's contents table.
constexpr uint32_t ContentsTableNid(uint32_t folderNid) {
    return (folderNid & ~uint32_t{0x1F}) | 0x0E;
}

// The message NIDs (row ids) a folder's contents table lists; nullopt when the table is not
// in the index or does not read.
std::optional<std::vector<uint32_t>> ListedMessages(ItemContext& items, uint32_t folderNid);

// Takes out of their folders the normal messages among nids (the scan's additions) whose
// folder has a contents table that does not list them: they become orphans. Returns how
// many.
size_t UnfileUnlistedMessages(ItemContext& items, const std::vector<uint32_t>& nids);

}  // namespace kestrel
