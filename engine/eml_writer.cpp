#include "engine/eml_writer.h"

#include <gmime/gmime.h>

#include <algorithm>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <array>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "items/file_time.h"
#include "items/rtf_html.h"
#include "storage/cpu_features.h"

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

// Where word (lower-case ASCII) first lies in text from `from` on, its letters in either
// case.
size_t FindNoCase(std::string_view text, std::string_view word, size_t from) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    const bool firstIsLetter = word[0] >= 'a' && word[0] <= 'z';
    for (size_t i = from; i < text.size() && text.size() - i >= word.size(); ++i) {
        // A first byte that is no letter is looked for directly.
        if (!firstIsLetter) {
            i = text.find(word[0], i);
            if (i == std::string_view::npos || text.size() - i < word.size()) break;
        }
        size_t k = 0;
        while (k < word.size() && lower(text[i + k]) == word[k]) ++k;
        if (k == word.size()) return i;
    }
    return std::string_view::npos;
}

// The HTML's own charset declarations (<meta ... charset=...>) say UTF-8, which it now is.
std::string Utf8Html(std::string html) {
    size_t at = 0;
    for (int guard = 0; guard < 64; ++guard) {
        const size_t start = FindNoCase(html, "<meta", at);
        if (start == std::string::npos) break;
        const size_t end = html.find('>', start);
        if (end == std::string::npos) break;
        at = end;
        const size_t found =
            FindNoCase(std::string_view(html.data() + start, end - start), "charset", 0);
        if (found == std::string_view::npos) continue;
        size_t i = start + found + 7;
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

// Header and part text is written directly: GMime only parses transport headers, where its
// parser earns its place.

// Lines of a header are folded before this column where a blank allows it.
constexpr size_t kFoldColumn = 78;
// A word longer than this is written as encoded words, which can be folded.
constexpr size_t kLongestPlainWord = 200;
// UTF-8 bytes per encoded word: 60 base64 characters, 72 with the frame, under 76.
constexpr size_t kEncodedWordBytes = 45;
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789ABCDEF";

void AppendBase64Group(std::string& out, const unsigned char* in, size_t n) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (n > 1 ? uint32_t{in[1]} << 8 : 0) |
                       (n > 2 ? uint32_t{in[2]} : 0);
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += n > 1 ? kBase64[(v >> 6) & 63] : '=';
    out += n > 2 ? kBase64[v & 63] : '=';
}

#if defined(__x86_64__) && defined(__GNUC__)
// The source byte of each output byte of a step: three bytes a, b, c go into a 32-bit lane
// as b, a, c, b, where each 6-bit field lies within one 16-bit half.
constexpr std::array<uint8_t, 64> Base64Spread() {
    std::array<uint8_t, 64> spread{};
    for (int k = 0; k < 16; ++k) {
        spread[4 * k] = static_cast<uint8_t>(3 * k + 1);
        spread[4 * k + 1] = static_cast<uint8_t>(3 * k);
        spread[4 * k + 2] = static_cast<uint8_t>(3 * k + 2);
        spread[4 * k + 3] = static_cast<uint8_t>(3 * k + 1);
    }
    return spread;
}
constexpr std::array<uint8_t, 64> kBase64Spread = Base64Spread();

// 48 bytes to 64 characters in one step (AVX-512 VBMI): the bytes spread over 32-bit
// lanes, a multishift takes each lane's four fields (bits 10, 4, 22 and 16 of it), a byte
// permute looks their low six bits up in the alphabet.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void EncodeBase64Step(
    const unsigned char* in, char* out) {
    // The zero-masking forms, all lanes kept: the plain ones trip GCC's uninitialized check.
    constexpr __mmask64 kAll = ~__mmask64{0};
    const __m512i bytes = _mm512_maskz_loadu_epi8(0xFFFFFFFFFFFFULL, in);
    const __m512i spread =
        _mm512_maskz_permutexvar_epi8(kAll, _mm512_loadu_si512(kBase64Spread.data()), bytes);
    const __m512i fields =
        _mm512_maskz_multishift_epi64_epi8(kAll, _mm512_set1_epi64(0x3036242A1016040ALL), spread);
    _mm512_storeu_si512(out,
                        _mm512_maskz_permutexvar_epi8(kAll, fields, _mm512_loadu_si512(kBase64)));
}

