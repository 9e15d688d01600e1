#pragma once
// Puts what the folder walk meets into the result lists, under the result lock, and tells
// the observer about folders and counters. Shared by the walk and the restoring of
// orphan messages after it.
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "engine/folder_walk.h"

namespace kestrel {

enum class FilingResult {
    Listed,        // the item went into a list
    Dropped,       // the item lacked what its list needs (a message record, say)
    Skipped,       // an error while listing it: left out, the walk goes on
    NoMailFolder,  // a mail message, but no mail folder to file it in
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

    // Sorts a message-like item into its list: tasks, sticky notes, journal, calendar,
    // contacts, else mail filed in the mail folder of folderNid (or target when given).
    // folderPath is the path of the folder the walk is in. Contact records are moved out
    // of item. node is the item's own node: its NID and data block name the entry.
    FilingResult FileItem(ItemRecord& item, const NodeRecord& node, uint32_t folderNid,
                          const std::string& folderPath, std::optional<size_t> target);

  private:
    void Report(std::string_view counter, uint64_t value) const;
    void CountMail(const std::string& path);

    WalkEnvironment& env_;
};

}  // namespace kestrel
