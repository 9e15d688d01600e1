#pragma once
// Contacts, distribution lists, appointments, tasks, sticky notes and journal entries as
// files other programs open: vCard 4.0 (RFC 6350), iCalendar (RFC 5545) and plain text.
// Every output is a function of the item alone: two exports of one file are identical.
#include <string>
#include <string_view>
#include <vector>

#include "engine/item_source.h"

namespace kestrel {

// One BEGIN:VCARD .. END:VCARD with CRLF line ends, folded at 75 octets. A distribution
// list gives KIND:group with one MEMBER per member.
std::string VCardOf(const FullItem& item);

// The VEVENT (appointments, meetings) or VTODO (tasks) components of one item, without
// the VCALENDAR wrapper: a recurring series gives its RRULE and EXDATEs and one more
// VEVENT per changed instance. What could not be exported as stored (a recurrence that
// does not parse) is said in a line pushed onto problems. Empty for other items.
std::string CalendarComponentsOf(const FullItem& item, std::vector<std::string>& problems);

// The VCALENDAR around components gathered from CalendarComponentsOf.
std::string CalendarDocument(std::string_view components);

// A sticky note's or journal entry's text in UTF-8: the subject line, then the body.
std::string NoteTextOf(const FullItem& item);

// Content lines as both formats write them: CRLF-ended, folded before 75 octets with a
// blank starting each continuation, never inside a UTF-8 character.
std::string FoldLine(std::string_view line);
// A TEXT value: backslash, semicolon, comma and line breaks escaped; other control
// characters dropped.
std::string EscapeText(std::string_view text);

}  // namespace kestrel