using Base64Step = void (*)(const unsigned char*, char*);
const Base64Step base64Step = HasAvx512Vbmi() ? EncodeBase64Step : nullptr;
#else
constexpr void (*base64Step)(const unsigned char*, char*) = nullptr;
#endif

// Base64 in lines of 76 characters, each ended by CRLF.
void AppendBase64Lines(std::string& out, std::string_view data) {
    const size_t lines = (data.size() + 56) / 57;
    const size_t start = out.size();
    out.resize(start + (data.size() + 2) / 3 * 4 + lines * 2);
    char* p = out.data() + start;
    const auto* in = reinterpret_cast<const unsigned char*>(data.data());
    const size_t size = data.size();
    size_t i = 0;
    while (i < size) {
        const size_t lineEnd = std::min(i + 57, size);
        if (base64Step && i + 48 <= lineEnd) {
            base64Step(in + i, p);
            i += 48;
            p += 64;
        }
        for (; i + 3 <= lineEnd; i += 3) {
            const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
            p[0] = kBase64[v >> 18];
            p[1] = kBase64[(v >> 12) & 63];
            p[2] = kBase64[(v >> 6) & 63];
            p[3] = kBase64[v & 63];
            p += 4;
        }
        if (i < lineEnd) {
            // The last one or two bytes (57 is a multiple of 3, so only at the end).
            const size_t n = lineEnd - i;
            const uint32_t v = (uint32_t{in[i]} << 16) | (n > 1 ? uint32_t{in[i + 1]} << 8 : 0);
            p[0] = kBase64[v >> 18];
            p[1] = kBase64[(v >> 12) & 63];
            p[2] = n > 1 ? kBase64[(v >> 6) & 63] : '=';
            p[3] = '=';
            p += 4;
            i = lineEnd;
        }
        *p++ = '\r';
        *p++ = '\n';
    }
}

// The length of the UTF-8 sequence text[i] starts, at least 1 and never past the end: a
// cut must not fall inside a character.
size_t CharLength(std::string_view text, size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 1;
    if (lead >= 0xF0) {
        length = 4;
    } else if (lead >= 0xE0) {
        length = 3;
    } else if (lead >= 0xC0) {
        length = 2;
    }
    size_t k = 1;
    while (k < length && i + k < text.size() &&
           (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80)
        ++k;
    return k;
}

// text as "=?UTF-8?B?...?=" words of whole characters.
std::vector<std::string> EncodedWords(std::string_view text) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start;
        while (end < text.size()) {
            const size_t length = CharLength(text, end);
            if (end + length - start > kEncodedWordBytes && end > start) break;
            end += length;
        }
        std::string word = "=?UTF-8?B?";
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data()) + start;
        for (size_t k = 0; k < end - start; k += 3)
            AppendBase64Group(word, bytes + k, std::min<size_t>(3, end - start - k));
        word += "?=";
        words.push_back(std::move(word));
        start = end;
    }
    return words;
}

// One header written token by token, folded before a token that would pass the fold
// column (never before the first, never at an empty token).
class HeaderWriter {
  public:
    HeaderWriter(std::string& out, std::string_view name) : out_(out) {
        out_ += name;
        out_ += ':';
        column_ = name.size() + 1;
        start_ = column_;
    }
    // A token after a blank.
    void Token(std::string_view token) {
        if (!token.empty() && column_ > start_ && column_ + 1 + token.size() > kFoldColumn) {
            out_ += "\r\n";
            column_ = 0;
        }
        out_ += ' ';
        out_ += token;
        column_ += 1 + token.size();
    }
    // Text that follows the last token without a blank (a comma).
    void Glue(std::string_view text) {
        out_ += text;
        column_ += text.size();
    }
    void End() { out_ += "\r\n"; }

  private:
    std::string& out_;
    size_t column_ = 0;
    size_t start_ = 0;
};

