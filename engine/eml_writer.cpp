#include "engine/eml_writer.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "items/file_time.h"
#include "items/rtf_html.h"

namespace kestrel {

namespace {

// Attached messages inside attached messages: the item source reads this many levels.
constexpr int kEmbeddedDepthLimit = 8;
// Transport headers kept at most per message: a damaged value does not make the file huge.
constexpr int kMaxTransportHeaders = 1000;
constexpr int64_t kFileTimeUnixOffset = 11644473600LL;

struct GObjectFree {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};
template <typename T>
using GRef = std::unique_ptr<T, GObjectFree>;

// The headers the writer sets itself: the transport headers' own copies are left out, so
// each appears once.
constexpr std::array<std::string_view, 11> kOwnHeaders = {
    "date",    "from",       "sender",      "to",         "cc",          "bcc",
    "subject", "message-id", "in-reply-to", "references", "mime-version"};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return g_ascii_tolower(x) == g_ascii_tolower(y);
           });
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// A header's text on one line: CR, LF and the other control characters become blanks, so
// nothing from the file can start a header of its own.
std::string OneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0) continue;
        out += (u < 0x20 || u == 0x7F) ? ' ' : c;
    }
    const size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    out.erase(0, first);
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

bool IsAtext(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) return false;
    return std::string_view("()<>[]:;@\\,\"").find(c) == std::string_view::npos;
}

// atext words joined by single dots.
bool IsDotAtom(std::string_view text) {
    if (text.empty() || text.front() == '.' || text.back() == '.') return false;
    if (text.find("..") != std::string_view::npos) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || IsAtext(c); });
}

// local@domain of plain characters, one "@", nothing that could close or open a field.
bool IsPlainAddress(std::string_view address) {
    const size_t at = address.find('@');
    if (at == std::string_view::npos || address.size() > 254) return false;
    return IsDotAtom(address.substr(0, at)) && IsDotAtom(address.substr(at + 1));
}

// Where a sender or recipient has no SMTP address (an Exchange DN, nothing): the name in
// the reserved ".invalid" domain.
std::string InvalidAddress(std::string_view name) {
    std::string local;
    for (char c : name) {
        const bool alnum = g_ascii_isalnum(c);
        if (alnum) {
            local += g_ascii_tolower(c);
        } else if (!local.empty() && local.back() != '.') {
            local += '.';
        }
        if (local.size() >= 64) break;
    }
    while (!local.empty() && local.back() == '.') local.pop_back();
    if (local.empty()) local = "unknown";
    return local + "@unknown.invalid";
}

// A token of RFC 2045: printable ASCII but blanks and tspecials.
bool IsMimeToken(std::string_view text) {
    if (text.empty() || text.size() > 127) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F &&
               std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
    });
}

std::optional<uint64_t> FileTime(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return std::nullopt;
    return FileTimeOf(bytes);
}

// FNV-1a: boundaries and stand-in message ids derive from the item, so that two exports of
// one file give the same bytes.
struct Fnv {
    uint64_t value = 0xcbf29ce484222325ULL;
    void Add(std::string_view text) {
        for (char c : text) {
            value ^= static_cast<unsigned char>(c);
            value *= 0x100000001b3ULL;
        }
        value ^= 0xFF;
        value *= 0x100000001b3ULL;
    }
    void Add(uint64_t number) { Add(std::string_view(reinterpret_cast<const char*>(&number), 8)); }
};

// A message id without its angle brackets when it is a sound one, else empty.
std::string CleanMessageId(std::string_view raw) {
    std::string id = OneLine(raw);
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
    const size_t at = id.find('@');
    if (id.size() > 250 || at == std::string::npos) return {};
    return IsDotAtom(std::string_view(id).substr(0, at)) &&
                   IsDotAtom(std::string_view(id).substr(at + 1))
               ? id
               : std::string();
}

