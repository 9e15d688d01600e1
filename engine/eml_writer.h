#pragma once
// One message as an RFC 5322 file (CRLF lines): headers from the item's properties and its
// transport headers, the bodies as multipart/alternative in UTF-8, inline images in
// multipart/related, attachments and attached messages. Written directly (GMime parses
// the transport headers); the same item always gives the same bytes.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/item_source.h"

namespace kestrel {

// GMime's one-time set-up; EmlOf calls it when it has transport headers to parse.
void InitMime();

// The message's date in seconds since 1970 (UTC): the submit time, else the delivery time,
// else the creation time, else 0.
int64_t MessageDateSeconds(const ItemRecord& item);

// The file of item. problems receives a line for each part that could not be kept (an
// attached message nested too deep or unreadable).
std::string EmlOf(const FullItem& item, std::vector<std::string>& problems);

// An attachment's MIME tag when it is a sound "type/subtype", else
// "application/octet-stream".
std::string CheckedMimeType(std::string_view tag);

// A mailbox as the writer names it: the name on one line and a plain SMTP address, else the
// name in the reserved ".invalid" domain (never an Exchange DN).
struct MailboxText {
    std::string name;
    std::string address;
};
// The sent-representing name with its SMTP address (0x5D02, 0x5D01, else one typed SMTP).
MailboxText SenderMailbox(const MessageRecord& message);
MailboxText RecipientMailbox(const RecipientEntry& recipient);

// The address an mbox "From " line names for item: its sender's SMTP address, else
// "MAILER-DAEMON".
std::string EnvelopeSender(const ItemRecord& item);

// message (CRLF lines) as one mboxrd entry: the "From " line, LF lines, ">From " quoting
// of any line that starts with ">"s and "From ", and a closing empty line.
std::string MboxEntry(std::string_view message, std::string_view sender, int64_t dateSeconds);

}  // namespace kestrel