// Unstructured text (a subject): words that are plain ASCII stay as they are, runs of the
// others become encoded words, so that the blanks between them survive decoding.
void WriteTextTokens(HeaderWriter& header, std::string_view text) {
    std::vector<std::string_view> words;
    size_t start = 0;
    while (true) {
        const size_t blank = text.find(' ', start);
        words.push_back(text.substr(
            start, blank == std::string_view::npos ? std::string_view::npos : blank - start));
        if (blank == std::string_view::npos) break;
        start = blank + 1;
    }
    auto needsEncoding = [](std::string_view word) {
        return !IsAscii(word) || word.find("=?") != std::string_view::npos ||
               word.size() > kLongestPlainWord;
    };
    for (size_t i = 0; i < words.size();) {
        if (!needsEncoding(words[i])) {
            header.Token(words[i++]);
            continue;
        }
        // The run's words and the blanks between them, encoded together.
        size_t last = i;
        while (last + 1 < words.size() && needsEncoding(words[last + 1])) ++last;
        const char* from = words[i].data();
        const char* to = words[last].data() + words[last].size();
        for (const std::string& word : EncodedWords(std::string_view(from, to - from)))
            header.Token(word);
        i = last + 1;
    }
}

void WriteUnstructured(std::string& out, std::string_view name, std::string_view text) {
    HeaderWriter header(out, name);
    WriteTextTokens(header, text);
    header.End();
}

// A display name: atoms as they are, other ASCII as one quoted string, anything else as
// encoded words.
void WritePhrase(HeaderWriter& header, std::string_view name) {
    if (!IsAscii(name) || name.size() > kLongestPlainWord) {
        for (const std::string& word : EncodedWords(name)) header.Token(word);
        return;
    }
    size_t start = 0;
    bool atoms = true;
    std::vector<std::string_view> words;
    while (start <= name.size()) {
        size_t blank = name.find(' ', start);
        if (blank == std::string_view::npos) blank = name.size();
        const std::string_view word = name.substr(start, blank - start);
        // A dot is no atom character in a phrase ("J. Smith" is quoted).
        if (word.empty() ||
            !std::all_of(word.begin(), word.end(), [](char c) { return c != '.' && IsAtext(c); }))
            atoms = false;
        words.push_back(word);
        start = blank + 1;
    }
    if (atoms) {
        for (std::string_view word : words) header.Token(word);
        return;
    }
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    header.Token(quoted);
}

using Mailbox = MailboxText;

void WriteAddresses(std::string& out, std::string_view field, const std::vector<Mailbox>& list) {
    if (list.empty()) return;
    HeaderWriter header(out, field);
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].name.empty()) {
            header.Token(list[i].address);
        } else {
            WritePhrase(header, list[i].name);
            header.Token("<" + list[i].address + ">");
        }
        if (i + 1 < list.size()) header.Glue(",");
    }
    header.End();
}

// "Tue, 25 Apr 2017 01:27:47 +0000", the same in every locale.
std::string DateText(int64_t seconds) {
    static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                         "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    return fmt::format("{}, {:02} {} {} {:02}:{:02}:{:02} +0000", kDays[utc.tm_wday % 7],
                       utc.tm_mday, kMonths[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour,
                       utc.tm_min, utc.tm_sec);
}

// A parameter of a Content-* header: a token as it is, other ASCII quoted, anything else
// as one RFC 2231 value. It goes on a line of its own when the line would grow too long.
void AppendParameter(std::string& out, size_t lineStart, std::string_view name,
                     std::string_view value) {
    std::string text;
    if (IsMimeToken(value)) {
        text = fmt::format("{}={}", name, value);
    } else if (IsAscii(value)) {
        text = std::string(name) + "=\"";
        for (char c : value) {
            if (c == '"' || c == '\\') text += '\\';
            text += c;
        }
        text += '"';
    } else {
        text = fmt::format("{}*={}", name, Rfc2231Value(value));
    }
    out += ';';
    out += out.size() - lineStart + 1 + text.size() > kFoldColumn ? "\r\n " : " ";
    out += text;
}

enum class TextEncoding { SevenBit, QuotedPrintable, Base64 };

