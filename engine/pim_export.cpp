#include "engine/pim_export.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <utility>

#include "items/file_time.h"
#include "items/item_assembler.h"
#include "engine/eml_writer.h"
#include "items/recurrence_pattern.h"
#include "items/time_zone.h"

namespace kestrel {
namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kTicksPerMinute = 60 * kTicksPerSecond;
constexpr int64_t kUnixEpochSeconds = 11'644'473'600;  // 1601-01-01 to 1970-01-01
// Outlook writes 4501-01-01 for "no date"; nothing real lies that far out.
constexpr int kNoDateYear = 4500;

// ---------------------------------------------------------------- text and lines

bool IsUtf8Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) out += fmt::format("{:02X}", b);
    return out;
}

// Lines are gathered here and folded as they are added.
class Lines {
  public:
    void Add(std::string_view name, std::string_view value) {
        std::string line(name);
        line += ':';
        line += value;
        out_ += FoldLine(line);
    }
    // A TEXT property, left out when it holds nothing but blanks and line breaks (a
    // contact's empty body is often a lone CRLF).
    void Text(std::string_view name, std::string_view value) {
        if (value.find_first_not_of(" \t\r\n") == std::string_view::npos) return;
        Add(name, EscapeText(value));
    }
    std::string Take() { return std::move(out_); }

  private:
    std::string out_;
};

// ---------------------------------------------------------------- times

struct UtcTime {
    int year, month, day, hour, minute, second;
};

std::optional<UtcTime> UtcOf(uint64_t fileTime) {
    const int64_t seconds = static_cast<int64_t>(fileTime / kTicksPerSecond) - kUnixEpochSeconds;
    const time_t t = static_cast<time_t>(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return std::nullopt;
    const int year = tm.tm_year + 1900;
    if (year < 1601 || year >= kNoDateYear) return std::nullopt;
    return UtcTime{year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::string DateTimeText(const UtcTime& t) {
    return fmt::format("{:04}{:02}{:02}T{:02}{:02}{:02}Z", t.year, t.month, t.day, t.hour, t.minute,
                       t.second);
}

std::optional<uint64_t> TimeOf(const std::vector<uint8_t>& bytes) {
    const auto t = FileTimeOf(bytes);
    if (!t || *t == 0 || !UtcOf(*t)) return std::nullopt;
    return t;
}

std::optional<std::string> DateTimeOf(std::optional<uint64_t> fileTime) {
    if (!fileTime || *fileTime == 0) return std::nullopt;
    const auto t = UtcOf(*fileTime);
    if (!t) return std::nullopt;
    return DateTimeText(*t);
}

// Minutes since 1601 (the recurrence pattern's unit) as a FILETIME.
uint64_t FromMinutes(int64_t minutes) {
    return minutes < 0 ? 0 : static_cast<uint64_t>(minutes) * kTicksPerMinute;
}

// Dates Outlook keeps as the local midnight of a day (birthdays): the day whose midnight
// lies nearest, so that zones east and west of UTC give the day the user entered.
std::optional<std::string> DayOf(const std::vector<uint8_t>& bytes) {
    const auto t = TimeOf(bytes);
    if (!t) return std::nullopt;
    const auto shifted = UtcOf(*t + 12 * 3600 * kTicksPerSecond - kTicksPerSecond);
    if (!shifted) return std::nullopt;
    return fmt::format("{:04}{:02}{:02}", shifted->year, shifted->month, shifted->day);
}

// ---------------------------------------------------------------- identifiers

// A 128-bit FNV-1a over bytes: a stable name for something that has no id of its own.
std::array<uint8_t, 16> StableHash(std::span<const uint8_t> bytes, uint64_t seed) {
    uint64_t a = 0xCBF29CE484222325ull ^ seed;
    uint64_t b = 0x84222325CBF29CE4ull ^ (seed * 31 + 7);
    for (uint8_t byte : bytes) {
        a = (a ^ byte) * 0x100000001B3ull;
        b = (b ^ byte) * 0x100000001B3ull + (a >> 29);
    }
    std::array<uint8_t, 16> out{};
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(a >> (8 * i));
        out[8 + i] = static_cast<uint8_t>(b >> (8 * i));
    }
    return out;
}

// A UUID (version 8: our own derivation) from bytes.
std::string StableUuid(std::span<const uint8_t> bytes) {
    auto h = StableHash(bytes, bytes.size());
    h[6] = static_cast<uint8_t>((h[6] & 0x0F) | 0x80);
    h[8] = static_cast<uint8_t>((h[8] & 0x3F) | 0x80);
    std::string hex = Hex(h);
    std::transform(hex.begin(), hex.end(), hex.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c + 32) : c; });
    return fmt::format("{}-{}-{}-{}-{}", hex.substr(0, 8), hex.substr(8, 4), hex.substr(12, 4),
                       hex.substr(16, 4), hex.substr(20));
}

std::string UidOf(const FullItem& full) {
    const ItemRecord& item = *full.item;
    if (item.appointment && !item.appointment->globalObjectId.empty())
        return Hex(item.appointment->globalObjectId);
    if (!item.recordKey.empty()) return "RK-" + Hex(item.recordKey);
    return fmt::format("NID-{:08X}-{:X}@kestrel", full.nid, full.dataBid);
}

