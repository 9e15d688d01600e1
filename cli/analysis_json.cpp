#include "cli/analysis_json.h"

#include <cmath>
#include <optional>
#include <string_view>

#include "engine/analysis_observer.h"
#include "engine/result_views.h"

namespace kestrel::cli {

namespace {

using Json = nlohmann::ordered_json;

// Absent values are null: the item layer keeps an absent text as an empty one.
Json Text(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

Json Date(const std::optional<uint64_t>& filetime) {
    if (!filetime) return nullptr;
    const auto iso = FormatIsoDate(*filetime);
    return iso ? Json(*iso) : Json(nullptr);
}

void Dump(std::ostream& out, const Json& value) {
    // A broken UTF-8 sequence from a damaged file must not end the output.
    out << value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Writes "key":[...] with one element per entry of list, each made by make.
template <typename List, typename Make>
void WriteList(std::ostream& out, std::string_view key, const List& list, Make make) {
    out << ",\"" << key << "\":[";
    bool first = true;
    for (const auto& entry : list) {
        if (!first) out << ',';
        first = false;
        Dump(out, make(entry));
    }
    out << ']';
}

}  // namespace

Json CountersJson(const SummaryCounters& counters) {
    // Every counter the summary shows, under its label trimmed and single-spaced ("Total
    // Mail" is the screen's "Total  Mail": the node counter when the last mail folder was
    // registered). The first nine keep the order the contract began with.
    Json out;
    out["Inbox"] = counters.inbox;
    out["Drafts"] = counters.drafts;
    out["Outbox"] = counters.outbox;
    out["Sent Items"] = counters.sentItems;
    out["Deleted Items"] = counters.deletedItems;
    out["Calendar"] = counters.calendar;
    out["Contacts"] = counters.contacts;
    out["Journal"] = counters.journal;
    out["Junk E-mails"] = counters.junkEmails;
    out["Tasks"] = counters.tasks;
    out["Notes"] = counters.notes;
    out["Total Mail"] = counters.totalMail;
    return out;
}

Json MessageJson(const MessageSummary& m) {
    Json out;
    out["nid"] = m.nid;
    out["class"] = Text(m.className);
    out["subject"] = m.hasSubject ? Json(m.subject) : Json(nullptr);
    out["from"] = Text(m.from);
    out["to"] = Text(m.to);
    out["cc"] = Text(m.cc);
    out["date"] = Date(m.deliveryTime);
    out["hasHtml"] = m.hasHtml;
    out["hasRtf"] = m.hasRtf;
    out["bodyLength"] = m.bodyLength;
    Json attachments = Json::array();
    for (const auto& a : m.attachments) {
        attachments.push_back(Json{{"name", Text(a.name)}, {"size", a.size}});
    }
    out["attachments"] = std::move(attachments);
    return out;
}

Json FolderHeadJson(const MailFolderEntry& folder) {
    Json out;
    out["path"] = folder.path;
    out["nid"] = folder.folderNid;
    out["containerClass"] = Text(folder.containerClass);
    out["mail"] = folder.mail;
    return out;
}

Json ScanJson(const std::optional<DeepScanReport>& scan) {
    if (!scan) return Json(nullptr);
    Json out;
    out["reason"] = ScanReasonName(scan->reason);
    out["guessed"] = scan->guessed;
    // Milliseconds are all a reader needs; more digits would only make runs differ.
    out["seconds"] = std::round(scan->seconds * 1000) / 1000;
    out["pages"] = scan->pages;
    out["blocks"] = scan->blocks;
    out["blocksAdded"] = scan->blocksAdded;
    out["nodesAdded"] = scan->nodesAdded;
    out["nodesRebuilt"] = scan->nodesRebuilt;
    return out;
}

Json ListEntryJson(const ListEntry& entry) {
    Json out;
    out["nid"] = entry.nid;
    out["class"] = Text(entry.className);
    out["folder"] = entry.folderPath;
    return out;
}

void WriteAnalysisJson(std::ostream& out, const AnalysisResult& result) {
    Json head;
    head["file"] = result.file;
    head["version"] = result.version;
    head["variant"] = VariantName(result.variant);
    head["status"] = std::string(StatusName(result.status));
    head["error"] = result.status == AnalysisStatus::Error ? Json(result.error) : Json(nullptr);
    head["warnings"] = result.warnings;
    head["counters"] = CountersJson(result.counters);
    head["hiddenItems"] = result.hiddenItems;
    head["scan"] = ScanJson(result.scan);
    // The head without its closing brace; the lists follow one entry at a time.
    std::string text = head.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text.pop_back();
    out << text;

    out << ",\"folders\":[";
    bool firstFolder = true;
    for (const auto& folder : result.folders.entries()) {
        if (!firstFolder) out << ',';
        firstFolder = false;
        std::string folderText =
            FolderHeadJson(folder).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        folderText.pop_back();
        out << folderText;
        WriteList(out, "messages", folder.messages, MessageJson);
        out << '}';
    }
    out << ']';

    WriteList(out, "contacts", result.contacts, [](const ContactEntry& e) {
        const ContactRecord& c = e.contact;
        // The name and address the contact list shows.
        Json item = ListEntryJson(e);
        item["name"] = Text(ContactName(e));
        item["email"] = Text(c.emailAddress);
        item["mobile"] = Text(c.mobilePhone);
        item["postal"] = Text(c.postalAddress.empty() ? c.addressLine : c.postalAddress);
        return item;
    });
    WriteList(out, "tasks", result.tasks, [](const TaskEntry& e) {
        Json item = ListEntryJson(e);
        item["subject"] = e.hasSubject ? Json(e.subject) : Json(nullptr);
        item["date"] = Date(e.deliveryTime);
        return item;
    });
    WriteList(out, "notes", result.notes, [](const StickyNoteEntry& e) {
        Json item = ListEntryJson(e);
        item["subject"] = Text(e.subject);
        item["text"] = Text(e.extraText);
        item["date"] = Date(e.deliveryTime);
        return item;
    });
    WriteList(out, "journal", result.journal, [](const JournalEntry& e) {
        Json item = ListEntryJson(e);
        item["subject"] = e.hasSubject ? Json(e.subject) : Json(nullptr);
        item["entryType"] = Text(e.entryType);
        item["date"] = Date(e.deliveryTime);
        return item;
    });
    WriteList(out, "calendar", result.calendar, [](const CalendarEntry& e) {
        Json item = ListEntryJson(e);
        item["subject"] = e.hasSubject ? Json(e.subject) : Json(nullptr);
        item["location"] = Text(e.location);
        item["date"] = Date(e.deliveryTime);
        return item;
    });
    out << "}\n";
}

}  // namespace kestrel::cli