// 7bit for short ASCII lines that cannot be taken for a boundary, base64 for text that is
// mostly beyond ASCII, quoted-printable for the rest.
TextEncoding ChooseEncoding(std::string_view text) {
    size_t wide = 0;
    size_t line = 0;
    size_t longest = 0;
    bool controls = false;
    size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes a step: the bytes from 0x80 up are counted in byte lanes (emptied before
    // they overflow), control characters noted, and lines measured between the breaks.
    const __m128i zero = _mm_setzero_si128();
    __m128i wideLanes = zero;
    __m128i controlLanes = zero;
    auto emptyWideLanes = [&] {
        const __m128i sums = _mm_sad_epu8(wideLanes, zero);
        wide += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
                static_cast<size_t>(_mm_extract_epi16(sums, 4));
        wideLanes = zero;
    };
    for (size_t steps = 1; i + 16 <= text.size(); i += 16, ++steps) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        const __m128i breaks = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                                            _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
        const __m128i high = _mm_cmplt_epi8(v, zero);  // signed: from 0x80 up
        wideLanes = _mm_sub_epi8(wideLanes, high);
        const __m128i low = _mm_cmplt_epi8(_mm_andnot_si128(high, v), _mm_set1_epi8(0x20));
        const __m128i allowed = _mm_or_si128(breaks, _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
        controlLanes =
            _mm_or_si128(controlLanes, _mm_andnot_si128(allowed, _mm_andnot_si128(high, low)));
        if (steps % 255 == 0) emptyWideLanes();
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(breaks));
        unsigned from = 0;
        while (mask != 0) {
            const auto at = static_cast<unsigned>(__builtin_ctz(mask));
            mask &= mask - 1;
            line += at - from;
            longest = std::max(longest, line);
            line = 0;
            from = at + 1;
        }
        line += 16 - from;
        longest = std::max(longest, line);
    }
    emptyWideLanes();
    controls = _mm_movemask_epi8(controlLanes) != 0;
#endif
    for (; i < text.size(); ++i) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            ++wide;
        } else if (u < 0x20 && c != '\t' && c != '\r' && c != '\n') {
            controls = true;
        }
        if (c == '\r' || c == '\n') {
            line = 0;
        } else {
            longest = std::max(longest, ++line);
        }
    }
    if (wide == 0 && !controls && longest <= 76 && text.find("--=_") == std::string_view::npos)
        return TextEncoding::SevenBit;
    return wide > text.size() / 3 ? TextEncoding::Base64 : TextEncoding::QuotedPrintable;
}

// The text's line breaks (CR, LF, CRLF) as CRLF; NULs dropped.
void AppendCrlfLines(std::string& out, std::string_view text) {
    static constexpr std::string_view kSpecial("\r\n\0", 3);
    size_t i = 0;
    while (i < text.size()) {
        const size_t next = text.find_first_of(kSpecial, i);
        if (next == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        out.append(text.substr(i, next - i));
        const char c = text[next];
        i = next + 1;
        if (c == '\0') continue;
        out += "\r\n";
        if (c == '\r' && i < text.size() && text[i] == '\n') ++i;
    }
}

// How many bytes from i on go into quoted-printable as they are: printable ASCII but '=',
// and blanks (the caller encodes a blank that ends a line).
size_t PlainRun(std::string_view text, size_t i) {
    const size_t from = i;
#if defined(__SSE2__)
    for (; i + 16 <= text.size(); i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        // Signed compares: bytes from 0x80 up are negative, so never above 0x20.
        const __m128i printable =
            _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('=')),
                             _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x20)),
                                           _mm_cmplt_epi8(v, _mm_set1_epi8(0x7F))));
        const __m128i plain =
            _mm_or_si128(printable, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                                                 _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(plain));
        if (mask != 0xFFFF) return i - from + static_cast<unsigned>(__builtin_ctz(~mask));
    }
#endif
    for (; i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (!((u >= 0x21 && u <= 0x7E && u != '=') || u == ' ' || u == '\t')) break;
    }
    return i - from;
}

