#pragma once
// What an analysis leaves behind for the views, the counters and the JSON: light records
// of every folder and item the walk met. Bodies, HTML, RTF and attachment data are not
// kept here (the item source reads them again on demand), so memory stays flat however
// big the file is.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/analysis_observer.h"
#include "engine/message_summary.h"
#include "items/item_record.h"
#include "storage/deep_scan.h"
#include "storage/pst_layout.h"

namespace kestrel {

// Every folder path begins with this and ends with "\".
inline constexpr std::string_view kRootFolderPath = "Personal Folders\\";
// Where restored orphan messages are filed.
inline constexpr std::string_view kRecoveredFolderPath = "Personal Folders\\Recovered Items\\";

struct MailFolderEntry {
    std::string path;  // full path, ends in "\"
    uint32_t folderNid = 0;
    bool mail = false;  // only mail folders take messages
    std::string containerClass;
    std::vector<MessageSummary> messages;
};

struct ListEntry;

// Every folder the walk met, in walk order, mail folders and others. Two folders may
// share a path: they are told apart by their NID.
class MailFolderList {
  public:
    const std::vector<MailFolderEntry>& entries() const { return entries_; }
    std::vector<MailFolderEntry>& entries() { return entries_; }
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // Appends entry; returns its index.
    size_t Append(MailFolderEntry entry);
    // The index of the mail folder a message whose parent is parentNid is filed in: the
    // first mail folder with that NID, else the last mail folder registered; none when
    // there is no mail folder at all.
    std::optional<size_t> FilingTarget(uint32_t parentNid) const;
    // The first folder (mail or not) with that NID, or null.
    const MailFolderEntry* FindByNid(uint32_t folderNid) const;
    // The first folder with exactly that path, or null.
    const MailFolderEntry* FindByPath(std::string_view path) const;
    // Where an entry of the other lists (contacts, calendar, ...) is saved: the folder with
    // its folderNid, else the first with its folderPath (an item filed away from a parent
    // that is no folder here, under Recovered Items); null when neither is listed.
    const MailFolderEntry* HomeOf(const ListEntry& entry) const;
    // Messages in all folders.
    size_t MessageCount() const;
    void Clear();

  private:
    std::vector<MailFolderEntry> entries_;
    std::unordered_map<uint32_t, size_t> firstMailByNid_;
    std::optional<size_t> lastMail_;
};

// The head every item list shares: which node the entry is (NID and data block), its
// message class, and the folder the walk was in when it met the item.
struct ListEntry {
    uint32_t nid = 0;
    uint64_t dataBid = 0;  // the node's data block
    uint32_t folderNid = 0;
    std::string folderPath;
    std::string className;  // the item's message class: tells a distribution list apart
};

struct TaskEntry : ListEntry {
    bool hasSubject = false;
    std::string subject;
    std::optional<uint64_t> deliveryTime;
};

struct StickyNoteEntry : ListEntry {
    std::string subject;
    std::string extraText;  // the note's text: the message body
    std::optional<uint64_t> deliveryTime;
};

struct JournalEntry : ListEntry {
    std::string entryType;
    bool hasSubject = false;
    std::string subject;
    std::optional<uint64_t> deliveryTime;
};

struct CalendarEntry : ListEntry {
    std::string location;
    bool hasMessage = false;  // the item had message fields (subject, time)
    bool hasSubject = false;
    std::string subject;
    std::optional<uint64_t> deliveryTime;
    std::optional<uint64_t> startTime;  // clip start (FILETIME)
    std::optional<uint64_t> endTime;    // clip end (FILETIME)
};

struct ContactEntry : ListEntry {
    ContactRecord contact;    // the contact's fields (small: no bodies)
    std::string displayName;  // 0x3001: the name when the named properties are lost
};

using TaskList = std::vector<TaskEntry>;
using StickyNoteList = std::vector<StickyNoteEntry>;
using JournalList = std::vector<JournalEntry>;
using CalendarList = std::vector<CalendarEntry>;
using ContactList = std::vector<ContactEntry>;

// The summary panel's counters.
struct SummaryCounters {
    uint64_t inbox = 0;
    uint64_t drafts = 0;
    uint64_t outbox = 0;
    uint64_t sentItems = 0;
    uint64_t deletedItems = 0;
    uint64_t junkEmails = 0;  // mail under "Personal Folders\Junk E-mail..."
    uint64_t journal = 0;     // journal entries with an entry type
    uint64_t tasks = 0;       // tasks listed
    uint64_t contacts = 0;
    uint64_t notes = 0;  // sticky notes listed
    uint64_t calendar = 0;
    uint64_t totalMail = 0;  // the node counter when the last mail folder was registered

    // The value shown beside label (one of the kCounter* labels); none for another text.
    std::optional<uint64_t> Get(std::string_view label) const;
};

struct AnalysisResult {
    std::string file;       // the path opened, as given
    std::string shownPath;  // the same upper-cased: shown and logged, never opened
    uint32_t version = 0;   // wVer
    PstVariant variant = PstVariant::Unknown;
    AnalysisStatus status = AnalysisStatus::Error;
    std::string error;                  // the message shown, when status is Error
    std::string openFailure;            // the system's reason when the file did not open
    std::vector<std::string> warnings;  // what was skipped on the way
    uint64_t hiddenItems = 0;           // folder-associated items met: not listed anywhere
    uint64_t garbledStrings = 0;        // texts left out of the lists: they did not decode
    MailFolderList folders;
    TaskList tasks;
    StickyNoteList notes;
    JournalList journal;
    CalendarList calendar;
    ContactList contacts;
    SummaryCounters counters;
    uint64_t nodesVisited = 0;   // the node counter n at the end of the walk
    uint64_t restoredCount = 0;  // orphan messages filed under kRecoveredFolderPath

    // What the deep scan read and added, when it ran.
    std::optional<DeepScanReport> scan;

    void Clear() { *this = AnalysisResult{}; }
};

// The name a contact is listed by: its "file under" name, else its given name, else (its
// named properties lost) its display name.
const std::string& ContactName(const ContactEntry& entry);

// The light record of a loaded message item: no bodies or attachment data.
MessageSummary SummarizeMessage(const ItemRecord& item, uint32_t nid, uint32_t folderNid);

}  // namespace kestrel