// A list of message ids ("<a@b> <c@d>") kept when every character is plain ASCII.
std::string CleanIdList(std::string_view raw) {
    std::string list = OneLine(raw);
    const bool plain = std::all_of(list.begin(), list.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u < 0x7F;
    });
    return plain && list.find('<') != std::string::npos ? list : std::string();
}

// Address headers of the transport headers a reader parses: kept only when every address
// in them is a plain one.
constexpr std::array<std::string_view, 7> kAddressHeaders = {"reply-to",
                                                             "resent-from",
                                                             "resent-sender",
                                                             "resent-to",
                                                             "resent-cc",
                                                             "resent-bcc",
                                                             "disposition-notification-to"};

bool HasPlainAddresses(const char* value) {
    GRef<InternetAddressList> list(internet_address_list_parse(nullptr, value));
    if (!list || internet_address_list_length(list.get()) == 0) return false;
    for (int i = 0; i < internet_address_list_length(list.get()); ++i) {
        InternetAddress* address = internet_address_list_get_address(list.get(), i);
        if (!INTERNET_ADDRESS_IS_MAILBOX(address)) return false;
        const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
        if (addr == nullptr || !IsPlainAddress(addr)) return false;
    }
    return true;
}

// A raw header value whose line breaks all start folded lines and that holds no other
// control character: written as it is, it cannot start a header of its own.
bool IsFoldedValue(std::string_view raw) {
    for (size_t i = 0; i < raw.size(); ++i) {
        const auto c = static_cast<unsigned char>(raw[i]);
        if (c == '\n') {
            if (i + 1 < raw.size() && raw[i + 1] != ' ' && raw[i + 1] != '\t') return false;
            continue;
        }
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
    return !raw.empty() && raw.back() == '\n';
}

std::string SubjectOf(const ItemRecord& item) {
    if (!item.message || !item.message->subject) return {};
    return OneLine(item.message->subject->text);
}

// The text's lines with LF ends: GMime writes them as CRLF.
std::string LfLines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c != '\0') {
            out += c;
        }
    }
    return out;
}

// The HTML's own charset declarations (<meta ... charset=...>) say UTF-8, which it now is.
std::string Utf8Html(std::string html) {
    auto lower = [](char c) { return g_ascii_tolower(c); };
    size_t at = 0;
    for (int guard = 0; guard < 64; ++guard) {
        auto meta = std::search(html.begin() + static_cast<std::ptrdiff_t>(at), html.end(),
                                std::begin("<meta"), std::end("<meta") - 1,
                                [&](char a, char b) { return lower(a) == b; });
        if (meta == html.end()) break;
        const size_t start = static_cast<size_t>(meta - html.begin());
        const size_t end = html.find('>', start);
        if (end == std::string::npos) break;
        std::string_view tag(html.data() + start, end - start);
        auto found =
            std::search(tag.begin(), tag.end(), std::begin("charset"), std::end("charset") - 1,
                        [&](char a, char b) { return lower(a) == b; });
        at = end;
        if (found == tag.end()) continue;
        size_t i = start + static_cast<size_t>(found - tag.begin()) + 7;
        while (i < end && (html[i] == ' ' || html[i] == '\t')) ++i;
        if (i >= end || html[i] != '=') continue;
        ++i;
        while (i < end && (html[i] == ' ' || html[i] == '\t' || html[i] == '"' || html[i] == '\''))
            ++i;
        size_t j = i;
        while (j < end && (g_ascii_isalnum(html[j]) || html[j] == '-' || html[j] == '_' ||
                           html[j] == '.' || html[j] == ':'))
            ++j;
        if (j == i) continue;
        html.replace(i, j - i, "utf-8");
        at = i + 5;
    }
    return html;
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// An RFC 2231 value in one piece: split pieces may cut a character in two, which readers
// decode piece by piece.
std::string Rfc2231Value(std::string_view text) {
    std::string out = "UTF-8''";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (g_ascii_isalnum(c) ||
            std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos)
            out += c;
        else
            out += fmt::format("%{:02X}", u);
    }
    return out;
}