// ---------------------------------------------------------------- item fields

const MessageRecord* MessageOf(const FullItem& full) {
    return full.item ? full.item->message.get() : nullptr;
}

std::string SubjectOf(const FullItem& full) {
    const MessageRecord* m = MessageOf(full);
    return m && m->subject ? m->subject->text : std::string();
}

std::string BodyOf(const FullItem& full) {
    const MessageRecord* m = MessageOf(full);
    return m ? m->body : std::string();
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i];
        char b = prefix[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
        if (a != b) return false;
    }
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool IsTask(const ItemRecord& item) {
    return StartsWithNoCase(item.className, "IPM.Task") || item.task != nullptr;
}

// DTSTAMP: the last change, else the creation, else the delivery; never absent.
std::string StampOf(const FullItem& full, std::optional<uint64_t> fallback) {
    if (const MessageRecord* m = MessageOf(full)) {
        for (const auto* time : {&m->lastModificationTime, &m->creationTime, &m->deliveryTime})
            if (auto t = DateTimeOf(TimeOf(*time))) return *t;
    }
    if (auto t = DateTimeOf(fallback)) return *t;
    return "19700101T000000Z";
}

// ---------------------------------------------------------------- recurrence

constexpr std::array<std::string_view, 7> kDays = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

std::string DayList(uint32_t mask) {
    std::string out;
    for (size_t d = 0; d < kDays.size(); ++d) {
        if ((mask & (1u << d)) == 0) continue;
        if (!out.empty()) out += ',';
        out += kDays[d];
    }
    return out;
}

// The local time of a series' instances minus UTC, in minutes, from the first instance:
// its time of day in the pattern against its stored UTC start. Zones lie within -12 h
// and +14 h.
int64_t SeriesOffset(const RecurrencePattern& p, std::optional<uint64_t> utcStart) {
    if (!utcStart || !p.appointment) return 0;
    const int64_t utcMinuteOfDay = static_cast<int64_t>((*utcStart / kTicksPerMinute) % 1440);
    int64_t offset = (static_cast<int64_t>(p.startTimeOffset % 1440) - utcMinuteOfDay) % 1440;
    if (offset < -720) offset += 1440;
    if (offset > 840) offset -= 1440;
    return offset;
}

// The RRULE value of a pattern, or nullopt for the kinds iCalendar cannot say (Hijri
// calendars, unknown kinds). until is the UNTIL value of a series that ends by date.
std::optional<std::string> RuleOf(const RecurrencePattern& p,
                                  const std::optional<std::string>& until) {
    std::string rule;
    const uint32_t interval = std::max<uint32_t>(p.period, 1);
    auto nth = [&]() -> std::optional<std::string> {
        if ((p.dayMask & 0x7F) == 0 || p.weekOfMonth == 0 || p.weekOfMonth > 5) return std::nullopt;
        return fmt::format("BYDAY={};BYSETPOS={}", DayList(p.dayMask),
                           p.weekOfMonth == 5 ? -1 : static_cast<int>(p.weekOfMonth));
    };
    auto monthDay = [&]() -> std::optional<std::string> {
        if (p.patternType == kPatternMonthEnd || p.dayOfMonth == 31) return "BYMONTHDAY=-1";
        if (p.dayOfMonth < 1 || p.dayOfMonth > 31) return std::nullopt;
        return fmt::format("BYMONTHDAY={}", p.dayOfMonth);
    };
    switch (p.frequency) {
        case kRecurDaily:
            if (p.patternType == kPatternWeek) {  // every working day
                rule = "FREQ=WEEKLY;BYDAY=MO,TU,WE,TH,FR";
            } else if (p.patternType == kPatternDay) {
                rule =
                    fmt::format("FREQ=DAILY;INTERVAL={}", std::max<uint32_t>(p.period / 1440, 1));
            } else {
                return std::nullopt;
            }
            break;
        case kRecurWeekly:
            if (p.patternType != kPatternWeek) return std::nullopt;
            rule = fmt::format("FREQ=WEEKLY;INTERVAL={}", interval);
            if (p.dayMask & 0x7F) rule += ";BYDAY=" + DayList(p.dayMask);
            if (p.firstDayOfWeek < 7) rule += fmt::format(";WKST={}", kDays[p.firstDayOfWeek]);
            break;
        case kRecurMonthly:
        case kRecurYearly: {
            const bool yearly = p.frequency == kRecurYearly;
            rule = yearly ? fmt::format("FREQ=YEARLY;INTERVAL={}",
                                        std::max<uint32_t>(p.period / 12, 1))
                          : fmt::format("FREQ=MONTHLY;INTERVAL={}", interval);
            if (yearly) {
                // The month is the first instance's.
                const auto first = UtcOf(FromMinutes(p.startDate));
                if (!first) return std::nullopt;
                rule += fmt::format(";BYMONTH={}", first->month);
            }
            std::optional<std::string> by;
            if (p.patternType == kPatternMonth || p.patternType == kPatternMonthEnd)
                by = monthDay();
            else if (p.patternType == kPatternMonthNth)
                by = nth();
            if (!by) return std::nullopt;
            rule += ";" + *by;
            break;
        }
        default:
            return std::nullopt;
    }
    if (p.endType == kEndAfterCount && p.occurrenceCount > 0) {
        rule += fmt::format(";COUNT={}", p.occurrenceCount);
    } else if (p.endType == kEndAfterDate && until) {
        rule += ";UNTIL=" + *until;
    }
    return rule;
}