// Quoted-printable with lines of at most 76 characters; the text's line breaks become hard
// CRLF breaks, a blank before one is encoded, NULs are dropped.
void AppendQuotedPrintable(std::string& out, std::string_view text) {
    const size_t size = text.size();
    const size_t start = out.size();
    // Three characters a byte at most, and a soft break of three per 73 written.
    out.resize(start + size * 3 + size / 4 + 16);
    char* const begin = out.data() + start;
    char* p = begin;
    size_t line = 0;
    for (size_t i = 0; i < size; ++i) {
        // A run of bytes that go as they are is copied in pieces that fill the line.
        size_t run = PlainRun(text, i);
        if (run > 0) {
            // A blank right before a line break (or the end) is encoded, below.
            const char last = text[i + run - 1];
            if ((last == ' ' || last == '\t') &&
                (i + run == size || text[i + run] == '\r' || text[i + run] == '\n'))
                --run;
            while (run > 0) {
                if (line == 75) {
                    *p++ = '=';
                    *p++ = '\r';
                    *p++ = '\n';
                    line = 0;
                }
                const size_t piece = std::min(run, 75 - line);
                std::memcpy(p, text.data() + i, piece);
                p += piece;
                i += piece;
                line += piece;
                run -= piece;
            }
            if (i >= size) break;
        }
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r' || c == '\n') {
            *p++ = '\r';
            *p++ = '\n';
            line = 0;
            if (c == '\r' && i + 1 < size && text[i + 1] == '\n') ++i;
            continue;
        }
        if (u == 0) continue;
        bool plain = u >= 0x21 && u <= 0x7E && c != '=';
        if (c == ' ' || c == '\t')
            plain = i + 1 < size && text[i + 1] != '\r' && text[i + 1] != '\n';
        const size_t length = plain ? 1 : 3;
        if (line + length > 75) {
            *p++ = '=';
            *p++ = '\r';
            *p++ = '\n';
            line = 0;
        }
        if (plain) {
            *p++ = c;
        } else {
            p[0] = '=';
            p[1] = kHex[u >> 4];
            p[2] = kHex[u & 15];
            p += 3;
        }
        line += length;
    }
    out.resize(start + static_cast<size_t>(p - begin));
}

// Writes the text part's headers, the empty line and its content.
void AppendTextPart(std::string& out, std::string_view subtype, std::string_view text) {
    out += "Content-Type: text/";
    out += subtype;
    out += "; charset=utf-8\r\n";
    switch (ChooseEncoding(text)) {
        case TextEncoding::SevenBit:
            out += "\r\n";
            AppendCrlfLines(out, text);
            break;
        case TextEncoding::QuotedPrintable:
            out += "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
            AppendQuotedPrintable(out, text);
            break;
        case TextEncoding::Base64: {
            out += "Content-Transfer-Encoding: base64\r\n\r\n";
            std::string lines;
            AppendCrlfLines(lines, text);
            AppendBase64Lines(out, lines);
            break;
        }
    }
}

class MessageBuilder {
  public:
    explicit MessageBuilder(std::vector<std::string>& problems) : problems_(problems) {}

    void Build(std::string& out, const FullItem& full, int depth, uint64_t seed) {
        const ItemRecord& item = *full.item;
        static const MessageRecord kNoMessage;
        const MessageRecord& message = item.message ? *item.message : kNoMessage;
        const std::string subject = SubjectOf(item);
        const int64_t seconds = MessageDateSeconds(item);
        Fnv hash;
        hash.Add(seed);
        hash.Add(full.nid);
        hash.Add(subject);
        hash.Add(static_cast<uint64_t>(seconds));
        hash.Add(message.senderName);
        hash.Add(static_cast<uint64_t>(message.body.size()));
        hash.Add(static_cast<uint64_t>(item.attachments.size()));
        boundaryBase_ = hash.value;

        AddTransportHeaders(out, message.transportHeaders);
        out += "Date: ";
        out += DateText(seconds);
        out += "\r\n";
        WriteAddresses(out, "From", {SenderMailbox(message)});
        WriteUnstructured(out, "Subject", subject);
        std::array<std::vector<Mailbox>, 3> byType;
        for (const RecipientEntry& recipient : full.recipients) {
            const size_t slot = recipient.type == 2 ? 1 : recipient.type == 3 ? 2 : 0;
            byType[slot].push_back(RecipientMailbox(recipient));
        }
        WriteAddresses(out, "To", byType[0]);
        WriteAddresses(out, "Cc", byType[1]);
        WriteAddresses(out, "Bcc", byType[2]);

        std::string id = CleanMessageId(message.internetMessageId);
        if (id.empty())
            id = fmt::format("{:016x}.{:x}@recovered.kestrel.invalid", hash.value, full.nid);
        out += fmt::format("Message-ID: <{}>\r\n", id);
        if (std::string inReplyTo = CleanIdList(message.inReplyTo); !inReplyTo.empty())
            WriteUnstructured(out, "In-Reply-To", inReplyTo);
        if (std::string references = CleanIdList(message.internetReferences); !references.empty())
            WriteUnstructured(out, "References", references);
        out += "MIME-Version: 1.0\r\n";
        Body(out, full, depth);
    }

