#include "engine/walk_filing.h"

#include <exception>
#include <utility>

#include "engine/folder_walk.h"
#include "items/file_time.h"
#include "items/item_assembler.h"
#include "storage/nid.h"

namespace kestrel {

namespace {

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A folder counter: the path prefix (without the closing "\", so subfolders count too)
// and the counter it feeds.
struct MailCounter {
    std::string_view prefix;
    std::string_view label;
    uint64_t SummaryCounters::*field;
};

constexpr MailCounter kMailCounters[] = {
    {"Personal Folders\\Inbox", kCounterInbox, &SummaryCounters::inbox},
    {"Personal Folders\\Drafts", kCounterDrafts, &SummaryCounters::drafts},
    {"Personal Folders\\Outbox", kCounterOutbox, &SummaryCounters::outbox},
    {"Personal Folders\\Sent Items", kCounterSentItems, &SummaryCounters::sentItems},
    {"Personal Folders\\Deleted Items", kCounterDeletedItems, &SummaryCounters::deletedItems},
    {"Personal Folders\\Junk E-mail", kCounterJunkEmails, &SummaryCounters::junkEmails},
};

}  // namespace

std::unique_lock<std::shared_mutex> ItemFiling::Lock() const {
    if (env_.resultMutex == nullptr) return {};
    return std::unique_lock<std::shared_mutex>(*env_.resultMutex);
}

void ItemFiling::Report(std::string_view counter, uint64_t value) const {
    if (env_.observer) env_.observer->CounterChanged(counter, value);
}

void ItemFiling::ResetCounters() {
    auto lock = Lock();
    env_.result->counters = {};
}

size_t ItemFiling::AddFolder(MailFolderEntry entry, std::optional<uint64_t> totalMail) {
    const std::string path = entry.path;
    const std::string containerClass = entry.containerClass;
    const uint32_t nid = entry.folderNid;
    const bool mail = entry.mail;
    size_t index = 0;
    {
        auto lock = Lock();
        index = env_.result->folders.Append(std::move(entry));
        if (totalMail) env_.result->counters.totalMail = *totalMail;
    }
    if (env_.observer) {
        env_.observer->FolderAdded(path, containerClass, nid, mail);
        if (totalMail) env_.observer->CounterChanged(kCounterTotalMail, *totalMail);
    }
    return index;
}

void ItemFiling::CountMail(const std::string& path) {
    for (const MailCounter& counter : kMailCounters) {
        if (!StartsWith(path, counter.prefix)) continue;
        uint64_t value = 0;
        {
            auto lock = Lock();
            value = ++(env_.result->counters.*counter.field);
        }
        Report(counter.label, value);
    }
}

template <typename Entry>
void ItemFiling::Append(std::vector<Entry> AnalysisResult::*list, Entry entry,
                        uint64_t SummaryCounters::*counter, std::string_view label, bool count,
                        bool report) {
    uint64_t value = 0;
    {
        auto lock = Lock();
        (env_.result->*list).push_back(std::move(entry));
        if (count) ++(env_.result->counters.*counter);
        value = env_.result->counters.*counter;
    }
    if (report) Report(label, value);
}

FilingResult ItemFiling::FileItem(ItemRecord& item, const NodeRecord& node, uint32_t folderNid,
                                  const std::string& folderPath, std::optional<size_t> target) {
    const MessageRecord* message = item.message.get();
    const uint32_t nid = node.nid;
    const uint64_t dataBid = node.dataBlock ? uint64_t{node.dataBlock->bid} : 0;
    try {
        if (NidTypeOf(nid) == NidType::AssocMessage) {
            // Views, rules and settings the folder keeps for itself: no user's item.
            auto lock = Lock();
            ++env_.result->hiddenItems;
            return FilingResult::Hidden;
        }
        if (item.garbledStrings != 0) {
            auto lock = Lock();
            env_.result->garbledStrings += item.garbledStrings;
        }
        const auto head = [&](ListEntry& entry) {
            entry.nid = nid;
            entry.dataBid = dataBid;
            entry.folderNid = folderNid;
            entry.folderPath = folderPath;
            entry.className = item.className;
        };
        // The message class decides the list; the fields read through named properties
        // (a contact's or an appointment's) only fill the entry, since a file whose map is
        // lost gives any item such fields.
        if (item.className == "IPM.Task") {
            if (!message) return FilingResult::Dropped;
            TaskEntry entry;
            head(entry);
            entry.hasSubject = message->subject != nullptr;
            if (message->subject) entry.subject = message->subject->text;
            entry.deliveryTime = FileTimeOf(message->deliveryTime);
            Append(&AnalysisResult::tasks, std::move(entry), &SummaryCounters::tasks,
                   kCounterTasks);
            return FilingResult::Listed;
        }

        if (item.className == "IPM.StickyNote") {
            if (!message) return FilingResult::Dropped;
            // The note's text is its body; 0x6619 is a binary entry id, not text.
            StickyNoteEntry entry;
            head(entry);
            if (message->subject) entry.subject = message->subject->text;
            entry.extraText = message->body;
            entry.deliveryTime = FileTimeOf(message->deliveryTime);
            Append(&AnalysisResult::notes, std::move(entry), &SummaryCounters::notes,
                   kCounterNotes);
            return FilingResult::Listed;
        }

        if (item.kind == ItemKind::Journal) {
            if (!message && !item.journal) return FilingResult::Dropped;
            JournalEntry entry;
            head(entry);
            if (item.journal) entry.entryType = item.journal->entryType;
            if (message) {
                entry.hasSubject = message->subject != nullptr;
                if (message->subject) entry.subject = message->subject->text;
                entry.deliveryTime = FileTimeOf(message->deliveryTime);
            }
            const bool typed = item.journal && !item.journal->entryType.empty();
            Append(&AnalysisResult::journal, std::move(entry), &SummaryCounters::journal,
                   kCounterJournal, typed, item.journal != nullptr);
            return FilingResult::Listed;
        }

        if (item.kind == ItemKind::Calendar) {
            // Listed with what there is: an appointment whose named properties are lost
            // still has its subject and time.
            if (!item.calendar && !message) return FilingResult::Dropped;
            CalendarEntry entry;
            head(entry);
            if (item.calendar) {
                entry.location = item.calendar->location;
                entry.startTime = FileTimeOf(item.calendar->clipStart);
                entry.endTime = FileTimeOf(item.calendar->clipEnd);
            }
            if (message) {
                entry.hasMessage = true;
                entry.hasSubject = message->subject != nullptr;
                if (message->subject) entry.subject = message->subject->text;
                entry.deliveryTime = FileTimeOf(message->deliveryTime);
            }
            Append(&AnalysisResult::calendar, std::move(entry), &SummaryCounters::calendar,
                   kCounterCalendar);
            return FilingResult::Listed;
        }

        // Without any class only the fields can tell a contact.
        const bool contact = item.kind == ItemKind::Contact ||
                             IsDistributionListClass(item.className) ||
                             (item.kind == ItemKind::Unclassified && item.contact);
        if (contact) {
            ContactEntry entry;
            head(entry);
            if (item.contact) entry.contact = std::move(*item.contact);
            item.contact.reset();
            entry.displayName = item.displayName;
            Append(&AnalysisResult::contacts, std::move(entry), &SummaryCounters::contacts,
                   kCounterContacts);
            return FilingResult::Listed;
        }

        if (!message) return FilingResult::Dropped;
        MessageSummary summary = SummarizeMessage(item, nid, folderNid);
        summary.dataBid = dataBid;
        std::string path;
        {
            auto lock = Lock();
            MailFolderList& folders = env_.result->folders;
            const std::optional<size_t> index = target ? target : folders.FilingTarget(folderNid);
            if (!index || *index >= folders.size()) return FilingResult::NoMailFolder;
            MailFolderEntry& entry = folders.entries()[*index];
            entry.messages.push_back(std::move(summary));
            path = entry.path;
        }
        CountMail(path);
        return FilingResult::Listed;
    } catch (const std::exception&) {
        return FilingResult::Skipped;
    }
}

}  // namespace kestrel
