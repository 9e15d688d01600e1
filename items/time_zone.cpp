#include "items/time_zone.h"

#include <cstdlib>

#include "items/utf16.h"
#include "storage/byte_reader.h"

namespace kestrel {
namespace {

constexpr int64_t kDays1601To1970 = 134'774;
constexpr int32_t kMaxBias = 24 * 60;
constexpr size_t kZoneStructSize = 48;
constexpr size_t kRuleSize = 66;
constexpr size_t kMaxRules = 1024;

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = FloorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

ZoneChange ChangeAt(const ByteReader& r, size_t at) {
    ZoneChange c;
    c.year = r.U16(at).value_or(0);
    c.month = r.U16(at + 2).value_or(0);
    c.dayOfWeek = r.U16(at + 4).value_or(0);
    c.day = r.U16(at + 6).value_or(0);
    c.hour = r.U16(at + 8).value_or(0);
    c.minute = r.U16(at + 10).value_or(0);
    return c;
}

bool SoundChange(const ZoneChange& c) {
    if (c.month == 0) return true;
    if (c.month > 12 || c.hour > 23 || c.minute > 59) return false;
    if (c.year != 0) return c.day >= 1 && c.day <= DaysInMonth(c.year, c.month);
    return c.dayOfWeek <= 6 && c.day >= 1 && c.day <= 5;
}

bool SoundRule(const ZoneRule& r) {
    // Taken in 64 bits: a stored bias of INT32_MIN has no 32-bit absolute value.
    const auto outOfRange = [](int32_t bias) { return std::abs(int64_t{bias}) > kMaxBias; };
    if (outOfRange(r.bias) || outOfRange(r.standardBias) || outOfRange(r.daylightBias))
        return false;
    // One change without the other names no daylight time: the zone keeps one offset.
    return SoundChange(r.standardDate) && SoundChange(r.daylightDate);
}

int32_t I32(const ByteReader& r, size_t at) {
    return static_cast<int32_t>(r.U32(at).value_or(0));
}

// Whether a UTC time falls in the daylight time of the zone: the changes of its local year
// taken to UTC.
bool InDaylightUtc(const ZoneRule& rule, int64_t utcMinutes) {
    if (!rule.HasDaylight()) return false;
    const int year = CivilOf(utcMinutes + rule.StandardOffset()).year;
    const int64_t toDaylight =
        ChangeMinutes(rule.daylightDate, year) + rule.bias + rule.standardBias;
    const int64_t toStandard =
        ChangeMinutes(rule.standardDate, year) + rule.bias + rule.daylightBias;
    if (toDaylight < toStandard) return utcMinutes >= toDaylight && utcMinutes < toStandard;
    return utcMinutes >= toDaylight || utcMinutes < toStandard;  // southern zones
}

}  // namespace

bool ZoneRule::SameZone(const ZoneRule& o) const {
    auto same = [](const ZoneChange& a, const ZoneChange& b) {
        return a.year == b.year && a.month == b.month && a.dayOfWeek == b.dayOfWeek &&
               a.day == b.day && a.hour == b.hour && a.minute == b.minute;
    };
    return bias == o.bias && standardBias == o.standardBias && daylightBias == o.daylightBias &&
           same(standardDate, o.standardDate) && same(daylightDate, o.daylightDate);
}

const ZoneRule* ZoneDefinition::Effective() const {
    for (const ZoneRule& r : rules)
        if (r.flags & 0x0002) return &r;
    return rules.empty() ? nullptr : &rules.back();
}

std::optional<ZoneRule> ParseZoneStruct(std::span<const uint8_t> bytes) {
    if (bytes.size() < kZoneStructSize) return std::nullopt;
    const ByteReader r(bytes);
    ZoneRule rule;
    rule.bias = I32(r, 0);
    rule.standardBias = I32(r, 4);
    rule.daylightBias = I32(r, 8);
    rule.standardDate = ChangeAt(r, 14);
    rule.daylightDate = ChangeAt(r, 32);
    if (!SoundRule(rule)) return std::nullopt;
    return rule;
}

std::optional<ZoneDefinition> ParseZoneDefinition(std::span<const uint8_t> bytes) {
    const ByteReader r(bytes);
    if (r.U8(0).value_or(0) != 0x02) return std::nullopt;
    const size_t header = r.U16(2).value_or(0);
    const size_t keyChars = r.U16(6).value_or(0);
    if (!r.Has(8, keyChars * 2 + 2)) return std::nullopt;
    ZoneDefinition def;
    def.keyName = NarrowUtf16(r.data() + 8, keyChars * 2);
    const size_t ruleCount = r.U16(8 + keyChars * 2).value_or(0);
    size_t at = 4 + header;
    for (size_t i = 0; i < ruleCount && i < kMaxRules; ++i) {
        if (!r.Has(at, kRuleSize) || r.U8(at).value_or(0) != 0x02) return std::nullopt;
        const size_t stride = 4 + std::max<size_t>(r.U16(at + 2).value_or(0), kRuleSize - 4);
        ZoneRule rule;
        rule.flags = r.U16(at + 4).value_or(0);
        rule.year = r.U16(at + 6).value_or(0);
        rule.bias = I32(r, at + 22);
        rule.standardBias = I32(r, at + 26);
        rule.daylightBias = I32(r, at + 30);
        rule.standardDate = ChangeAt(r, at + 34);
        rule.daylightDate = ChangeAt(r, at + 50);
        if (!SoundRule(rule)) return std::nullopt;
        def.rules.push_back(rule);
        at += stride;
    }
    if (def.rules.empty()) return std::nullopt;
    return def;
}

int64_t ChangeMinutes(const ZoneChange& c, int year) {
    const int64_t timeOfDay = int64_t{c.hour} * 60 + c.minute;
    if (c.year != 0) return MinutesOf(year, c.month, c.day) + timeOfDay;
    const int64_t first = DaysFromCivil(year, c.month, 1);
    const int firstDow = static_cast<int>(((first + 4) % 7 + 7) % 7);  // 1970-01-01: Thursday
    int day = 1 + (c.dayOfWeek - firstDow + 7) % 7 + (c.day - 1) * 7;
    while (day > DaysInMonth(year, c.month)) day -= 7;  // 5: the last in the month
    return MinutesOf(year, c.month, day) + timeOfDay;
}

bool InDaylight(const ZoneRule& rule, int64_t localMinutes) {
    if (!rule.HasDaylight()) return false;
    const int year = CivilOf(localMinutes).year;
    const int64_t toDaylight = ChangeMinutes(rule.daylightDate, year);
    const int64_t toStandard = ChangeMinutes(rule.standardDate, year);
    if (toDaylight < toStandard) return localMinutes >= toDaylight && localMinutes < toStandard;
    return localMinutes >= toDaylight || localMinutes < toStandard;
}

int64_t LocalToUtc(const ZoneRule& rule, int64_t localMinutes) {
    return localMinutes + rule.bias +
           (InDaylight(rule, localMinutes) ? rule.daylightBias : rule.standardBias);
}

int64_t UtcToLocal(const ZoneRule& rule, int64_t utcMinutes) {
    return utcMinutes +
           (InDaylightUtc(rule, utcMinutes) ? rule.DaylightOffset() : rule.StandardOffset());
}

CivilTime CivilOf(int64_t minutes) {
    const int64_t days = FloorDiv(minutes, 1440);
    const int64_t minuteOfDay = minutes - days * 1440;
    int64_t z = days - kDays1601To1970 + 719468;
    const int64_t era = FloorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yoe + era * 400 + (month <= 2));
    return {year, month, day, static_cast<int>(minuteOfDay / 60),
            static_cast<int>(minuteOfDay % 60)};
}

int64_t MinutesOf(int year, int month, int day, int hour, int minute) {
    return (DaysFromCivil(year, month, day) + kDays1601To1970) * 1440 + int64_t{hour} * 60 + minute;
}

}  // namespace kestrel