// The changed instance's own message among the series' attachments: the one whose
// replaced start lies nearest the instance's original start, within a day and a bit.
const FullItem* ExceptionMessage(const FullItem& series, uint64_t originalUtc,
                                 std::vector<bool>& used) {
    const FullItem* best = nullptr;
    size_t bestIndex = 0;
    uint64_t bestDistance = 26 * 60 * kTicksPerMinute;
    for (size_t i = 0; i < series.embedded.size(); ++i) {
        const FullItem* inner = series.embedded[i].message.get();
        if (used[i] || !inner || !inner->item || !inner->item->appointment) continue;
        const auto replaced = TimeOf(inner->item->appointment->exceptionReplaceTime);
        if (!replaced) continue;
        const uint64_t distance =
            *replaced > originalUtc ? *replaced - originalUtc : originalUtc - *replaced;
        if (distance <= bestDistance) {
            if (best && distance == bestDistance) continue;  // the first of equals
            best = inner;
            bestIndex = i;
            bestDistance = distance;
        }
    }
    if (best) used[bestIndex] = true;
    return best;
}

// The item as a report line names it; the subject's line breaks and other control
// characters become blanks, so that it cannot start lines of its own.
std::string Describe(const FullItem& full) {
    std::string subject = SubjectOf(full);
    for (char& c : subject) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return subject.empty() ? fmt::format("item {}", full.nid)
                           : fmt::format("\"{}\" (item {})", subject, full.nid);
}

// ---------------------------------------------------------------- time zones

// A parameter value: no control characters or quotes, quoted when it holds ":", ";" or ",".
std::string ParamValue(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '"') continue;
        out += c;
    }
    if (out.find_first_of(":;,") != std::string::npos) return '"' + out + '"';
    return out;
}

// An offset from UTC as iCalendar writes it: "+0100", "-0330".
std::string OffsetText(int32_t minutes) {
    const int32_t a = minutes < 0 ? -minutes : minutes;
    return fmt::format("{}{:02}{:02}", minutes < 0 ? '-' : '+', a / 60, a % 60);
}

// A zone's name as TZID: a printable name of at most 100 bytes with none of the characters
// a parameter or a text value would have to escape; else its offset from UTC.
std::string ZoneName(std::string_view name, const ZoneRule& rule) {
    std::string out;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F ||
            std::string_view("\";,\\").find(c) != std::string_view::npos)
            continue;
        out += c;
    }
    while (out.size() > 100) {
        out.pop_back();
        while (!out.empty() && IsUtf8Continuation(out.back())) out.pop_back();
        if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
    }
    const size_t first = out.find_first_not_of(' ');
    out = first == std::string::npos ? std::string() : out.substr(first);
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out.empty() ? "UTC" + OffsetText(rule.StandardOffset()) : out;
}

// The times of a series or of an all-day event: on the wall clock of its zone, or in UTC
// when no zone is known (rule absent: local and UTC minutes are the same).
struct SeriesZone {
    std::optional<ZoneRule> rule;
    std::string name;  // the zone's TZID

    int64_t ToUtc(int64_t local) const { return rule ? LocalToUtc(*rule, local) : local; }
    int64_t ToLocal(int64_t utc) const { return rule ? UtcToLocal(*rule, utc) : utc; }
};

// The zone a time of an appointment was entered in: the single rule of the series (LID
// 0x8233) for a series, its zone definitions (start, end) for one time; named after the
// definition that holds the rule, else the stored description.
SeriesZone ZoneOf(const AppointmentRecord& c, bool series, bool end) {
    const auto fromStruct = ParseZoneStruct(c.timeZoneStruct);
    const auto ofSeries = ParseZoneDefinition(c.zoneOfSeries);
    const auto ofStart = ParseZoneDefinition(c.zoneOfStart);
    const auto ofEnd = ParseZoneDefinition(c.zoneOfEnd);
    using Definition = std::optional<ZoneDefinition>;
    const std::array<const Definition*, 3> order =
        series ? std::array<const Definition*, 3>{&ofSeries, &ofStart, nullptr}
        : end  ? std::array<const Definition*, 3>{&ofEnd, &ofStart, &ofSeries}
               : std::array<const Definition*, 3>{&ofStart, &ofSeries, nullptr};
    std::vector<const ZoneDefinition*> definitions;
    for (const Definition* d : order) {
        if (d && *d && (*d)->Effective()) definitions.push_back(&**d);
    }
    SeriesZone zone;
    if (series && fromStruct) zone.rule = fromStruct;
    for (const ZoneDefinition* d : definitions) {
        if (!zone.rule) zone.rule = *d->Effective();
        if (zone.rule->SameZone(*d->Effective()) && !d->keyName.empty()) {
            zone.name = d->keyName;
            break;
        }
    }
    if (!zone.rule && fromStruct) zone.rule = fromStruct;
    if (!zone.rule) return zone;
    if (zone.name.empty()) zone.name = c.timeZoneDescription;
    zone.name = ZoneName(zone.name, *zone.rule);
    return zone;
}

