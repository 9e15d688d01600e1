#pragma once
// Writes recurrence patterns as Outlook stores them (LID 0x8216 and 0x8116), for tests.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kestrel::test {

// Minutes since 1601-01-01 of a UTC date and time, the pattern's unit.
inline uint32_t PatternMinutes(int year, int month, int day, int hour = 0, int minute = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    return static_cast<uint32_t>((timegm(&tm) + 11644473600LL) / 60);
}

// The FILETIME bytes of the same moment.
inline std::vector<uint8_t> FileTimeBytes(int year, int month, int day, int hour = 0,
                                          int minute = 0) {
    const uint64_t t = uint64_t{PatternMinutes(year, month, day, hour, minute)} * 600000000ull;
    std::vector<uint8_t> out;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(t >> (8 * i)));
    return out;
}

struct ExceptionSpec {
    uint32_t start = 0, end = 0, originalStart = 0;
    std::string subject;   // empty: not overridden
    std::string location;  // empty: not overridden
    bool body = false;
};

struct PatternSpec {
    uint16_t frequency = 0x200B;  // weekly
    uint16_t patternType = 1;
    uint32_t period = 1;
    std::vector<uint32_t> specific = {0x04};  // Tuesday
    uint32_t endType = 0x2022;
    uint32_t occurrences = 10;
    uint32_t firstDow = 0;
    std::vector<uint32_t> deleted;   // midnights
    std::vector<uint32_t> modified;  // midnights
    uint32_t startDate = 0, endDate = 0;
    bool appointment = true;
    uint32_t startOffset = 0, endOffset = 0;  // minutes after midnight
    std::vector<ExceptionSpec> exceptions;
    uint32_t writerVersion2 = 0x3009;
};

