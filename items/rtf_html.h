#pragma once
// The HTML that an RTF body carries when Outlook wrote it from an HTML message: the tags
// sit in {\*\htmltag} groups, the text between them is ordinary RTF text, and what the
// converter added for RTF readers only is fenced by \htmlrtf ... \htmlrtf0.
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// The encapsulated HTML as UTF-8, or nullopt when the RTF was not written from HTML (no
// \fromhtml1 in its header). Damaged RTF gives what could be read up to the damage; the
// work and the result are bounded by the input's size.
std::optional<std::string> HtmlFromRtf(std::string_view rtf);

}  // namespace kestrel