// A zone of one offset all year (a series whose zone is not stored: the offset of its
// first instance).
SeriesZone FixedZone(int64_t offset) {
    SeriesZone zone;
    if (offset == 0) return zone;
    zone.rule = ZoneRule{};
    zone.rule->bias = static_cast<int32_t>(-offset);
    zone.name = ZoneName({}, *zone.rule);
    return zone;
}

std::string YearlyRule(const ZoneChange& c) {
    if (c.year != 0) return fmt::format("FREQ=YEARLY;BYMONTH={};BYMONTHDAY={}", c.month, c.day);
    return fmt::format("FREQ=YEARLY;BYMONTH={};BYDAY={}{}", c.month, c.day == 5 ? -1 : c.day,
                       kDays[c.dayOfWeek]);
}

std::string LocalText(int64_t minutes, int seconds = 0) {
    const CivilTime t = CivilOf(minutes);
    return fmt::format("{:04}{:02}{:02}T{:02}{:02}{:02}", t.year, t.month, t.day, t.hour, t.minute,
                       seconds);
}

// The VTIMEZONE of a zone without its TZID line: a STANDARD and, for a zone with daylight
// time, a DAYLIGHT component, each from 1601 on, each year.
std::string ZoneComponents(const ZoneRule& rule) {
    Lines lines;
    const std::string standard = OffsetText(rule.StandardOffset());
    const std::string daylight = OffsetText(rule.DaylightOffset());
    lines.Add("BEGIN", "STANDARD");
    if (rule.HasDaylight()) {
        lines.Add("DTSTART", LocalText(ChangeMinutes(rule.standardDate, 1601)));
        lines.Add("RRULE", YearlyRule(rule.standardDate));
        lines.Add("TZOFFSETFROM", daylight);
    } else {
        lines.Add("DTSTART", "16010101T000000");
        lines.Add("TZOFFSETFROM", standard);
    }
    lines.Add("TZOFFSETTO", standard);
    lines.Add("END", "STANDARD");
    if (rule.HasDaylight()) {
        lines.Add("BEGIN", "DAYLIGHT");
        lines.Add("DTSTART", LocalText(ChangeMinutes(rule.daylightDate, 1601)));
        lines.Add("RRULE", YearlyRule(rule.daylightDate));
        lines.Add("TZOFFSETFROM", standard);
        lines.Add("TZOFFSETTO", daylight);
        lines.Add("END", "DAYLIGHT");
    }
    return lines.Take();
}

// ---------------------------------------------------------------- components

struct Span {
    std::optional<uint64_t> start;
    std::optional<uint64_t> end;
};

// The appointment's own start and end, else the clip times the lists show.
Span AppointmentSpan(const ItemRecord& item) {
    Span s;
    if (item.appointment) {
        s.start = TimeOf(item.appointment->startTime);
        s.end = TimeOf(item.appointment->endTime);
    }
    if (item.calendar) {
        if (!s.start) s.start = TimeOf(item.calendar->clipStart);
        if (!s.end) s.end = TimeOf(item.calendar->clipEnd);
    }
    return s;
}

std::string LocationOf(const ItemRecord& item) {
    return item.calendar ? item.calendar->location : std::string();
}

int64_t MinutesOfTime(uint64_t fileTime) {
    return static_cast<int64_t>(fileTime / kTicksPerMinute);
}
int SecondsOfTime(uint64_t fileTime) {
    return static_cast<int>((fileTime / kTicksPerSecond) % 60);
}

// How one event's times are written: as UTC, as dates (all day) or on its zone's clock.
struct TimeStyle {
    bool date = false;
    const SeriesZone* zone = nullptr;  // null: UTC
    std::string param;                 // ";TZID=..." when zone has a rule

    // A property holding a local time of the zone (UTC minutes when it has none).
    void Add(Lines& lines, std::string_view name, int64_t local, int seconds = 0) const {
        const CivilTime t = CivilOf(local);
        if (t.year < 1601 || t.year >= kNoDateYear) return;
        if (date) {
            lines.Add(std::string(name) + ";VALUE=DATE",
                      fmt::format("{:04}{:02}{:02}", t.year, t.month, t.day));
        } else if (!param.empty()) {
            lines.Add(std::string(name) + param, LocalText(local, seconds));
        } else {
            lines.Add(name, LocalText(local, seconds) + "Z");
        }
    }
    // The same for a UTC time.
    void AddUtc(Lines& lines, std::string_view name, uint64_t fileTime) const {
        const int64_t minutes = MinutesOfTime(fileTime);
        Add(lines, name, zone ? zone->ToLocal(minutes) : minutes, SecondsOfTime(fileTime));
    }
};

void EventTexts(Lines& lines, std::string_view summary, std::string_view location,
                std::string_view description) {
    lines.Text("SUMMARY", summary);
    lines.Text("LOCATION", location);
    lines.Text("DESCRIPTION", description);
}