// Writes the header's value as given (value: without the leading blank; lines after the
// first start with a blank).
void SetRawHeader(GMimeObject* object, const char* name, const std::string& value) {
    GMimeHeaderList* list = g_mime_object_get_header_list(object);
    GMimeHeader* header = g_mime_header_list_get_header(list, name);
    if (header != nullptr) g_mime_header_set_raw_value(header, (" " + value + "\n").c_str());
}

// A name beyond ASCII goes into Content-Type and Content-Disposition as one RFC 2231
// parameter each.
void SetWideFileName(GMimeObject* object, std::string_view type, std::string_view disposition,
                     const std::string& name) {
    const std::string value = Rfc2231Value(name);
    SetRawHeader(object, "Content-Type", fmt::format("{};\n name*={}", type, value));
    SetRawHeader(object, "Content-Disposition",
                 fmt::format("{};\n filename*={}", disposition, value));
}

GRef<GMimeDataWrapper> Content(std::string_view bytes) {
    GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    return GRef<GMimeDataWrapper>(
        g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
}

GRef<GMimeObject> TextPart(const char* subtype, std::string_view text) {
    GRef<GMimeTextPart> part(g_mime_text_part_new_with_subtype(subtype));
    g_mime_text_part_set_charset(part.get(), "utf-8");
    const std::string lines = LfLines(text);
    g_mime_part_set_content(GMIME_PART(part.get()), Content(lines).get());
    g_mime_part_set_content_encoding(GMIME_PART(part.get()),
                                     g_mime_part_get_best_content_encoding(
                                         GMIME_PART(part.get()), GMIME_ENCODING_CONSTRAINT_7BIT));
    return GRef<GMimeObject>(GMIME_OBJECT(part.release()));
}

class MessageBuilder {
  public:
    MessageBuilder(std::vector<std::string>& problems) : problems_(problems) {}

    GRef<GMimeMessage> Build(const FullItem& full, int depth, uint64_t seed) {
        const ItemRecord& item = *full.item;
        static const MessageRecord kNoMessage;
        const MessageRecord& message = item.message ? *item.message : kNoMessage;
        Fnv hash;
        hash.Add(seed);
        hash.Add(full.nid);
        hash.Add(SubjectOf(item));
        hash.Add(static_cast<uint64_t>(MessageDateSeconds(item)));
        hash.Add(message.senderName);
        hash.Add(static_cast<uint64_t>(message.body.size()));
        hash.Add(static_cast<uint64_t>(item.attachments.size()));
        boundaryBase_ = hash.value;

        GRef<GMimeMessage> mime(g_mime_message_new(FALSE));
        GMimeObject* object = GMIME_OBJECT(mime.get());
        AddTransportHeaders(object, message.transportHeaders);

        const int64_t seconds = MessageDateSeconds(item);
        GDateTime* date = g_date_time_new_from_unix_utc(seconds);
        if (date == nullptr) date = g_date_time_new_from_unix_utc(0);
        g_mime_message_set_date(mime.get(), date);
        g_date_time_unref(date);

        AddFrom(mime.get(), message);
        g_mime_message_set_subject(mime.get(), SubjectOf(item).c_str(), "utf-8");
        AddRecipients(mime.get(), full.recipients);

        std::string id = CleanMessageId(message.internetMessageId);
        if (id.empty())
            id = fmt::format("{:016x}.{:x}@recovered.kestrel.invalid", hash.value, full.nid);
        g_mime_message_set_message_id(mime.get(), id.c_str());
        if (std::string inReplyTo = CleanIdList(message.inReplyTo); !inReplyTo.empty())
            g_mime_object_set_header(object, "In-Reply-To", inReplyTo.c_str(), nullptr);
        if (std::string references = CleanIdList(message.internetReferences); !references.empty())
            g_mime_object_set_header(object, "References", references.c_str(), nullptr);
        g_mime_object_set_header(object, "MIME-Version", "1.0", nullptr);

        GRef<GMimeObject> body = Body(full, depth);
        g_mime_message_set_mime_part(mime.get(), body.get());
        return mime;
    }

  private:
    void AddTransportHeaders(GMimeObject* object, std::string_view headers) {
        if (headers.empty()) return;
        // The headers alone, closed by an empty line, parse as a message without a body.
        std::string text = LfLines(headers);
        while (!text.empty() && text.back() == '\n') text.pop_back();
        text += "\n\n";
        GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
        GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
        g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
        GRef<GMimeMessage> parsed(g_mime_parser_construct_message(parser.get(), nullptr));
        if (!parsed) return;
        GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(parsed.get()));
        const int count = std::min(g_mime_header_list_get_count(list), kMaxTransportHeaders);
        for (int i = 0; i < count; ++i) {
            GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
            const char* rawName = g_mime_header_get_name(header);
            const char* rawValue = g_mime_header_get_value(header);
            if (rawName == nullptr || rawValue == nullptr) continue;
            const std::string_view name(rawName);
            if (name.empty() || name.size() > 76 ||
                !std::all_of(name.begin(), name.end(), [](char c) {
                    const auto u = static_cast<unsigned char>(c);
                    return u > 0x20 && u < 0x7F && c != ':';
                }))
                continue;
            if (StartsWithIgnoringCase(name, "content-")) continue;
            if (std::any_of(kOwnHeaders.begin(), kOwnHeaders.end(),
                            [&](std::string_view own) { return EqualsIgnoringCase(own, name); }))
                continue;
            // The value as received, folding and encoded words kept: the parser split the
            // lines, so every line of it but the first starts with a blank.
            const char* raw = g_mime_header_get_raw_value(header);
            const std::string value = OneLine(rawValue);
            if (std::any_of(
                    kAddressHeaders.begin(), kAddressHeaders.end(),
                    [&](std::string_view kind) { return EqualsIgnoringCase(kind, name); }) &&
                !HasPlainAddresses(value.c_str()))
                continue;
            g_mime_object_append_header(object, rawName, value.c_str(), "utf-8");
            if (raw != nullptr && IsFoldedValue(raw)) {
                GMimeHeaderList* own = g_mime_object_get_header_list(object);
                const int last = g_mime_header_list_get_count(own) - 1;
                if (last >= 0)
                    g_mime_header_set_raw_value(g_mime_header_list_get_header_at(own, last), raw);
            }
        }
    }

    // The sent-representing name with an SMTP address, never an Exchange DN.
    void AddFrom(GMimeMessage* mime, const MessageRecord& message) {
        std::string name = OneLine(message.senderName);
        std::string address;
        const std::string typed = EqualsIgnoringCase(OneLine(message.senderAddressType), "SMTP")
                                      ? message.senderEmailAddress
                                      : "";
        for (const std::string* candidate :
             {&message.sentRepresentingSmtpAddress, &message.senderSmtpAddress, &typed,
              &message.senderAddress, &message.senderEmailAddress}) {
            const std::string cleaned = OneLine(*candidate);
            if (IsPlainAddress(cleaned)) {
                address = cleaned;
                break;
            }
        }
        if (address.empty()) address = InvalidAddress(name);
        g_mime_message_add_mailbox(mime, GMIME_ADDRESS_TYPE_FROM, name.c_str(), address.c_str());
    }

    void AddRecipients(GMimeMessage* mime, const std::vector<RecipientEntry>& recipients) {
        for (const RecipientEntry& recipient : recipients) {
            GMimeAddressType type = GMIME_ADDRESS_TYPE_TO;
            if (recipient.type == 2) type = GMIME_ADDRESS_TYPE_CC;
            if (recipient.type == 3) type = GMIME_ADDRESS_TYPE_BCC;
            const std::string name = OneLine(recipient.displayName);
            std::string address = OneLine(recipient.address);
            if (!IsPlainAddress(address)) address = InvalidAddress(name);
            g_mime_message_add_mailbox(mime, type, name.c_str(), address.c_str());
        }
    }

    GRef<GMimeMultipart> Multipart(const char* subtype) {
        GRef<GMimeMultipart> part(g_mime_multipart_new_with_subtype(subtype));
        const std::string boundary =
            fmt::format("=_kestrel_{:016x}_{}", boundaryBase_, boundaries_++);
        g_mime_multipart_set_boundary(part.get(), boundary.c_str());
        return part;
    }

    static std::string AttachmentName(const AttachmentRecord& attachment) {
        return OneLine(attachment.longName.empty() ? attachment.shortName : attachment.longName);
    }

    static std::string CleanContentId(std::string_view raw) {
        std::string id = OneLine(raw);
        if (id.size() >= 2 && id.front() == '<' && id.back() == '>')
            id = id.substr(1, id.size() - 2);
        const bool plain =
            !id.empty() && id.size() < 250 && std::all_of(id.begin(), id.end(), [](char c) {
                const auto u = static_cast<unsigned char>(c);
                return u > 0x20 && u < 0x7F && c != '<' && c != '>';
            });
        return plain ? id : std::string();
    }

    GRef<GMimeObject> AttachmentPart(const AttachmentRecord& attachment, size_t index, bool inlined,
                                     const std::string& contentId) {
        const std::string type = CheckedMimeType(attachment.mimeTag);
        const size_t slash = type.find('/');
        GRef<GMimePart> part(g_mime_part_new_with_type(type.substr(0, slash).c_str(),
                                                       type.substr(slash + 1).c_str()));
        GMimeObject* object = GMIME_OBJECT(part.get());
        g_mime_object_set_disposition(object, inlined ? "inline" : "attachment");
        // A nameless attachment (an OLE object, say) is named after its place, so that mail
        // programs offer to save it.
        std::string name = AttachmentName(attachment);
        if (name.empty()) name = fmt::format("attachment-{}.bin", index + 1);
        g_mime_part_set_filename(part.get(), name.c_str());
        if (!contentId.empty()) g_mime_part_set_content_id(part.get(), contentId.c_str());
        const std::string_view data(reinterpret_cast<const char*>(attachment.data.data()),
                                    attachment.data.size());
        g_mime_part_set_content(part.get(), Content(data).get());
        g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
        if (!IsAscii(name)) SetWideFileName(object, type, inlined ? "inline" : "attachment", name);
        return GRef<GMimeObject>(GMIME_OBJECT(part.release()));
    }

    GRef<GMimeObject> RtfPart(const std::string& rtf) {
        GRef<GMimePart> part(g_mime_part_new_with_type("application", "rtf"));
        g_mime_object_set_disposition(GMIME_OBJECT(part.get()), "attachment");
        g_mime_part_set_filename(part.get(), "body.rtf");
        g_mime_part_set_content(part.get(), Content(rtf).get());
        g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
        return GRef<GMimeObject>(GMIME_OBJECT(part.release()));
    }

    GRef<GMimeObject> Body(const FullItem& full, int depth) {
        const ItemRecord& item = *full.item;
        static const MessageRecord kNoMessage;
        const MessageRecord& message = item.message ? *item.message : kNoMessage;

        std::string html(message.bodyHtml.begin(), message.bodyHtml.end());
        while (!html.empty() && html.back() == '\0') html.pop_back();
        bool rtfOnly = html.empty() && message.hasRtfBody && !message.rtfBody.empty();
        // An RTF body written from HTML gives that HTML back; other RTF goes along as
        // "body.rtf".
        if (rtfOnly) {
            if (std::optional<std::string> fromRtf = HtmlFromRtf(message.rtfBody);
                fromRtf && !fromRtf->empty()) {
                html = std::move(*fromRtf);
                rtfOnly = false;
            }
        }
        const bool hasHtml = !html.empty();

        // Attachments the HTML shows by Content-ID go beside it in multipart/related.
        std::vector<bool> related(item.attachments.size(), false);
        std::vector<std::string> contentIds(item.attachments.size());
        for (size_t i = 0; i < item.attachments.size(); ++i) {
            contentIds[i] = CleanContentId(item.attachments[i].contentId);
            if (hasHtml && !contentIds[i].empty() && IsPlainAttachment(full, i) &&
                html.find("cid:" + contentIds[i]) != std::string::npos)
                related[i] = true;
        }

        GRef<GMimeObject> text = TextPart("plain", message.body);
        GRef<GMimeObject> rich;
        if (hasHtml) {
            rich = TextPart("html", Utf8Html(std::move(html)));
            if (std::find(related.begin(), related.end(), true) != related.end()) {
                GRef<GMimeMultipart> group = Multipart("related");
                g_mime_multipart_add(group.get(), rich.get());
                for (size_t i = 0; i < related.size(); ++i) {
                    if (!related[i]) continue;
                    g_mime_multipart_add(
                        group.get(),
                        AttachmentPart(item.attachments[i], i, true, contentIds[i]).get());
                }
                rich.reset(GMIME_OBJECT(group.release()));
            }
        }
        GRef<GMimeObject> body;
        if (rich) {
            GRef<GMimeMultipart> alternative = Multipart("alternative");
            g_mime_multipart_add(alternative.get(), text.get());
            g_mime_multipart_add(alternative.get(), rich.get());
            body.reset(GMIME_OBJECT(alternative.release()));
        } else {
            body = std::move(text);
        }

        std::vector<GRef<GMimeObject>> parts;
        if (rtfOnly) parts.push_back(RtfPart(message.rtfBody));
        for (size_t i = 0; i < item.attachments.size(); ++i) {
            if (related[i]) continue;
            const AttachmentRecord& attachment = item.attachments[i];
            const FullItem* inner = EmbeddedAt(full, i);
            if (inner != nullptr) {
                parts.push_back(MessagePart(*inner, attachment, depth));
                continue;
            }
            if (attachment.method == 5u) {
                problems_.push_back(
                    depth + 1 > kEmbeddedDepthLimit
                        ? fmt::format("attached message of NID 0x{:X} left out: messages nested "
                                      "deeper than {} levels are not followed",
                                      full.nid, kEmbeddedDepthLimit)
                        : fmt::format(
                              "attached message of NID 0x{:X} left out: it could not be read",
                              full.nid));
                continue;
            }
            parts.push_back(AttachmentPart(attachment, i, false, contentIds[i]));
        }
        if (parts.empty()) return body;
        GRef<GMimeMultipart> mixed = Multipart("mixed");
        g_mime_multipart_add(mixed.get(), body.get());
        for (const auto& part : parts) g_mime_multipart_add(mixed.get(), part.get());
        return GRef<GMimeObject>(GMIME_OBJECT(mixed.release()));
    }

    static const FullItem* EmbeddedAt(const FullItem& full, size_t index) {
        for (const auto& embedded : full.embedded) {
            if (embedded.attachmentIndex == index && embedded.message && embedded.message->item)
                return embedded.message.get();
        }
        return nullptr;
    }

    static bool IsPlainAttachment(const FullItem& full, size_t index) {
        return EmbeddedAt(full, index) == nullptr && full.item->attachments[index].method != 5u;
    }

    GRef<GMimeObject> MessagePart(const FullItem& inner, const AttachmentRecord& attachment,
                                  int depth) {
        MessageBuilder builder(problems_);
        GRef<GMimeMessage> message = builder.Build(inner, depth + 1, boundaryBase_ + boundaries_++);
        GRef<GMimeMessagePart> part(g_mime_message_part_new_with_message("rfc822", message.get()));
        GMimeObject* object = GMIME_OBJECT(part.get());
        g_mime_object_set_disposition(object, "attachment");
        std::string name = AttachmentName(attachment);
        if (name.empty()) name = SubjectOf(*inner.item);
        if (name.empty()) name = "message";
        if (!name.ends_with(".eml")) name += ".eml";
        g_mime_object_set_content_disposition_parameter(object, "filename", name.c_str());
        if (!IsAscii(name)) {
            SetRawHeader(object, "Content-Disposition",
                         fmt::format("attachment;\n filename*={}", Rfc2231Value(name)));
        }
        return GRef<GMimeObject>(GMIME_OBJECT(part.release()));
    }

    std::vector<std::string>& problems_;
    uint64_t boundaryBase_ = 0;
    uint64_t boundaries_ = 0;
};

}  // namespace

void InitMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

int64_t MessageDateSeconds(const ItemRecord& item) {
    if (!item.message) return 0;
    const MessageRecord& message = *item.message;
    for (const std::vector<uint8_t>* bytes :
         {&message.submitTime, &message.deliveryTime, &message.creationTime}) {
        const std::optional<uint64_t> time = FileTime(*bytes);
        if (!time || *time == 0) continue;
        const int64_t seconds = static_cast<int64_t>(*time / 10000000ULL) - kFileTimeUnixOffset;
        // Dates before 1970 or past 9999 do not fit the header's forms.
        if (seconds < 0 || seconds > 253402300799LL) continue;
        return seconds;
    }
    return 0;
}

std::string CheckedMimeType(std::string_view tag) {
    std::string text = OneLine(tag);
    const size_t slash = text.find('/');
    if (slash == std::string::npos || !IsMimeToken(std::string_view(text).substr(0, slash)) ||
        !IsMimeToken(std::string_view(text).substr(slash + 1)))
        return "application/octet-stream";
    for (char& c : text) c = g_ascii_tolower(c);
    // Multiparts and messages are structures: a data part cannot be one.
    if (text.starts_with("multipart/") || text.starts_with("message/"))
        return "application/octet-stream";
    return text;
}

std::string EnvelopeSender(const ItemRecord& item) {
    if (item.message) {
        const MessageRecord& m = *item.message;
        for (const std::string* candidate : {&m.sentRepresentingSmtpAddress, &m.senderSmtpAddress,
                                             &m.senderAddress, &m.senderEmailAddress}) {
            const std::string cleaned = OneLine(*candidate);
            if (IsPlainAddress(cleaned)) return cleaned;
        }
    }
    return "MAILER-DAEMON";
}