class PatternWriter {
  public:
    std::vector<uint8_t> bytes;
    void U16(uint32_t v) {
        for (int i = 0; i < 2; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void Narrow(const std::string& s) {
        U16(static_cast<uint32_t>(s.size() + 1));
        U16(static_cast<uint32_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    void Wide(const std::string& ascii) {
        U16(static_cast<uint32_t>(ascii.size()));
        for (char c : ascii) U16(static_cast<uint8_t>(c));
    }
};

inline std::vector<uint8_t> BuildPattern(const PatternSpec& s) {
    PatternWriter w;
    w.U16(0x3004);
    w.U16(0x3004);
    w.U16(s.frequency);
    w.U16(s.patternType);
    w.U16(0);  // Gregorian
    w.U32(0);  // FirstDateTime
    w.U32(s.period);
    w.U32(0);  // SlidingFlag
    for (uint32_t v : s.specific) w.U32(v);
    w.U32(s.endType);
    w.U32(s.occurrences);
    w.U32(s.firstDow);
    w.U32(static_cast<uint32_t>(s.deleted.size()));
    for (uint32_t v : s.deleted) w.U32(v);
    w.U32(static_cast<uint32_t>(s.modified.size()));
    for (uint32_t v : s.modified) w.U32(v);
    w.U32(s.startDate);
    w.U32(s.endDate);
    if (!s.appointment) return w.bytes;
    w.U32(0x3006);
    w.U32(s.writerVersion2);
    w.U32(s.startOffset);
    w.U32(s.endOffset);
    w.U16(static_cast<uint32_t>(s.exceptions.size()));
    for (const ExceptionSpec& e : s.exceptions) {
        w.U32(e.start);
        w.U32(e.end);
        w.U32(e.originalStart);
        uint16_t flags = 0;
        if (!e.subject.empty()) flags |= 0x0001;
        if (!e.location.empty()) flags |= 0x0010;
        if (e.body) flags |= 0x0200;
        w.U16(flags);
        if (!e.subject.empty()) w.Narrow(e.subject);
        if (!e.location.empty()) w.Narrow(e.location);
    }
    w.U32(0);  // ReservedBlock1
    for (const ExceptionSpec& e : s.exceptions) {
        if (s.writerVersion2 >= 0x3009) {
            w.U32(4);  // ChangeHighlight
            w.U32(0);
        }
        w.U32(0);  // ReservedBlockEE1
        if (!e.subject.empty() || !e.location.empty()) {
            w.U32(e.start);
            w.U32(e.end);
            w.U32(e.originalStart);
            if (!e.subject.empty()) w.Wide(e.subject);
            if (!e.location.empty()) w.Wide(e.location);
            w.U32(0);  // ReservedBlockEE2
        }
    }
    w.U32(0);  // ReservedBlock2
    return w.bytes;
}

// Ten Tuesdays from 2016-08-02 at 08:00-08:30 (pattern time), the 9th deleted, the 23rd
// moved an hour later with its own subject and location.
inline PatternSpec WeeklyWithChanges() {
    PatternSpec s;
    s.startDate = PatternMinutes(2016, 8, 2);
    s.endDate = PatternMinutes(2016, 10, 4);
    s.startOffset = 8 * 60;
    s.endOffset = 8 * 60 + 30;
    const uint32_t moved = PatternMinutes(2016, 8, 23);
    s.deleted = {PatternMinutes(2016, 8, 9), moved};
    s.modified = {moved};
    s.exceptions.push_back(
        {moved + 9 * 60, moved + 9 * 60 + 30, moved + 8 * 60, "Moved", "Room 2", true});
    return s;
}

// Time zones as Outlook stores them beside a series: the single rule (LID 0x8233) and a
// definition of one rule in effect (LIDs 0x825E to 0x8260).
struct Change {
    uint16_t month = 0, dayOfWeek = 0, day = 0, hour = 0;
};
inline void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& out, int32_t v) {
    Put16(out, static_cast<uint32_t>(v) & 0xFFFF);
    Put16(out, static_cast<uint32_t>(v) >> 16);
}
inline void PutChange(std::vector<uint8_t>& out, const Change& c) {
    for (uint32_t v : {0u, uint32_t{c.month}, uint32_t{c.dayOfWeek}, uint32_t{c.day},
                       uint32_t{c.hour}, 0u, 0u, 0u})
        Put16(out, v);
}
inline std::vector<uint8_t> ZoneStruct(int32_t bias, int32_t daylightBias, Change standard, Change daylight) {
    std::vector<uint8_t> out;
    Put32(out, bias);
    Put32(out, 0);
    Put32(out, daylightBias);
    Put16(out, 0);
    PutChange(out, standard);
    Put16(out, 0);
    PutChange(out, daylight);
    return out;
}
inline std::vector<uint8_t> ZoneDefinition(const std::string& key, int32_t bias, int32_t daylightBias,
                                    Change standard, Change daylight) {
    std::vector<uint8_t> out = {0x02, 0x01};
    Put16(out, static_cast<uint32_t>(6 + 2 * key.size()));
    Put16(out, 2);
    Put16(out, static_cast<uint32_t>(key.size()));
    for (char c : key) Put16(out, static_cast<uint8_t>(c));
    Put16(out, 1);
    out.insert(out.end(), {0x02, 0x01});
    Put16(out, 0x3E);
    Put16(out, 0x0002);  // the rule in effect
    Put16(out, 2007);
    out.insert(out.end(), 14, 0);
    const auto rule = ZoneStruct(bias, daylightBias, standard, daylight);
    out.insert(out.end(), rule.begin(), rule.begin() + 12);
    out.insert(out.end(), rule.begin() + 14, rule.begin() + 30);
    out.insert(out.end(), rule.begin() + 32, rule.end());
    return out;
}
inline uint64_t Ticks(int year, int month, int day, int hour = 0, int minute = 0) {
    return uint64_t{PatternMinutes(year, month, day, hour, minute)} * 600000000ull;
}

}  // namespace kestrel::test