// The start and end of an event as style writes them; the end only when it does not lie
// before the start. A whole-day event ends on a later day than it starts, its end's day
// taken in endZone when it has a zone of its own.
void EventTimes(Lines& lines, const TimeStyle& style, const Span& span,
                const SeriesZone* endZone = nullptr) {
    if (span.start) style.AddUtc(lines, "DTSTART", *span.start);
    if (!span.end || (span.start && *span.end < *span.start)) return;
    if (style.date && span.start && style.zone) {
        const int64_t first = style.zone->ToLocal(MinutesOfTime(*span.start));
        int64_t last = (endZone ? endZone : style.zone)->ToLocal(MinutesOfTime(*span.end));
        if (last / 1440 <= first / 1440) last = (first / 1440 + 1) * 1440;
        style.Add(lines, "DTEND", last);
        return;
    }
    style.AddUtc(lines, "DTEND", *span.end);
}

std::string MailtoUri(std::string_view address) {
    std::string uri = "mailto:";
    for (unsigned char ch : address) {
        const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                           (ch >= '0' && ch <= '9') ||
                           std::string_view("@.-_~!$&'()*+=").find(static_cast<char>(ch)) !=
                               std::string_view::npos;
        uri += plain ? std::string(1, static_cast<char>(ch)) : fmt::format("%{:02X}", ch);
    }
    return uri;
}

// ORGANIZER (the sender) and one ATTENDEE per recipient, its ROLE from its type: To
// required, Cc optional, Bcc (resources) not taking part.
void Participants(Lines& lines, const FullItem& full) {
    if (full.recipients.empty()) return;
    auto known = [](const MailboxText& box) { return !box.address.ends_with("@unknown.invalid"); };
    if (const MessageRecord* m = MessageOf(full)) {
        MailboxText organizer = SenderMailbox(*m);
        // A sender known by an Exchange DN only: the address of the attendee of its name
        // (the organizer is among them), else its name when that is an address.
        for (const RecipientEntry& r : full.recipients) {
            if (known(organizer)) break;
            const MailboxText attendee = RecipientMailbox(r);
            if (known(attendee) && EqualsNoCase(attendee.name, organizer.name))
                organizer.address = attendee.address;
        }
        if (const MailboxText named = RecipientMailbox({{}, organizer.name, {}, 0});
            !known(organizer) && known(named))
            organizer.address = named.address;
        if (!organizer.name.empty() || known(organizer)) {
            lines.Add(organizer.name.empty()
                          ? std::string("ORGANIZER")
                          : "ORGANIZER;CN=" + ParamValue(organizer.name),
                      MailtoUri(organizer.address));
        }
    }
    for (const RecipientEntry& r : full.recipients) {
        const MailboxText attendee = RecipientMailbox(r);
        std::string name = "ATTENDEE";
        if (!attendee.name.empty()) name += ";CN=" + ParamValue(attendee.name);
        name += r.type == 2   ? ";ROLE=OPT-PARTICIPANT"
                : r.type == 3 ? ";ROLE=NON-PARTICIPANT"
                              : ";ROLE=REQ-PARTICIPANT";
        lines.Add(name, MailtoUri(attendee.address));
    }
}

}  // namespace

// The zones a calendar file names, each once under its TZID.
class CalendarZones {
  public:
    // The TZID under which zone's components are in the file: its name, or its name and a
    // number when another zone of that name came first.
    std::string Register(const std::string& name, std::string components) {
        std::string id = name;
        for (int n = 2;; ++n) {
            auto it = std::find_if(zones_.begin(), zones_.end(),
                                   [&](const auto& z) { return z.first == id; });
            if (it == zones_.end()) break;
            if (it->second == components) return id;
            id = fmt::format("{} ({})", name, n);
        }
        zones_.emplace_back(id, std::move(components));
        return id;
    }
    std::string Text() const {
        std::string out;
        for (const auto& [id, components] : zones_) {
            out += "BEGIN:VTIMEZONE\r\n";
            out += FoldLine("TZID:" + id);
            out += components;
            out += "END:VTIMEZONE\r\n";
        }
        return out;
    }

  private:
    std::vector<std::pair<std::string, std::string>> zones_;
};

