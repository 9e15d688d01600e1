#pragma once
// The time zones Outlook stores beside an appointment: the single rule of a series (LID
// 0x8233, the TZSTRUCT form) and the definitions of the zones of start, end and series
// (LIDs 0x825E, 0x825F, 0x8260: a key name and rules by year). Local times here are
// minutes since 1601-01-01 on the zone's wall clock, as in the recurrence pattern.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

// When a zone changes between standard and daylight time, as a SYSTEMTIME holds it: with
// year 0, the day-th (1 to 4, 5 the last) dayOfWeek (0 Sunday) of month at hour:minute.
struct ZoneChange {
    uint16_t year = 0;
    uint16_t month = 0;  // 0: the zone keeps one offset all year
    uint16_t dayOfWeek = 0;
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
};

struct ZoneRule {
    uint16_t flags = 0;  // definitions only: 2 marks the rule in effect
    uint16_t year = 0;   // definitions only: the first year the rule holds
    // UTC = local time + bias + the standard or the daylight bias, in minutes.
    int32_t bias = 0;
    int32_t standardBias = 0;
    int32_t daylightBias = 0;
    ZoneChange standardDate;  // the change to standard time, on the daylight clock
    ZoneChange daylightDate;  // the change to daylight time, on the standard clock

    bool HasDaylight() const { return standardDate.month != 0 && daylightDate.month != 0; }
    // Minutes east of UTC.
    int32_t StandardOffset() const { return -(bias + standardBias); }
    int32_t DaylightOffset() const { return -(bias + daylightBias); }
    bool SameZone(const ZoneRule& other) const;
};

struct ZoneDefinition {
    std::string keyName;  // UTF-8, e.g. "W. Europe Standard Time"
    std::vector<ZoneRule> rules;
    // The rule marked in effect, else the last one; null when there are none.
    const ZoneRule* Effective() const;
};

// nullopt when the bytes are not a sound structure (too short, offsets past a day, change
// dates that name no day).
std::optional<ZoneRule> ParseZoneStruct(std::span<const uint8_t> bytes);
std::optional<ZoneDefinition> ParseZoneDefinition(std::span<const uint8_t> bytes);

// Local minutes of a change in year, on the clock in force before it.
int64_t ChangeMinutes(const ZoneChange& change, int year);
// Whether a wall-clock time of the zone lies in its daylight time.
bool InDaylight(const ZoneRule& rule, int64_t localMinutes);
int64_t LocalToUtc(const ZoneRule& rule, int64_t localMinutes);
int64_t UtcToLocal(const ZoneRule& rule, int64_t utcMinutes);

// Calendar dates of minutes since 1601-01-01.
struct CivilTime {
    int year, month, day, hour, minute;
};
CivilTime CivilOf(int64_t minutes);
int64_t MinutesOf(int year, int month, int day, int hour = 0, int minute = 0);

}  // namespace kestrel