  private:
    void AddTransportHeaders(std::string& out, std::string_view headers) {
        if (headers.empty()) return;
        InitMime();
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
            const std::string value = OneLine(rawValue);
            if (std::any_of(
                    kAddressHeaders.begin(), kAddressHeaders.end(),
                    [&](std::string_view kind) { return EqualsIgnoringCase(kind, name); }) &&
                !HasPlainAddresses(value.c_str()))
                continue;
            // The value as received, folding and encoded words kept, when every line of it
            // but the first starts with a blank; else it is written anew from its text.
            const char* raw = g_mime_header_get_raw_value(header);
            if (raw != nullptr && IsFoldedValue(raw)) {
                out += name;
                out += ':';
                AppendCrlfLines(out, raw);
            } else {
                WriteUnstructured(out, name, value);
            }
        }
    }

    std::string NextBoundary() {
        return fmt::format("=_kestrel_{:016x}_{}", boundaryBase_, boundaries_++);
    }

    // A part of a multipart: its entity comes from write.
    struct Part {
        std::function<void(std::string&)> write;
    };

    static void AppendMultipart(std::string& out, std::string_view subtype,
                                const std::string& boundary, const std::vector<Part>& parts) {
        out += "Content-Type: multipart/";
        out += subtype;
        out += "; boundary=\"";
        out += boundary;
        out += "\"\r\n\r\n";
        for (const Part& part : parts) {
            out += "--";
            out += boundary;
            out += "\r\n";
            part.write(out);
            out += "\r\n";
        }
        out += "--";
        out += boundary;
        out += "--\r\n";
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

    // A data part: type, disposition with the file name, content id, base64 content.
    static void AppendDataPart(std::string& out, std::string_view type,
                               std::string_view disposition, std::string_view name,
                               std::string_view contentId, std::string_view data) {
        size_t lineStart = out.size();
        out += "Content-Type: ";
        out += type;
        AppendParameter(out, lineStart, "name", name);
        out += "\r\n";
        lineStart = out.size();
        out += "Content-Disposition: ";
        out += disposition;
        AppendParameter(out, lineStart, "filename", name);
        out += "\r\n";
        if (!contentId.empty()) {
            out += "Content-Id: <";
            out += contentId;
            out += ">\r\n";
        }
        out += "Content-Transfer-Encoding: base64\r\n\r\n";
        AppendBase64Lines(out, data);
    }

    static void AppendAttachment(std::string& out, const AttachmentRecord& attachment, size_t index,
                                 bool inlined, const std::string& contentId) {
        // A nameless attachment (an OLE object, say) is named after its place, so that mail
        // programs offer to save it.
        std::string name = AttachmentName(attachment);
        if (name.empty()) name = fmt::format("attachment-{}.bin", index + 1);
        const std::string_view data(reinterpret_cast<const char*>(attachment.data.data()),
                                    attachment.data.size());
        AppendDataPart(out, CheckedMimeType(attachment.mimeTag), inlined ? "inline" : "attachment",
                       name, contentId, data);
    }

    void Body(std::string& out, const FullItem& full, int depth) {
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
        if (!html.empty()) html = Utf8Html(std::move(html));
        const bool hasHtml = !html.empty();

        // Attachments the HTML shows by Content-ID go beside it in multipart/related.
        std::vector<bool> related(item.attachments.size(), false);
        std::vector<std::string> contentIds(item.attachments.size());
        bool anyRelated = false;
        for (size_t i = 0; i < item.attachments.size(); ++i) {
            contentIds[i] = CleanContentId(item.attachments[i].contentId);
            if (hasHtml && !contentIds[i].empty() && IsPlainAttachment(full, i) &&
                html.find("cid:" + contentIds[i]) != std::string::npos) {
                related[i] = true;
                anyRelated = true;
            }
        }

        // Boundaries are numbered in the order the parts were made before: related,
        // alternative, attached messages, mixed.
        const std::string relatedBoundary = anyRelated ? NextBoundary() : std::string();
        const std::string alternativeBoundary = hasHtml ? NextBoundary() : std::string();
        auto writeRich = [&](std::string& to) {
            if (!anyRelated) {
                AppendTextPart(to, "html", html);
                return;
            }
            std::vector<Part> parts;
            parts.push_back({[&](std::string& o) { AppendTextPart(o, "html", html); }});
            for (size_t i = 0; i < related.size(); ++i) {
                if (!related[i]) continue;
                parts.push_back({[&, i](std::string& o) {
                    AppendAttachment(o, item.attachments[i], i, true, contentIds[i]);
                }});
            }
            AppendMultipart(to, "related", relatedBoundary, parts);
        };
        auto writeBody = [&](std::string& to) {
            if (!hasHtml) {
                AppendTextPart(to, "plain", message.body);
                return;
            }
            AppendMultipart(
                to, "alternative", alternativeBoundary,
                {{[&](std::string& o) { AppendTextPart(o, "plain", message.body); }}, {writeRich}});
        };

        std::vector<Part> parts;
        if (rtfOnly) {
            parts.push_back({[&](std::string& o) {
                AppendDataPart(o, "application/rtf", "attachment", "body.rtf", {}, message.rtfBody);
            }});
        }
        for (size_t i = 0; i < item.attachments.size(); ++i) {
            if (related[i]) continue;
            const AttachmentRecord& attachment = item.attachments[i];
            if (const FullItem* inner = EmbeddedAt(full, i); inner != nullptr) {
                const uint64_t seed = boundaryBase_ + boundaries_++;
                parts.push_back({[this, inner, &attachment, depth, seed](std::string& o) {
                    AppendMessagePart(o, *inner, attachment, depth, seed);
                }});
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
            parts.push_back({[&, i](std::string& o) {
                AppendAttachment(o, item.attachments[i], i, false, contentIds[i]);
            }});
        }
        if (parts.empty()) {
            writeBody(out);
            return;
        }
        parts.insert(parts.begin(), Part{writeBody});
        AppendMultipart(out, "mixed", NextBoundary(), parts);
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

    void AppendMessagePart(std::string& out, const FullItem& inner,
                           const AttachmentRecord& attachment, int depth, uint64_t seed) {
        std::string name = AttachmentName(attachment);
        if (name.empty()) name = SubjectOf(*inner.item);
        if (name.empty()) name = "message";
        if (!name.ends_with(".eml")) name += ".eml";
        out += "Content-Type: message/rfc822\r\n";
        const size_t lineStart = out.size();
        out += "Content-Disposition: attachment";
        AppendParameter(out, lineStart, "filename", name);
        out += "\r\n\r\n";
        MessageBuilder builder(problems_);
        builder.Build(out, inner, depth + 1, seed);
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

MailboxText SenderMailbox(const MessageRecord& message) {
    MailboxText from{OneLine(message.senderName), {}};
    const std::string typed = EqualsIgnoringCase(OneLine(message.senderAddressType), "SMTP")
                                  ? message.senderEmailAddress
                                  : "";
    for (const std::string* candidate :
         {&message.sentRepresentingSmtpAddress, &message.senderSmtpAddress, &typed,
          &message.senderAddress, &message.senderEmailAddress}) {
        std::string cleaned = OneLine(*candidate);
        if (IsPlainAddress(cleaned)) {
            from.address = std::move(cleaned);
            break;
        }
    }
    if (from.address.empty()) from.address = InvalidAddress(from.name);
    return from;
}

MailboxText RecipientMailbox(const RecipientEntry& recipient) {
    MailboxText mailbox{OneLine(recipient.displayName), OneLine(recipient.address)};
    if (!IsPlainAddress(mailbox.address)) mailbox.address = InvalidAddress(mailbox.name);
    return mailbox;
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
    std::string out;
    out.reserve(4096);
    MessageBuilder builder(problems);
    builder.Build(out, item, 0, 0);
    return out;
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
