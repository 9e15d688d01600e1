#include "engine/result_lists.h"

#include <cstring>
#include <utility>

#include "items/file_time.h"

namespace kestrel {

size_t MailFolderList::Append(MailFolderEntry entry) {
    const size_t index = entries_.size();
    if (entry.mail) {
        firstMailByNid_.try_emplace(entry.folderNid, index);
        lastMail_ = index;
    }
    entries_.push_back(std::move(entry));
    return index;
}

std::optional<size_t> MailFolderList::FilingTarget(uint32_t parentNid) const {
    // The first registered mail folder of that NID wins, as a scan from the head would.
    if (auto it = firstMailByNid_.find(parentNid); it != firstMailByNid_.end()) {
        return it->second;
    }
    return lastMail_;
}

const MailFolderEntry* MailFolderList::FindByNid(uint32_t folderNid) const {
    for (const auto& entry : entries_) {
        if (entry.folderNid == folderNid) return &entry;
    }
    return nullptr;
}

const MailFolderEntry* MailFolderList::FindByPath(std::string_view path) const {
    for (const auto& entry : entries_) {
        if (entry.path == path) return &entry;
    }
    return nullptr;
}

const MailFolderEntry* MailFolderList::HomeOf(const ListEntry& entry) const {
    if (const MailFolderEntry* folder = FindByNid(entry.folderNid)) return folder;
    return FindByPath(entry.folderPath);
}

size_t MailFolderList::MessageCount() const {
    size_t count = 0;
    for (const auto& entry : entries_) count += entry.messages.size();
    return count;
}

void MailFolderList::Clear() {
    entries_.clear();
    firstMailByNid_.clear();
    lastMail_.reset();
}

std::optional<uint64_t> SummaryCounters::Get(std::string_view label) const {
    if (label == kCounterInbox) return inbox;
    if (label == kCounterDrafts) return drafts;
    if (label == kCounterOutbox) return outbox;
    if (label == kCounterSentItems) return sentItems;
    if (label == kCounterDeletedItems) return deletedItems;
    if (label == kCounterJunkEmails) return junkEmails;
    if (label == kCounterJournal) return journal;
    if (label == kCounterTasks) return tasks;
    if (label == kCounterContacts) return contacts;
    if (label == kCounterNotes) return notes;
    if (label == kCounterCalendar) return calendar;
    if (label == kCounterTotalMail) return totalMail;
    return std::nullopt;
}

const std::string& ContactName(const ContactEntry& entry) {
    const ContactRecord& c = entry.contact;
    if (!c.fileUnder.empty()) return c.fileUnder;
    if (!c.givenName.empty()) return c.givenName;
    return entry.displayName;
}

MessageSummary SummarizeMessage(const ItemRecord& item, uint32_t nid, uint32_t folderNid) {
    MessageSummary summary;
    summary.nid = nid;
    summary.folderNid = folderNid;
    MessageSummary::Texts texts;
    texts.className = item.className;
    if (const MessageRecord* message = item.message.get()) {
        if (message->subject) {
            summary.hasSubject = true;
            texts.subject = message->subject->text;
        }
        texts.from = message->senderName;
        texts.fromAddress = message->senderAddress;
        texts.to = message->displayTo;
        texts.cc = message->displayCc;
        summary.SetDeliveryTime(FileTimeOf(message->deliveryTime));
        summary.SetSubmitTime(FileTimeOf(message->submitTime));
        summary.messageFlags = message->messageFlags;
        summary.hasHtml = message->hasHtmlText;
        summary.hasRtf = message->hasRtfBody;
        summary.bodyLength = message->bodyLength.value_or(message->body.size());
    }
    std::vector<AttachmentSummary> attachments;
    attachments.reserve(item.attachments.size());
    for (const auto& attachment : item.attachments) {
        AttachmentSummary entry;
        entry.name = attachment.longName.empty() ? attachment.shortName : attachment.longName;
        entry.size = attachment.dataSize;
        attachments.push_back(std::move(entry));
    }
    summary.SetTexts(texts, attachments);
    return summary;
}

}  // namespace kestrel
