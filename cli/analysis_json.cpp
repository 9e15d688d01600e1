#include "cli/analysis_json.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <charconv>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "engine/analysis_observer.h"
#include "engine/result_views.h"

namespace kestrel::cli {

namespace {

using Json = nlohmann::ordered_json;

// Absent values are null: the item layer keeps an absent text as an empty one.
Json Text(std::string_view text) {
    return text.empty() ? Json(nullptr) : Json(std::string(text));
}

Json Date(const std::optional<uint64_t>& filetime) {
    if (!filetime) return nullptr;
    const auto iso = FormatIsoDate(*filetime);
    return iso ? Json(*iso) : Json(nullptr);
}

// True for well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF)
// without control characters below 0x20, quotes or backslashes.
bool IsPlainUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
#if defined(__SSE2__)
    // Sixteen ASCII bytes at a time while none needs a look: bytes from 0x80 up compare
    // below 0x20 as signed ones, and go byte by byte with the rest.
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i odd =
            _mm_or_si128(_mm_cmplt_epi8(v, space),
                         _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        if (_mm_movemask_epi8(odd) != 0) break;
        p += 16;
    }
#endif
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            if (c < 0x20 || c == '"' || c == '\\') return false;
            ++p;
            continue;
        }
        // The lead byte gives the length and the range of the second byte.
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) < length || p[1] < low || p[1] > high) return false;
        for (size_t k = 2; k < length; ++k) {
            if (p[k] < 0x80 || p[k] > 0xBF) return false;
        }
        p += length;
    }
    return true;
}

// The lists written straight into a buffer, a few MB of text on a large file, without an
// ordered_json object per entry: the same bytes as Dump gives for the same values.
class ListWriter {
  public:
    // Without a stream the text is only kept, for Take.
    explicit ListWriter(std::ostream* out) : out_(out) { text_.reserve(kFlushAt + 4096); }
    ~ListWriter() { Flush(); }
    std::string Take() { return std::move(text_); }
    // Text another writer made, in its place: to the stream at once, not copied.
    void Put(const std::string& text) {
        if (!out_) return Raw(text);
        Flush();
        out_->write(text.data(), static_cast<std::streamsize>(text.size()));
    }

