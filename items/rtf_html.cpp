#include "items/rtf_html.h"

#include <cstdint>
#include <map>
#include <vector>

#include "items/code_page.h"

namespace kestrel {
namespace {

// Groups nest deeper than this only in hostile files; what lies deeper is skipped.
constexpr size_t kMaxDepth = 256;
// Font tables of real documents hold dozens of fonts.
constexpr size_t kMaxFonts = 4096;
// Control words are short; longer runs of letters are read but not matched.
constexpr size_t kMaxWordLength = 32;
// RTF parameters are 16-bit, sometimes 32-bit; more digits are damage.
constexpr size_t kMaxDigits = 10;

enum class Destination { kText, kHtmlTag, kFontTable, kSkip };

struct GroupState {
    Destination destination = Destination::kText;
    bool htmlRtf = false;  // inside \htmlrtf ... \htmlrtf0: RTF-only content
    int unicodeSkip = 1;   // \ucN: fallback characters after each \uN
    int font = -1;         // \fN; in the font table, the font being defined
};

// Windows code page of an RTF \fcharset value; 0 for "use the document's".
uint32_t CodePageOfCharset(long charset) {
    switch (charset) {
        case 77:
            return 10000;
        case 128:
            return 932;
        case 129:
            return 949;
        case 130:
            return 1361;
        case 134:
            return 936;
        case 136:
            return 950;
        case 161:
            return 1253;
        case 162:
            return 1254;
        case 163:
            return 1258;
        case 177:
            return 1255;
        case 178:
            return 1256;
        case 186:
            return 1257;
        case 204:
            return 1251;
        case 222:
            return 874;
        case 238:
            return 1250;
        case 254:
            return 437;
        case 255:
            return 850;
        default:
            return 0;  // ANSI, default, symbol: the document's code page
    }
}

// Destinations that hold no text of the document.
bool IsSkippedDestination(std::string_view word) {
    static constexpr std::string_view kSkipped[] = {
        "colortbl",     "stylesheet", "info",       "pict",      "object",
        "header",       "footer",     "headerl",    "headerr",   "headerf",
        "footerl",      "footerr",    "footerf",    "listtable", "listoverridetable",
        "revtbl",       "rsidtbl",    "xmlnstbl",   "themedata", "colorschememapping",
        "latentstyles", "datastore",  "generator",  "pntext",    "pntxta",
        "pntxtb",       "fldinst",    "filetbl",    "mhtmltag",  "bkmkstart",
        "bkmkend",      "footnote",   "annotation", "atnid",     "atnauthor",
        "nonshppict",   "shppict",    "pgdsctbl",   "private",   "sp",
    };
    for (std::string_view s : kSkipped)
        if (s == word) return true;
    return false;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Deencapsulator {
  public:
    explicit Deencapsulator(std::string_view rtf) : rtf_(rtf) {}

    std::optional<std::string> Run() {
        size_t start = 0;
        while (start < rtf_.size() && IsSpace(rtf_[start])) ++start;
        if (rtf_.substr(start, 5) != "{\\rtf") return std::nullopt;
        pos_ = start;
        while (pos_ < rtf_.size() && !done_) {
            const char c = rtf_[pos_];
            if (c == '{') {
                ++pos_;
                OpenGroup();
            } else if (c == '}') {
                ++pos_;
                CloseGroup();
            } else if (c == '\\') {
                ++pos_;
                ReadControl();
            } else if (c == '\r' || c == '\n') {
                ++pos_;  // line breaks of the RTF source are not text
            } else {
                ++pos_;
                Byte(static_cast<uint8_t>(c), /*escaped=*/false);
            }
            if (notHtml_) return std::nullopt;
        }
        if (!fromHtml_) return std::nullopt;
        Flush();
        if (pendingHigh_) AppendUtf8(out_, 0xFFFD);
        return std::move(out_);
    }

  private:
    static bool IsSpace(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }
    static bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

    GroupState& Top() { return stack_.back(); }

    bool Emitting() {
        if (stack_.empty() || overflow_ > 0) return false;
        const GroupState& s = stack_.back();
        if (s.destination == Destination::kHtmlTag) return true;
        return s.destination == Destination::kText && !s.htmlRtf;
    }

    void OpenGroup() {
        Flush();
        skipLeft_ = 0;
        if (stack_.empty()) {
            stack_.push_back(GroupState{});
            return;
        }
        if (overflow_ > 0 || stack_.size() >= kMaxDepth) {
            ++overflow_;
            return;
        }
        stack_.push_back(stack_.back());
        groupStart_ = true;
    }

    void CloseGroup() {
        Flush();
        skipLeft_ = 0;
        groupStart_ = false;
        starred_ = false;
        if (overflow_ > 0) {
            --overflow_;
            return;
        }
        if (stack_.empty()) return;
        stack_.pop_back();
        if (stack_.empty()) done_ = true;  // the document's closing brace
    }

    void ReadControl() {
        if (pos_ >= rtf_.size()) return;
        const char c = rtf_[pos_];
        if (!IsLetter(c)) {
            ++pos_;
            ControlSymbol(c);
            return;
        }
        const size_t wordStart = pos_;
        while (pos_ < rtf_.size() && IsLetter(rtf_[pos_])) ++pos_;
        const std::string_view word = rtf_.substr(wordStart, pos_ - wordStart);
        std::optional<long> param;
        bool negative = false;
        if (pos_ < rtf_.size() && rtf_[pos_] == '-') {
            negative = true;
            ++pos_;
        }
        size_t digits = 0;
        long value = 0;
        while (pos_ < rtf_.size() && rtf_[pos_] >= '0' && rtf_[pos_] <= '9') {
            if (digits < kMaxDigits) value = value * 10 + (rtf_[pos_] - '0');
            ++digits;
            ++pos_;
        }
        if (digits > 0) param = negative ? -value : value;
        if (pos_ < rtf_.size() && rtf_[pos_] == ' ') ++pos_;  // the delimiter
        if (word.size() > kMaxWordLength) {
            groupStart_ = false;
            return;
        }
        ControlWord(word, param);
    }

    void ControlSymbol(char c) {
        const bool first = groupStart_;
        groupStart_ = false;
        switch (c) {
            case '\'': {
                const int hi = pos_ < rtf_.size() ? HexValue(rtf_[pos_]) : -1;
                const int lo = pos_ + 1 < rtf_.size() ? HexValue(rtf_[pos_ + 1]) : -1;
                if (hi < 0 || lo < 0) return;  // a broken escape is dropped
                pos_ += 2;
                Byte(static_cast<uint8_t>(hi * 16 + lo), /*escaped=*/true);
                return;
            }
            case '*':
                if (first) starred_ = true;
                groupStart_ = first;  // the destination word follows
                return;
            case '\r':
            case '\n':
                Text("\r\n");
                return;
            case '~':
            case '_':
                if (skipLeft_ > 0) {
                    --skipLeft_;
                    return;
                }
                Code(c == '~' ? 0xA0 : 0x2011);
                return;
            case '-':
            case '|':
            case ':':
                if (skipLeft_ > 0) --skipLeft_;
                return;
            default:  // \{ \} \\ and any other escaped character stand for themselves
                Byte(static_cast<uint8_t>(c), /*escaped=*/true);
                return;
        }
    }

    void ControlWord(std::string_view word, std::optional<long> param) {
        const bool first = groupStart_;
        const bool starred = starred_;
        groupStart_ = false;
        starred_ = false;
        if (stack_.empty() || overflow_ > 0) return;
        GroupState& s = Top();

        if (first && s.destination != Destination::kSkip) {
            if (word == "htmltag") {
                Flush();
                s.destination = Destination::kHtmlTag;
                s.htmlRtf = false;  // the tag's content is HTML whatever surrounds it
                seenBody_ = true;
                return;
            }
            if (word == "fonttbl") {
                s.destination = Destination::kFontTable;
                return;
            }
            if (s.destination == Destination::kFontTable) {
                // a font's own group: {\f1\fcharset128 Name;}
            } else if (starred || IsSkippedDestination(word)) {
                s.destination = Destination::kSkip;
                return;
            }
        }
        if (s.destination == Destination::kSkip) return;

        if (s.destination == Destination::kFontTable) {
            if (word == "f" && param) {
                s.font = static_cast<int>(*param);
            } else if ((word == "fcharset" || word == "cpg") && param && s.font >= 0) {
                const uint32_t cp =
                    word == "cpg" ? static_cast<uint32_t>(*param) : CodePageOfCharset(*param);
                if (cp != 0 && (fonts_.size() < kMaxFonts || fonts_.count(s.font)))
                    fonts_[s.font] = cp;
            }
            return;
        }

        if (word == "fromhtml") {
            if (!seenBody_ && stack_.size() == 1 && param.value_or(1) == 1) fromHtml_ = true;
            return;
        }
        if (word == "fromtext") {
            if (!seenBody_) notHtml_ = true;
            return;
        }
        if (word == "htmlrtf") {
            Flush();
            skipLeft_ = 0;
            if (s.destination != Destination::kHtmlTag) s.htmlRtf = param.value_or(1) != 0;
            return;
        }
        if (word == "u" && param) {
            if (skipLeft_ > 0) {  // a \u among fallback characters counts as one
                --skipLeft_;
                return;
            }
            long v = *param;
            if (v < 0) v += 65536;
            Code(static_cast<uint32_t>(v & 0xFFFF));
            skipLeft_ = s.unicodeSkip;
            return;
        }
        if (skipLeft_ > 0) {
            --skipLeft_;
            return;
        }
        if (word == "uc" && param) {
            s.unicodeSkip = *param < 0 ? 0 : (*param > 8 ? 8 : static_cast<int>(*param));
        } else if (word == "ansicpg" && param && *param > 0) {
            Flush();
            defaultCodePage_ = NarrowCodePage(static_cast<uint32_t>(*param), kWindows1252);
        } else if (word == "mac") {
            defaultCodePage_ = 10000;
        } else if (word == "pc") {
            defaultCodePage_ = 437;
        } else if (word == "pca") {
            defaultCodePage_ = 850;
        } else if (word == "f" && param) {
            Flush();
            s.font = static_cast<int>(*param);
        } else if (word == "par" || word == "line") {
            Text("\r\n");
        } else if (word == "tab") {
            Text("\t");
        } else if (word == "lquote") {
            Code(0x2018);
        } else if (word == "rquote") {
            Code(0x2019);
        } else if (word == "ldblquote") {
            Code(0x201C);
        } else if (word == "rdblquote") {
            Code(0x201D);
        } else if (word == "bullet") {
            Code(0x2022);
        } else if (word == "endash") {
            Code(0x2013);
        } else if (word == "emdash") {
            Code(0x2014);
        } else if (word == "emspace") {
            Code(0x2003);
        } else if (word == "enspace") {
            Code(0x2002);
        }
    }

    // The code page of text bytes here: the current font's inside text, the document's
    // inside tags (tags are written in it whatever font is selected).
    uint32_t CodePageHere() {
        const GroupState& s = Top();
        if (s.destination == Destination::kText && s.font >= 0) {
            const auto it = fonts_.find(s.font);
            if (it != fonts_.end()) return NarrowCodePage(it->second, defaultCodePage_);
        }
        return defaultCodePage_;
    }

    void Byte(uint8_t b, bool escaped) {
        groupStart_ = false;
        if (stack_.empty() || overflow_ > 0) return;
        const Destination d = Top().destination;
        if (d == Destination::kFontTable || d == Destination::kSkip) return;
        if (skipLeft_ > 0) {
            --skipLeft_;
            return;
        }
        if (!escaped && stack_.size() == 1 && d == Destination::kText && b != ' ' && b != '\t') {
            if (!seenBody_ && !fromHtml_) {
                notHtml_ = true;  // body text came before any \fromhtml1
                return;
            }
            seenBody_ = true;
        }
        if (!Emitting()) return;
        const uint32_t cp = CodePageHere();
        if (!pending_.empty() && pendingCodePage_ != cp) Flush();
        if (pendingHigh_) {
            AppendUtf8(out_, 0xFFFD);
            pendingHigh_ = 0;
        }
        pendingCodePage_ = cp;
        pending_.push_back(static_cast<char>(b));
    }

    void Code(uint32_t cp) {
        groupStart_ = false;
        if (!Emitting()) return;
        Flush();
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (pendingHigh_) AppendUtf8(out_, 0xFFFD);
            pendingHigh_ = cp;
            return;
        }
        if (cp >= 0xDC00 && cp <= 0xDFFF && pendingHigh_) {
            AppendUtf8(out_, 0x10000 + ((pendingHigh_ - 0xD800) << 10) + (cp - 0xDC00));
            pendingHigh_ = 0;
            return;
        }
        if (pendingHigh_) {
            AppendUtf8(out_, 0xFFFD);
            pendingHigh_ = 0;
        }
        AppendUtf8(out_, cp);
    }

    void Text(std::string_view text) {
        groupStart_ = false;
        if (skipLeft_ > 0) {
            --skipLeft_;
            return;
        }
        if (!Emitting()) return;
        Flush();
        if (pendingHigh_) {
            AppendUtf8(out_, 0xFFFD);
            pendingHigh_ = 0;
        }
        out_ += text;
    }

    // Bytes of one code page are converted together: a double-byte character arrives as
    // two \'hh escapes.
    void Flush() {
        if (pending_.empty()) return;
        out_ += ConvertToUtf8(std::string_view(pending_), pendingCodePage_);
        pending_.clear();
    }

    std::string_view rtf_;
    size_t pos_ = 0;
    std::vector<GroupState> stack_;
    size_t overflow_ = 0;  // groups opened beyond kMaxDepth, not yet closed
    bool groupStart_ = false;
    bool starred_ = false;
    bool done_ = false;
    bool fromHtml_ = false;
    bool notHtml_ = false;
    bool seenBody_ = false;
    int skipLeft_ = 0;
    uint32_t defaultCodePage_ = kWindows1252;
    std::map<int, uint32_t> fonts_;
    std::string pending_;
    uint32_t pendingCodePage_ = kWindows1252;
    uint32_t pendingHigh_ = 0;
    std::string out_;
};

}  // namespace

std::optional<std::string> HtmlFromRtf(std::string_view rtf) {
    return Deencapsulator(rtf).Run();
}

}  // namespace kestrel
