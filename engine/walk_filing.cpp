#include "engine/walk_filing.h"

#include <exception>
#include <utility>

#include "items/file_time.h"

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

FilingResult ItemFiling::FileItem(ItemRecord& item, const NodeRecord& node, uint32_t folderNid,
                                  const std::string& folderPath, std::optional<size_t> target) {
    const MessageRecord* message = item.message.get();
    const uint32_t nid = node.nid;
    const uint64_t dataBid = node.dataBlock ? node.dataBlock->bid : 0;
    try {
        if (item.className == "IPM.Task") {
            if (!message) return FilingResult::Dropped;
            TaskEntry entry{nid,
                            folderNid,
                            folderPath,
                            message->subject != nullptr,
                            message->subject ? message->subject->text : std::string(),
                            FileTimeOf(message->deliveryTime)};
            entry.dataBid = dataBid;
            uint64_t count = 0;
            {
                auto lock = Lock();
                env_.result->tasks.push_back(std::move(entry));
                count = ++env_.result->counters.tasks;
            }
            Report(kCounterTasks, count);
            return FilingResult::Listed;
        }

        if (item.className == "IPM.StickyNote") {
            if (!message) return FilingResult::Dropped;
            // The note's text is its body; 0x6619 is a binary entry id, not text.
            StickyNoteEntry entry{
                nid,           folderNid,
                folderPath,    message->subject ? message->subject->text : std::string(),
                message->body, FileTimeOf(message->deliveryTime)};
            entry.dataBid = dataBid;
            uint64_t count = 0;
            {
                auto lock = Lock();
                env_.result->notes.push_back(std::move(entry));
                count = ++env_.result->counters.notes;
            }
            Report(kCounterNotes, count);
            return FilingResult::Listed;
        }

        if (item.kind == ItemKind::Journal) {
            if (!message && !item.journal) return FilingResult::Dropped;
            JournalEntry entry;
            entry.nid = nid;
            entry.dataBid = dataBid;
            entry.folderNid = folderNid;
            entry.folderPath = folderPath;
            if (item.journal) entry.entryType = item.journal->entryType;
            if (message) {
                entry.hasSubject = message->subject != nullptr;
                if (message->subject) entry.subject = message->subject->text;
                entry.deliveryTime = FileTimeOf(message->deliveryTime);
            }
            uint64_t count = 0;
            {
                auto lock = Lock();
                env_.result->journal.push_back(std::move(entry));
                if (item.journal && !item.journal->entryType.empty()) {
                    ++env_.result->counters.journal;
                }
                count = env_.result->counters.journal;
            }
            if (item.journal) Report(kCounterJournal, count);
            return FilingResult::Listed;
        }

        if (item.kind == ItemKind::Calendar) {
            uint64_t count = 0;
            {
                auto lock = Lock();
                count = ++env_.result->counters.calendar;
            }
            Report(kCounterCalendar, count);
            if (!item.calendar) return FilingResult::Dropped;
            CalendarEntry entry;
            entry.nid = nid;
            entry.dataBid = dataBid;
            entry.folderNid = folderNid;
            entry.folderPath = folderPath;
            entry.location = item.calendar->location;
            entry.startTime = FileTimeOf(item.calendar->clipStart);
            entry.endTime = FileTimeOf(item.calendar->clipEnd);
            if (message) {
                entry.hasMessage = true;
                entry.hasSubject = message->subject != nullptr;
                if (message->subject) entry.subject = message->subject->text;
                entry.deliveryTime = FileTimeOf(message->deliveryTime);
            }
            auto lock = Lock();
            env_.result->calendar.push_back(std::move(entry));
            return FilingResult::Listed;
        }

        if (item.contact && item.className != "IPM.Note" && item.kind != ItemKind::Mail) {
            ContactEntry entry{nid, folderNid, folderPath, std::move(*item.contact), dataBid};
            item.contact.reset();
            uint64_t count = 0;
            {
                auto lock = Lock();
                env_.result->contacts.push_back(std::move(entry));
                count = ++env_.result->counters.contacts;
            }
            Report(kCounterContacts, count);
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