    void Raw(std::string_view text) { text_.append(text); }
    void Raw(char c) { text_.push_back(c); }
    // "key": (keys are our own ASCII names)
    void Key(std::string_view key) {
        text_.push_back('"');
        text_.append(key);
        text_.append("\":");
    }
    void Number(uint64_t value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        text_.append(digits, end);
    }
    void Bool(bool value) { text_.append(value ? "true" : "false"); }
    void Null() { text_.append("null"); }
    void String(std::string_view value) {
        // Sound UTF-8 without control characters, quotes or backslashes goes as it is, as
        // the library writes it; anything else goes through the library, so that escapes
        // and the U+FFFD of broken UTF-8 stay exactly as before.
        if (!IsPlainUtf8(value)) {
            text_.append(Json(std::string(value))
                             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
            return;
        }
        text_.push_back('"');
        text_.append(value);
        text_.push_back('"');
    }
    // Empty text is null, as Text() gives.
    void Text(std::string_view value) { value.empty() ? Null() : String(value); }
    void Date(const std::optional<uint64_t>& filetime) {
        const auto iso = filetime ? FormatIsoDate(*filetime) : std::nullopt;
        iso ? String(*iso) : Null();
    }
    // Empties the buffer into the stream once it holds enough.
    void Step() {
        if (text_.size() >= kFlushAt) Flush();
    }
    void Flush() {
        if (!out_) return;
        out_->write(text_.data(), static_cast<std::streamsize>(text_.size()));
        text_.clear();
    }

  private:
    static constexpr size_t kFlushAt = 1 << 16;
    std::ostream* out_;
    std::string text_;
};

// Entries begin..end of list, one object each with its members written by body, after a
// comma but the list's first.
template <typename List, typename Body>
void WriteEntries(ListWriter& w, const List& list, size_t begin, size_t end, Body body) {
    for (size_t i = begin; i < end; ++i) {
        if (i > 0) w.Raw(',');
        w.Raw('{');
        body(list[i]);
        w.Raw('}');
        w.Step();
    }
}

// Writes ,"key":[...] with one object per entry of list, its members written by body.
template <typename List, typename Body>
void WriteList(ListWriter& w, std::string_view key, const List& list, Body body) {
    w.Raw(',');
    w.Key(key);
    w.Raw('[');
    WriteEntries(w, list, 0, list.size(), body);
    w.Raw(']');
}

// The members ListEntryJson gives.
void WriteListEntry(ListWriter& w, const ListEntry& entry) {
    w.Key("nid");
    w.Number(entry.nid);
    w.Raw(",\"class\":");
    w.Text(entry.className);
    w.Raw(",\"folder\":");
    w.String(entry.folderPath);
}

// The members MessageJson gives.
void WriteMessage(ListWriter& w, const MessageSummary& m) {
    w.Key("nid");
    w.Number(m.nid);
    w.Raw(",\"class\":");
    w.Text(m.className());
    w.Raw(",\"subject\":");
    m.hasSubject ? w.String(m.subject()) : w.Null();
    w.Raw(",\"from\":");
    w.Text(m.from());
    w.Raw(",\"to\":");
    w.Text(m.to());
    w.Raw(",\"cc\":");
    w.Text(m.cc());
    w.Raw(",\"date\":");
    w.Date(m.deliveryTime());
    w.Raw(",\"hasHtml\":");
    w.Bool(m.hasHtml);
    w.Raw(",\"hasRtf\":");
    w.Bool(m.hasRtf);
    w.Raw(",\"bodyLength\":");
    w.Number(m.bodyLength);
    w.Raw(",\"attachments\":[");
    bool first = true;
    for (const AttachmentView a : m.attachments()) {
        if (!first) w.Raw(',');
        first = false;
        w.Raw("{\"name\":");
        w.Text(a.name);
        w.Raw(",\"size\":");
        w.Number(a.size);
        w.Raw('}');
    }
    w.Raw(']');
}

// A run of one folder's messages: the lists are written in chunks of these.
struct MessageChunk {
    const std::vector<MessageSummary>* messages;
    size_t begin, end;
};
constexpr size_t kChunkMessages = 256;

void WriteChunk(ListWriter& w, const MessageChunk& chunk) {
    WriteEntries(w, *chunk.messages, chunk.begin, chunk.end,
                 [&w](const MessageSummary& m) { WriteMessage(w, m); });
}

// The message lists are most of the output. A second thread writes the odd chunks' text
// while the writing thread writes the even ones; each is handed over when its turn comes,
// and the second thread keeps at most one finished chunk waiting.
class OddChunks {
  public:
    explicit OddChunks(const std::vector<MessageChunk>& chunks) : chunks_(chunks) {
        if (chunks_.size() < 2) return;
        try {
            thread_ = std::jthread([this] { Work(); });
        } catch (const std::system_error&) {
            // No second thread: every chunk is written by the first.
        }
    }
    ~OddChunks() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
    }

