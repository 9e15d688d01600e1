#pragma once
// Contacts, distribution lists, appointments, tasks, sticky notes and journal entries as
// files other programs open: vCard 4.0 (RFC 6350), iCalendar (RFC 5545) and plain text.
// Every output is a function of the item alone: two exports of one file are identical.
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/item_source.h"

namespace kestrel {

// One BEGIN:VCARD .. END:VCARD with CRLF line ends, folded at 75 octets. A distribution
// list gives KIND:group with one MEMBER per member.
std::string VCardOf(const FullItem& item);

class CalendarZones;

// The .ics of one folder (RFC 5545): VEVENTs (appointments, meetings) and VTODOs (tasks),
// with a VTIMEZONE for each zone a series or event is written in. A recurring series gives
// its RRULE and EXDATEs and one more VEVENT per changed instance; an all-day event gives
// dates. Each UID is used by one item only.
class CalendarFile {
  public:
    CalendarFile();
    ~CalendarFile();
    CalendarFile(const CalendarFile&) = delete;
    CalendarFile& operator=(const CalendarFile&) = delete;

    // Adds the components of item; false (and nothing added) for items that are neither
    // appointments nor tasks. What could not be exported as stored (a recurrence that does
    // not parse) is said in a line pushed onto problems.
    bool Add(const FullItem& item, std::vector<std::string>& problems);
    // The VCALENDAR of everything added.
    std::string Document() const;

  private:
    std::string components_;
    std::unique_ptr<CalendarZones> zones_;
    std::set<std::string> uids_;
};

// A sticky note's or journal entry's text in UTF-8: the subject line, then the body.
std::string NoteTextOf(const FullItem& item);

// Content lines as both formats write them: CRLF-ended, folded before 75 octets with a
// blank starting each continuation, never inside a UTF-8 character.
std::string FoldLine(std::string_view line);
// A TEXT value: backslash, semicolon, comma and line breaks escaped; other control
// characters dropped.
std::string EscapeText(std::string_view text);

}  // namespace kestrel