namespace {

std::string EventsOf(const FullItem& full, const std::string& uid, CalendarZones& zones,
                     std::vector<std::string>& problems) {
    const ItemRecord& item = *full.item;
    static const AppointmentRecord kNoAppointment;
    const AppointmentRecord& c = item.appointment ? *item.appointment : kNoAppointment;
    const std::string location = LocationOf(item);
    const Span span = AppointmentSpan(item);
    const std::string stamp = StampOf(full, span.start);
    const std::string subject = SubjectOf(full);
    const std::string body = BodyOf(full);

    std::optional<RecurrencePattern> pattern;
    if (!c.recurrencePattern.empty()) {
        pattern = ParseRecurrencePattern(
            c.recurrencePattern, true, item.messageCodePage ? item.messageCodePage : kWindows1252);
    }
    // A series is written on its zone's clock, so that its days stay the days the pattern
    // names; a stored zone that does not give the first instance its time of day yields to
    // the offset of that instance.
    SeriesZone zone;
    if (pattern) {
        zone = ZoneOf(c, true, false);
        if (!zone.rule || !span.start ||
            zone.ToLocal(MinutesOfTime(*span.start)) % 1440 != pattern->startTimeOffset % 1440)
            zone = FixedZone(SeriesOffset(*pattern, span.start));
    } else if (c.allDay) {
        zone = ZoneOf(c, false, false);
    }
    TimeStyle style;
    style.date = c.allDay;
    style.zone = &zone;

    std::optional<std::string> rule;
    if (pattern) {
        std::optional<std::string> until;
        const int64_t last = int64_t{pattern->endDate} + pattern->startTimeOffset;
        const CivilTime end = CivilOf(last);
        if (end.year < kNoDateYear) {
            if (c.allDay) {
                until = fmt::format("{:04}{:02}{:02}", end.year, end.month, end.day);
            } else if (const uint64_t utc = FromMinutes(zone.ToUtc(last));
                       !span.start || utc >= *span.start) {
                until = DateTimeOf(utc);
            }
        }
        rule = RuleOf(*pattern, until);
        if (!rule) {
            problems.push_back(fmt::format(
                "{}: recurrence of a kind iCalendar cannot express; its first instance only",
                Describe(full)));
            pattern.reset();
        }
    } else if (!c.recurrencePattern.empty() || c.recurring) {
        problems.push_back(fmt::format("{}: recurrence pattern unreadable; its first instance only",
                                       Describe(full)));
    }
    if (!pattern && !c.allDay) {
        zone = SeriesZone{};  // one timed event: UTC
    } else if (!c.allDay && zone.rule) {
        style.param = ";TZID=" + ParamValue(zones.Register(zone.name, ZoneComponents(*zone.rule)));
    }
    // An all-day event's end may lie in a zone of its own. Without a zone its days are
    // those whose midnights lie nearest (zones lie within -12 and +14 hours).
    SeriesZone endZone = zone;
    if (c.allDay && !pattern) {
        endZone = ZoneOf(c, false, true);
        for (SeriesZone* z : {&zone, &endZone}) {
            if (z->rule || !span.start) continue;
            z->rule = ZoneRule{};
            z->rule->bias = static_cast<int32_t>((MinutesOfTime(*span.start) + 720) % 1440 - 720);
        }
    }

    Lines lines;
    lines.Add("BEGIN", "VEVENT");
    lines.Add("UID", EscapeText(uid));
    lines.Add("DTSTAMP", stamp);
    EventTimes(lines, style, span, &endZone);
    EventTexts(lines, subject, location, body);
    Participants(lines, full);
    std::vector<const RecurrenceException*> changed;
    if (pattern && rule) {
        lines.Add("RRULE", *rule);
        // Moved and changed instances are listed as deleted too: only the others are gone.
        std::vector<uint32_t> movedDays;
        for (const RecurrenceException& e : pattern->exceptions)
            movedDays.push_back(e.originalStart - e.originalStart % 1440);
        std::vector<int64_t> excluded;
        for (uint32_t day : pattern->deletedInstanceDates) {
            const uint32_t midnight = day - day % 1440;
            if (std::find(movedDays.begin(), movedDays.end(), midnight) != movedDays.end())
                continue;
            excluded.push_back(int64_t{midnight} + pattern->startTimeOffset);
        }
        std::sort(excluded.begin(), excluded.end());
        excluded.erase(std::unique(excluded.begin(), excluded.end()), excluded.end());
        for (int64_t local : excluded) style.Add(lines, "EXDATE", local);
        for (const RecurrenceException& e : pattern->exceptions) changed.push_back(&e);
    }
    lines.Add("END", "VEVENT");

    // Each changed instance: its own times and texts, the series' where it kept them.
    std::sort(changed.begin(), changed.end(),
              [](const auto* a, const auto* b) { return a->originalStart < b->originalStart; });
    std::vector<bool> used(full.embedded.size(), false);
    for (size_t i = 0; i < changed.size(); ++i) {
        const RecurrenceException& e = *changed[i];
        if (i > 0 && changed[i - 1]->originalStart == e.originalStart) continue;  // one each
        const int64_t original = e.originalStart;
        const CivilTime originalTime = CivilOf(original);
        if (originalTime.year < 1601 || originalTime.year >= kNoDateYear) continue;
        const FullItem* own = ExceptionMessage(full, FromMinutes(zone.ToUtc(original)), used);
        Span instance{FromMinutes(zone.ToUtc(e.start)), FromMinutes(zone.ToUtc(e.end))};
        std::string instanceSubject = e.subject ? *e.subject : subject;
        std::string instanceLocation = e.location ? *e.location : location;
        std::string description = body;
        if (own) {
            const Span exact = AppointmentSpan(*own->item);
            if (exact.start && exact.end) instance = exact;
            if (!e.subject && !SubjectOf(*own).empty()) instanceSubject = SubjectOf(*own);
            if (!e.location && !LocationOf(*own->item).empty())
                instanceLocation = LocationOf(*own->item);
            if (e.HasBody() || !BodyOf(*own).empty()) description = BodyOf(*own);
        }
        lines.Add("BEGIN", "VEVENT");
        lines.Add("UID", EscapeText(uid));
        style.Add(lines, "RECURRENCE-ID", original);
        lines.Add("DTSTAMP", stamp);
        EventTimes(lines, style, instance);
        EventTexts(lines, instanceSubject, instanceLocation, description);
        lines.Add("END", "VEVENT");
    }
    return lines.Take();
}

std::string_view TaskStatus(uint32_t status) {
    switch (status) {
        case 1:
            return "IN-PROCESS";
        case 2:
            return "COMPLETED";
        default:
            return "NEEDS-ACTION";  // not started, waiting, deferred
    }
}

std::string TodoOf(const FullItem& full, const std::string& uid,
                   std::vector<std::string>& problems) {
    const ItemRecord& item = *full.item;
    static const TaskRecord kNoTask;
    const TaskRecord& t = item.task ? *item.task : kNoTask;
    const auto start = TimeOf(t.startDate);
    const auto due = TimeOf(t.dueDate);
    Lines lines;
    lines.Add("BEGIN", "VTODO");
    lines.Add("UID", EscapeText(uid));
    lines.Add("DTSTAMP", StampOf(full, start));
    if (auto s = DateTimeOf(start)) lines.Add("DTSTART", *s);
    if (auto d = DateTimeOf(due); d && (!start || *due >= *start)) lines.Add("DUE", *d);
    lines.Text("SUMMARY", SubjectOf(full));
    lines.Text("DESCRIPTION", BodyOf(full));
    if (t.status) lines.Add("STATUS", std::string(TaskStatus(*t.status)));
    if (t.percentComplete) {
        lines.Add("PERCENT-COMPLETE",
                  fmt::format("{}", static_cast<int>(*t.percentComplete * 100.0 + 0.5)));
    }
    if (t.recurring || !t.recurrencePattern.empty()) {
        std::optional<std::string> rule;
        if (auto p = ParseRecurrencePattern(t.recurrencePattern, false, kWindows1252)) {
            // A task's series ends with the whole of its last day.
            std::optional<std::string> until;
            if (const uint64_t last = FromMinutes(int64_t{p->endDate} + 1439); start && last >= *start)
                until = DateTimeOf(last);
            if (start) rule = RuleOf(*p, until);
        }
        if (rule) {
            lines.Add("RRULE", *rule);
        } else {
            problems.push_back(fmt::format(
                "{}: task recurrence unreadable; exported as a single task", Describe(full)));
        }
    }
    lines.Add("END", "VTODO");
    return lines.Take();
}

// ---------------------------------------------------------------- vCard

// A URI for a list member: its address when it has one, else a UUID of its entry id
// (or of its name: some members are names only).
std::string MemberUri(const DistListMember& m) {
    if (!m.address.empty() && m.address.find('@') != std::string::npos &&
        (m.addressType.empty() || StartsWithNoCase(m.addressType, "SMTP"))) {
        return MailtoUri(m.address);
    }
    if (!m.entryId.empty()) return "urn:uuid:" + StableUuid(m.entryId);
    const std::string key = m.displayName + '\x1F' + m.address;
    return "urn:uuid:" +
           StableUuid(std::span(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
}

std::string Compound(std::initializer_list<std::string_view> parts) {
    std::string out;
    bool first = true;
    for (std::string_view p : parts) {
        if (!first) out += ';';
        out += EscapeText(p);
        first = false;
    }
    return out;
}

}  // namespace

std::string FoldLine(std::string_view line) {
    constexpr size_t kLimit = 75;
    std::string out;
    out.reserve(line.size() + line.size() / 70 * 3 + 2);
    size_t at = 0;
    size_t room = kLimit;
    while (line.size() - at > room) {
        size_t cut = at + room;
        // Back up to the start of the character the limit falls in.
        while (cut > at && IsUtf8Continuation(line[cut])) --cut;
        if (cut == at) cut = at + room;  // no character start: not UTF-8, cut anyway
        out.append(line.substr(at, cut - at));
        out += "\r\n ";
        at = cut;
        room = kLimit - 1;  // the blank counts
    }
    out.append(line.substr(at));
    out += "\r\n";
    return out;
}

std::string EscapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case ';':
                out += "\\;";
                break;
            case ',':
                out += "\\,";
                break;
            case '\r':
                if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
                out += "\\n";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t') break;
                if (c == 0x7F) break;
                out += c;
        }
    }
    return out;
}

