#include "items/preview_page.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace kestrel {

namespace {

constexpr std::string_view kTextPageHead =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>"
    "body{font-family:sans-serif;font-size:10pt;margin:8px}"
    "pre{white-space:pre-wrap;font-family:inherit;margin:0}"
    "table{border-collapse:collapse;margin-bottom:10px}"
    "th{text-align:left;padding:2px 12px 2px 0;color:#555;font-weight:normal}"
    "td{padding:2px 0}</style></head><body>";
constexpr std::string_view kTextPageTail = "</body></html>";

// A page shows at most this many images: a message naming thousands of cids gets no more.
constexpr size_t kMaxImages = 64;

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() &&
           (std::isspace(static_cast<unsigned char>(text.front())) || text.front() == '<'))
        text.remove_prefix(1);
    while (!text.empty() &&
           (std::isspace(static_cast<unsigned char>(text.back())) || text.back() == '>'))
        text.remove_suffix(1);
    return text;
}

// %XX escapes of a cid: URL decoded (a content id "a@b" may be written "a%40b").
std::string PercentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        c = Lower(c);
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hex(text[i + 1]), low = hex(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

// The extension a browser needs to show the image: from its first bytes, which the file
// cannot lie about as easily as about its name.
std::string_view ImageExtension(const std::vector<uint8_t>& data) {
    auto starts = [&data](std::initializer_list<uint8_t> magic) {
        return data.size() >= magic.size() && std::equal(magic.begin(), magic.end(), data.begin());
    };
    if (starts({0x89, 'P', 'N', 'G'})) return "png";
    if (starts({0xFF, 0xD8, 0xFF})) return "jpg";
    if (starts({'G', 'I', 'F', '8'})) return "gif";
    if (starts({'B', 'M'})) return "bmp";
    if (data.size() >= 12 && starts({'R', 'I', 'F', 'F'}) && data[8] == 'W' && data[9] == 'E' &&
        data[10] == 'B' && data[11] == 'P')
        return "webp";
    return {};
}

class CidResolver {
  public:
    CidResolver(const ItemRecord& item, PreviewPage& page) : item_(item), page_(page) {}

    // The page's file name for the attachment whose content id is cid; empty when none
    // has it, or its data is no image we show.
    std::string FileFor(std::string_view cid) {
        const std::string decoded = PercentDecoded(cid);
        const std::string_view wanted = Trim(decoded);
        if (wanted.empty()) return {};
        for (size_t i = 0; i < item_.attachments.size(); ++i) {
            const AttachmentRecord& attachment = item_.attachments[i];
            if (!EqualsIgnoringCase(Trim(attachment.contentId), wanted)) continue;
            for (const auto& [index, name] : named_) {
                if (index == i) return name;
            }
            const std::string_view extension = ImageExtension(attachment.data);
            if (extension.empty() || page_.images.size() >= kMaxImages) return {};
            std::string name = std::string(kPreviewImagePrefix) +
                               std::to_string(page_.images.size() + 1) + "." +
                               std::string(extension);
            page_.images.push_back(PreviewImage{name, &attachment.data});
            named_.emplace_back(i, name);
            return name;
        }
        return {};
    }

  private:
    const ItemRecord& item_;
    PreviewPage& page_;
    std::vector<std::pair<size_t, std::string>> named_;
};

// Every "cid:" reference that starts an attribute value (quoted or not) is replaced by the
// image file's name when an attachment answers it; the rest stay as they were, and load
// nothing (the preview lets no other scheme through).
std::string ResolveCids(std::string_view html, CidResolver& resolver) {
    std::string out;
    out.reserve(html.size());
    size_t pos = 0;
    while (pos < html.size()) {
        size_t found = std::string_view::npos;
        for (size_t i = pos; i + 4 <= html.size(); ++i) {
            if (Lower(html[i]) == 'c' && Lower(html[i + 1]) == 'i' && Lower(html[i + 2]) == 'd' &&
                html[i + 3] == ':') {
                found = i;
                break;
            }
        }
        if (found == std::string_view::npos) break;
        // Only a value's start: after =, a quote, or "url(".
        size_t before = found;
        while (before > pos && html[before - 1] == ' ') --before;
        const char lead = before > 0 ? html[before - 1] : '\0';
        const bool valueStart = lead == '=' || lead == '"' || lead == '\'' || lead == '(';
        out.append(html.substr(pos, found - pos));
        if (!valueStart) {
            out.append(html.substr(found, 4));
            pos = found + 4;
            continue;
        }
        const size_t idStart = found + 4;
        size_t idEnd = idStart;
        while (idEnd < html.size() && html[idEnd] != '"' && html[idEnd] != '\'' &&
               html[idEnd] != ')' && html[idEnd] != '>' &&
               !std::isspace(static_cast<unsigned char>(html[idEnd])))
            ++idEnd;
        const std::string file = resolver.FileFor(html.substr(idStart, idEnd - idStart));
        if (file.empty()) {
            out.append(html.substr(found, idEnd - found));
        } else {
            out.append(file);
        }
        pos = idEnd;
    }
    if (pos < html.size()) out.append(html.substr(pos));
    return out;
}

PreviewPage TextPage(std::string_view body) {
    PreviewPage page;
    page.html = std::string(kUtf8Bom);
    page.html += kTextPageHead;
    page.html += "<pre>";
    page.html += HtmlEscape(body);
    page.html += "</pre>";
    page.html += kTextPageTail;
    return page;
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

PreviewPage BuildMessagePreview(const ItemRecord& item, const std::optional<std::string>& rtfHtml) {
    const MessageRecord* message = item.message.get();
    PreviewPage page;
    std::string_view html;
    if (message && !message->bodyHtml.empty()) {
        html = std::string_view(reinterpret_cast<const char*>(message->bodyHtml.data()),
                                message->bodyHtml.size());
    } else if (rtfHtml && !rtfHtml->empty()) {
        html = *rtfHtml;
    }
    if (!html.empty()) {
        CidResolver resolver(item, page);
        page.html = std::string(kUtf8Bom) + ResolveCids(html, resolver);
        return page;
    }
    if (message && !message->body.empty()) return TextPage(message->body);
    page.html = std::string(kUtf8Bom);
    return page;
}

PreviewPage BuildFieldsPreview(const std::vector<std::pair<std::string, std::string>>& fields,
                               std::string_view body) {
    PreviewPage page;
    page.html = std::string(kUtf8Bom);
    page.html += kTextPageHead;
    page.html += "<table>";
    for (const auto& [label, value] : fields) {
        if (value.empty()) continue;
        page.html +=
            "<tr><th>" + HtmlEscape(label) + "</th><td>" + HtmlEscape(value) + "</td></tr>";
    }
    page.html += "</table><pre>";
    page.html += HtmlEscape(body);
    page.html += "</pre>";
    page.html += kTextPageTail;
    return page;
}

PreviewPage BuildNoticePreview(std::string_view text) {
    PreviewPage page;
    page.html = std::string(kUtf8Bom);
    page.html += kTextPageHead;
    page.html += "<p>" + HtmlEscape(text) + "</p>";
    page.html += kTextPageTail;
    return page;
}

}  // namespace kestrel
