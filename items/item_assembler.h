#pragma once
// Turns the property groups of one node into the program's item record and classifies it
// by its message class or, for folders, its container class.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "items/code_page.h"
#include "items/item_record.h"
#include "items/property_value.h"
#include "storage/pst_layout.h"

namespace kestrel {

struct AssembleOptions {
    // Decides how strings are read when a value's type does not say (8-bit or UTF-16).
    PstVariant variant = PstVariant::Unknown;
    // The code page of 8-bit text when the item names none.
    uint32_t defaultCodePage = kWindows1252;
    // Attachment data kept in a subnode is measured, not read: the record gets dataSize
    // and no data bytes. For readers that list attachments without their contents.
    bool measureAttachmentData = false;
    // Compressed RTF is only checked to decode (hasRtfBody), not expanded into rtfBody.
    bool checkRtfOnly = false;
    // A UTF-16 plain-text body is only measured (MessageRecord::bodyLength), not converted,
    // unless the item is a sticky note, whose text is its body; the HTML body is only
    // checked for text (MessageRecord::hasHtmlText), not converted.
    bool measureBody = false;
    // The bodies (no text, length, HTML or RTF) and the attachment table are not read at
    // all. For a listing whose items are all read again in full before they are used.
    bool skipDetails = false;
    // The file id under which the map stores PSETID_Meeting's LID 0x0003 (the meeting's
    // global object id); 0 when it has none.
    uint32_t globalObjectIdProperty = 0;

    // A full load (none of the measuring options above) also reads what only a reader of
    // one whole item needs: appointment and task times, recurrence patterns, more contact
    // addresses and distribution-list members.
    bool FullLoad() const {
        return !measureAttachmentData && !checkRtfOnly && !measureBody && !skipDetails;
    }
};

// Consumes groups into item: every value's data is taken (left empty) whether or not it
// was used. Attachment properties go to item.currentAttachment; each group boundary moves
// that on by one record, so the i-th row of an attachment table fills the i-th record.
// A call made with a current attachment (an attachment table, an attachment's own
// context) takes attachment properties only.
// Returns 0; an exception while handling one property ends the walk, keeping what was
// stored so far.
int AssembleItem(PropertyGroupList& groups, ItemRecord& item, const AssembleOptions& options);

// A sticky note's text is its plain-text body: a listing keeps that body as text where it
// only measures anyone else's.
bool KeepsBodyText(const ItemRecord& item);

// The case-insensitive class comparison: walks while both texts go on, i < count and the
// characters agree; matches when either text then ends, or (at i == count) when the next
// characters agree. A text that ends early, the empty text included, matches.
bool ClassPrefixMatch(std::string_view pattern, std::string_view text, size_t count);

// The kind a message class (0x001A) gives.
ItemKind ClassifyMessageClass(std::string_view className);
// "IPM.DistList" and the classes derived from it, in any case: a distribution list, which
// is listed with the contacts.
bool IsDistributionListClass(std::string_view className);
// The kind a folder's container class (0x3613) gives; case-sensitive.
ItemKind ClassifyContainerClass(std::string_view className);

}  // namespace kestrel
