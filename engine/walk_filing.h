#pragma once
// Puts what the folder walk meets into the result lists, under the result lock, and tells
// the observer about folders and counters. Shared by the walk and the restoring of
// orphan messages after it.
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result_lists.h"
#include "items/item_record.h"
#include "storage/node_tree.h"

namespace kestrel {

struct WalkEnvironment;  // folder_walk.h

enum class FilingResult {
    Listed,        // the item went into a list
    Dropped,       // the item lacked what its list needs (a message record, say)
    Skipped,       // an error while listing it: left out, the walk goes on
    NoMailFolder,  // a mail message, but no mail folder to file it in
    Hidden,        // a folder-associated item: counted, listed nowhere
};

class ItemFiling {
  public:
    explicit ItemFiling(WalkEnvironment& env) : env_(env) {}

    // A lock of the result for changing it; holds nothing when the walk has no mutex.
    std::unique_lock<std::shared_mutex> Lock() const;

    void ResetCounters();

    // Appends a folder in walk order and reports it. With totalMail (a mail folder) the
    // "Total  Mail" counter shows that value. Returns the folder's index.
    size_t AddFolder(MailFolderEntry entry, std::optional<uint64_t> totalMail);

    // Sorts a message-like item into its list by its message class: tasks, sticky notes,
    // journal, calendar, contacts (distribution lists too), else mail filed in the mail
    // folder of folderNid (or target when given). A folder-associated item (NID type 8)
    // is counted as hidden and listed nowhere. folderPath is the path of the folder the
    // walk is in. Contact records are moved out of item. node is the item's own node: its
    // NID and data block name the entry.
    FilingResult FileItem(ItemRecord& item, const NodeRecord& node, uint32_t folderNid,
                          const std::string& folderPath, std::optional<size_t> target);

  private:
    void Report(std::string_view counter, uint64_t value) const;
    // Appends entry to the list and shows the counter, raised by one when count is set.
    template <typename Entry>
    void Append(std::vector<Entry> AnalysisResult::*list, Entry entry,
                uint64_t SummaryCounters::*counter, std::string_view label, bool count = true,
                bool report = true);
    void CountMail(const std::string& path);

    WalkEnvironment& env_;
};

}  // namespace kestrel