std::string VCardOf(const FullItem& full) {
    const ItemRecord& item = *full.item;
    static const ContactRecord kNoContact;
    const ContactRecord& c = item.contact ? *item.contact : kNoContact;
    static const ContactCardRecord kNoCard;
    const ContactCardRecord& card = item.card ? *item.card : kNoCard;
    const bool group = IsDistributionListClass(item.className) || !card.members.empty();

    std::vector<std::string> emails;
    for (const std::string* e :
         {&card.email1Address, &card.email2Address, &card.email3Address, &c.emailAddress}) {
        if (e->find('@') == std::string::npos) continue;
        if (std::find(emails.begin(), emails.end(), *e) == emails.end()) emails.push_back(*e);
    }

    std::string name = item.displayName;
    if (name.empty()) name = group ? card.distListName : std::string();
    if (name.empty()) name = c.fileUnder;
    if (name.empty()) {
        name = c.givenName;
        if (!c.surname.empty()) name += (name.empty() ? "" : " ") + c.surname;
    }
    if (name.empty() && !emails.empty()) name = emails.front();
    if (name.empty()) name = SubjectOf(full);

    Lines lines;
    lines.Add("BEGIN", "VCARD");
    lines.Add("VERSION", "4.0");
    if (group) lines.Add("KIND", "group");
    lines.Add("FN", EscapeText(name));
    if (!group) {
        lines.Add("N", Compound({c.surname, c.givenName, c.middleName, c.displayNamePrefix,
                                 c.generation}));
    }
    lines.Text("NICKNAME", c.nickname);
    for (const std::string& e : emails) lines.Add("EMAIL", EscapeText(e));

    struct Phone {
        const std::string* number;
        std::string_view type;
    };
    const Phone phones[] = {
        {&card.primaryPhone, "voice"},
        {&c.mobilePhone, "cell"},
        {&c.businessPhone, "work,voice"},
        {&c.business2Phone, "work,voice"},
        {&c.companyMainPhone, "work"},
        {&c.homePhone, "home,voice"},
        {&c.home2Phone, "home,voice"},
        {&c.businessFax, "work,fax"},
        {&c.homeFax, "home,fax"},
        {&card.primaryFax, "fax"},
        {&c.pager, "pager"},
        {&c.carPhone, "voice"},
        {&c.otherPhone, "voice"},
        {&c.callbackPhone, "voice"},
        {&c.assistantPhone, "voice"},
        {&c.radioPhone, "voice"},
        {&c.isdn, "voice"},
        {&c.ttyPhone, "textphone"},
    };
    for (const Phone& p : phones) {
        if (!p.number->empty())
            lines.Add(fmt::format("TEL;TYPE={}", p.type), EscapeText(*p.number));
    }

    struct Address {
        std::string_view type;
        const std::string &street, &city, &state, &postal, &country;
    };
    const Address addresses[] = {
        {"home", c.homeStreet, c.homeCity, c.homeState, c.homePostalCode, c.homeCountry},
        {"work", c.businessStreet, c.businessCity, c.businessState, c.businessPostalCode,
         c.businessCountry},
        {"", c.otherStreet, c.otherCity, c.otherState, c.otherPostalCode, c.otherCountry},
    };
    bool anyAddress = false;
    for (const Address& a : addresses) {
        if (a.street.empty() && a.city.empty() && a.state.empty() && a.postal.empty() &&
            a.country.empty())
            continue;
        lines.Add(a.type.empty() ? std::string("ADR") : fmt::format("ADR;TYPE={}", a.type),
                  Compound({"", "", a.street, a.city, a.state, a.postal, a.country}));
        anyAddress = true;
    }
    // A contact whose only address is the free-form mailing address would lose it: it
    // goes whole into the street part.
    if (!anyAddress && !c.postalAddress.empty())
        lines.Add("ADR", Compound({"", "", c.postalAddress, "", "", "", ""}));
    if (!c.companyName.empty() || !c.department.empty()) {
        lines.Add("ORG", c.department.empty() ? EscapeText(c.companyName)
                                              : Compound({c.companyName, c.department}));
    }
    lines.Text("TITLE", c.title);
    lines.Text("ROLE", c.profession);
    if (auto day = DayOf(c.birthday)) lines.Add("BDAY", *day);
    if (auto day = DayOf(c.weddingAnniversary)) lines.Add("ANNIVERSARY", *day);
    if (c.gender == 1) lines.Add("GENDER", "F");
    if (c.gender == 2) lines.Add("GENDER", "M");
    for (const std::string* url : {&c.personalHomePage, &c.businessHomePage}) {
        if (!url->empty()) lines.Add("URL", EscapeText(*url));
    }
    for (const DistListMember& m : card.members) lines.Add("MEMBER", MemberUri(m));
    lines.Text("NOTE", BodyOf(full));
    lines.Add("END", "VCARD");
    return lines.Take();
}