std::string EmlOf(const FullItem& item, std::vector<std::string>& problems) {
    InitMime();
    MessageBuilder builder(problems);
    GRef<GMimeMessage> message = builder.Build(item, 0, 0);
    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    GRef<GMimeStream> stream(g_mime_stream_mem_new());
    g_mime_object_write_to_stream(GMIME_OBJECT(message.get()), options, stream.get());
    g_mime_format_options_free(options);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
    return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

std::string MboxEntry(std::string_view message, std::string_view sender, int64_t dateSeconds) {
    const std::time_t time = static_cast<std::time_t>(dateSeconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char date[64];
    std::strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &utc);
    std::string out = fmt::format("From {} {}\n", sender, date);
    out.reserve(out.size() + message.size() + 2);
    size_t start = 0;
    while (start < message.size()) {
        size_t end = message.find('\n', start);
        const size_t next = end == std::string_view::npos ? message.size() : end + 1;
        if (end == std::string_view::npos) end = message.size();
        std::string_view line = message.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t quotes = line.find_first_not_of('>');
        if (quotes != std::string_view::npos && line.substr(quotes).starts_with("From "))
            out += '>';
        out.append(line);
        out += '\n';
        start = next;
    }
    out += '\n';
    return out;
}

}  // namespace kestrel