    // The text of odd chunk k once written; none when the second thread cannot give it
    // (never started, or failed): the caller writes that chunk itself.
    std::optional<std::string> Take(size_t k) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return ready_ == k || failed_ || !thread_.joinable(); });
        if (ready_ != k) return std::nullopt;
        ready_ = kNone;
        changed_.notify_all();
        return std::move(text_);
    }

  private:
    void Work() {
        try {
            for (size_t k = 1; k < chunks_.size(); k += 2) {
                ListWriter w(nullptr);
                WriteChunk(w, chunks_[k]);
                std::string text = w.Take();
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return ready_ == kNone || quit_; });
                if (quit_) return;
                text_ = std::move(text);
                ready_ = k;
                changed_.notify_all();
            }
        } catch (const std::bad_alloc&) {
            std::lock_guard lock(mutex_);
            failed_ = true;
            changed_.notify_all();
        }
    }

    static constexpr size_t kNone = SIZE_MAX;
    const std::vector<MessageChunk>& chunks_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;      // chunk ready_'s text
    size_t ready_ = kNone;  // the chunk whose text waits to be taken
    bool failed_ = false;
    bool quit_ = false;
    std::jthread thread_;  // last: joined before the members it uses go
};

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
    out["class"] = Text(m.className());
    out["subject"] = m.hasSubject ? Json(std::string(m.subject())) : Json(nullptr);
    out["from"] = Text(m.from());
    out["to"] = Text(m.to());
    out["cc"] = Text(m.cc());
    out["date"] = Date(m.deliveryTime());
    out["hasHtml"] = m.hasHtml;
    out["hasRtf"] = m.hasRtf;
    out["bodyLength"] = m.bodyLength;
    Json attachments = Json::array();
    for (const AttachmentView a : m.attachments()) {
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

    std::vector<MessageChunk> chunks;
    for (const auto& folder : result.folders.entries()) {
        for (size_t begin = 0; begin < folder.messages.size(); begin += kChunkMessages)
            chunks.push_back({&folder.messages, begin,
                              std::min(begin + kChunkMessages, folder.messages.size())});
    }
    OddChunks odd(chunks);
    size_t chunk = 0;

    ListWriter w(&out);
    w.Raw(",\"folders\":[");
    bool firstFolder = true;
    for (const auto& folder : result.folders.entries()) {
        if (!firstFolder) w.Raw(',');
        firstFolder = false;
        w.Raw("{\"path\":");
        w.String(folder.path);
        w.Raw(",\"nid\":");
        w.Number(folder.folderNid);
        w.Raw(",\"containerClass\":");
        w.Text(folder.containerClass);
        w.Raw(",\"mail\":");
        w.Bool(folder.mail);
        w.Raw(",\"messages\":[");
        for (; chunk < chunks.size() && chunks[chunk].messages == &folder.messages; ++chunk) {
            std::optional<std::string> text;
            if (chunk % 2 == 1) text = odd.Take(chunk);
            text ? w.Put(*text) : WriteChunk(w, chunks[chunk]);
            w.Step();
        }
        w.Raw("]}");
    }
    w.Raw(']');

    WriteList(w, "contacts", result.contacts, [&w](const ContactEntry& e) {
        const ContactRecord& c = e.contact;
        // The name and address the contact list shows.
        WriteListEntry(w, e);
        w.Raw(",\"name\":");
        w.Text(ContactName(e));
        w.Raw(",\"email\":");
        w.Text(c.emailAddress);
        w.Raw(",\"mobile\":");
        w.Text(c.mobilePhone);
        w.Raw(",\"postal\":");
        w.Text(c.postalAddress.empty() ? c.addressLine : c.postalAddress);
    });
    WriteList(w, "tasks", result.tasks, [&w](const TaskEntry& e) {
        WriteListEntry(w, e);
        w.Raw(",\"subject\":");
        e.hasSubject ? w.String(e.subject) : w.Null();
        w.Raw(",\"date\":");
        w.Date(e.deliveryTime);
    });
    WriteList(w, "notes", result.notes, [&w](const StickyNoteEntry& e) {
        WriteListEntry(w, e);
        w.Raw(",\"subject\":");
        w.Text(e.subject);
        w.Raw(",\"text\":");
        w.Text(e.extraText);
        w.Raw(",\"date\":");
        w.Date(e.deliveryTime);
    });
    WriteList(w, "journal", result.journal, [&w](const JournalEntry& e) {
        WriteListEntry(w, e);
        w.Raw(",\"subject\":");
        e.hasSubject ? w.String(e.subject) : w.Null();
        w.Raw(",\"entryType\":");
        w.Text(e.entryType);
        w.Raw(",\"date\":");
        w.Date(e.deliveryTime);
    });
    WriteList(w, "calendar", result.calendar, [&w](const CalendarEntry& e) {
        WriteListEntry(w, e);
        w.Raw(",\"subject\":");
        e.hasSubject ? w.String(e.subject) : w.Null();
        w.Raw(",\"location\":");
        w.Text(e.location);
        w.Raw(",\"date\":");
        w.Date(e.deliveryTime);
    });
    w.Raw("}\n");
}

}  // namespace kestrel::cli
