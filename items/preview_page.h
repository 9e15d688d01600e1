#pragma once
// The page the recovery screen's preview shows for one item: the message's HTML body, else
// the HTML its RTF body carries, else its plain text escaped; images the HTML names by
// cid: come from the message's own attachments under names made here. Builds the page in
// memory only: the front end writes it and its images into the cache folder.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "items/item_record.h"

namespace kestrel {

// The preview page's file name.
inline constexpr std::string_view kPreviewPageName = "~MO.html";
// Every image file of a page is named kPreviewImagePrefix, a number and an extension.
inline constexpr std::string_view kPreviewImagePrefix = "cid-";
// Written first: a byte-order mark outranks a meta charset, and the page is UTF-8 whatever
// code page its HTML names.
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

struct PreviewImage {
    std::string fileName;                        // cid-1.png, ...
    const std::vector<uint8_t>* data = nullptr;  // the attachment's bytes (owned by the item)
};

struct PreviewPage {
    std::string html;  // starts with kUtf8Bom
    std::vector<PreviewImage> images;
};

// Escapes &, <, >, " and ' for HTML text and attribute values.
std::string HtmlEscape(std::string_view text);

// The page of a message: bodyHtml when it has one, else rtfHtml (the HTML its RTF body
// carries, when the caller found some), else the plain body escaped, else an empty page.
// cid: references that name an attachment's content id are pointed at images of the page;
// others are left to fail.
PreviewPage BuildMessagePreview(const ItemRecord& item,
                                const std::optional<std::string>& rtfHtml = std::nullopt);

// The page of an item shown by its fields (a contact, task, note, journal entry or
// appointment): a table of (label, value) pairs, then its body as text.
PreviewPage BuildFieldsPreview(const std::vector<std::pair<std::string, std::string>>& fields,
                               std::string_view body);

// A page that only says text (the source changed, the item did not read, ...).
PreviewPage BuildNoticePreview(std::string_view text);

}  // namespace kestrel