CalendarFile::CalendarFile() : zones_(std::make_unique<CalendarZones>()) {}
CalendarFile::~CalendarFile() = default;

bool CalendarFile::Add(const FullItem& full, std::vector<std::string>& problems) {
    if (!full.item) return false;
    const ItemRecord& item = *full.item;
    const bool task = IsTask(item);
    if (!task && item.kind != ItemKind::Calendar && !item.calendar && !item.appointment &&
        !StartsWithNoCase(item.className, "IPM.Appointment") &&
        !StartsWithNoCase(item.className, "IPM.Schedule.Meeting"))
        return false;
    // Copies of one meeting (an offline store keeps some) share its global object id: each
    // is kept, the later ones under the id and their NID, which no other item of the file has.
    std::string uid = UidOf(full);
    if (!uids_.insert(uid).second) {
        uid += fmt::format("-{:08X}", full.nid);
        if (!uids_.insert(uid).second) {
            uid += fmt::format("-{:X}", full.dataBid);
            uids_.insert(uid);
        }
    }
    components_ += task ? TodoOf(full, uid, problems) : EventsOf(full, uid, *zones_, problems);
    return true;
}

std::string CalendarFile::Document() const {
    std::string out = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n";
    out += "PRODID:-//Kestrel//Kestrel for Microsoft Outlook//EN\r\n";
    out += "CALSCALE:GREGORIAN\r\n";
    out += zones_->Text();
    out += components_;
    out += "END:VCALENDAR\r\n";
    return out;
}

std::string NoteTextOf(const FullItem& full) {
    std::string subject = SubjectOf(full);
    const std::string body = BodyOf(full);
    // A sticky note's subject is its first line: it is not written twice.
    if (subject.empty() || body.starts_with(subject)) return body;
    std::string out = std::move(subject);
    out += "\r\n";
    if (!body.empty()) {
        out += "\r\n";
        out += body;
    }
    return out;
}

}  // namespace kestrel
