#pragma once
// The recurrence of a series as Outlook stores it: the RecurrencePattern structure of a
// recurring task (LID 0x8116) and the AppointmentRecurrencePattern of a recurring
// appointment (LID 0x8216), which adds the times of day and the changed instances.
// Dates and times in it are local times, in minutes since 1601-01-01.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

inline constexpr uint16_t kRecurDaily = 0x200A;
inline constexpr uint16_t kRecurWeekly = 0x200B;
inline constexpr uint16_t kRecurMonthly = 0x200C;
inline constexpr uint16_t kRecurYearly = 0x200D;

inline constexpr uint16_t kPatternDay = 0x0000;
inline constexpr uint16_t kPatternWeek = 0x0001;
inline constexpr uint16_t kPatternMonth = 0x0002;
inline constexpr uint16_t kPatternMonthNth = 0x0003;
inline constexpr uint16_t kPatternMonthEnd = 0x0004;
inline constexpr uint16_t kPatternHjMonth = 0x000A;
inline constexpr uint16_t kPatternHjMonthNth = 0x000B;
inline constexpr uint16_t kPatternHjMonthEnd = 0x000C;

inline constexpr uint32_t kEndAfterDate = 0x2021;
inline constexpr uint32_t kEndAfterCount = 0x2022;
inline constexpr uint32_t kEndNever = 0x2023;

// ExceptionInfo override flags.
inline constexpr uint16_t kOverrideSubject = 0x0001;
inline constexpr uint16_t kOverrideMeetingType = 0x0002;
inline constexpr uint16_t kOverrideReminderDelta = 0x0004;
inline constexpr uint16_t kOverrideReminder = 0x0008;
inline constexpr uint16_t kOverrideLocation = 0x0010;
inline constexpr uint16_t kOverrideBusyStatus = 0x0020;
inline constexpr uint16_t kOverrideAttachment = 0x0040;
inline constexpr uint16_t kOverrideSubType = 0x0080;
inline constexpr uint16_t kOverrideColor = 0x0100;
inline constexpr uint16_t kOverrideBody = 0x0200;  // the body is in the exception's attachment

// One changed instance of an appointment series.
struct RecurrenceException {
    uint32_t start = 0;  // the instance's new start and end
    uint32_t end = 0;
    uint32_t originalStart = 0;  // where the series had put it
    uint16_t overrideFlags = 0;
    std::optional<std::string> subject;   // UTF-8; from the UTF-16 copy when there is one
    std::optional<std::string> location;  // the same
    std::optional<uint32_t> busyStatus;
    std::optional<uint32_t> reminderDelta;
    std::optional<uint32_t> reminderSet;
    std::optional<uint32_t> meetingType;
    std::optional<uint32_t> attachment;
    std::optional<uint32_t> subType;  // 1: all day
    bool HasBody() const { return (overrideFlags & kOverrideBody) != 0; }
};

struct RecurrencePattern {
    uint16_t frequency = 0;  // kRecur*
    uint16_t patternType = 0;
    uint16_t calendarType = 0;
    uint32_t firstDateTime = 0;
    uint32_t period = 0;       // minutes (daily), weeks (weekly) or months
    uint32_t slidingFlag = 0;  // tasks: the next instance counts from completion
    uint32_t dayMask = 0;      // week and month-nth patterns: bit 0 Sunday .. bit 6 Saturday
    uint32_t dayOfMonth = 0;   // month patterns
    uint32_t weekOfMonth = 0;  // month-nth: 1 to 4, 5 the last
    uint32_t endType = 0;      // kEnd*, or 0xFFFFFFFF for never
    uint32_t occurrenceCount = 0;
    uint32_t firstDayOfWeek = 0;                  // 0 Sunday .. 6 Saturday
    std::vector<uint32_t> deletedInstanceDates;   // midnight of each removed or moved instance
    std::vector<uint32_t> modifiedInstanceDates;  // midnight of each moved instance's new day
    uint32_t startDate = 0;                       // midnight of the first instance
    uint32_t endDate = 0;                         // midnight of the last (0x5AE980DF: no end)

    // The appointment form only.
    bool appointment = false;
    uint32_t startTimeOffset = 0;  // minutes after midnight
    uint32_t endTimeOffset = 0;
    std::vector<RecurrenceException> exceptions;
    bool extendedRead = false;  // the UTF-16 exception data was there and read
};

// Parses a pattern: the task form, or with appointment the appointment form. nullopt when
// the bytes are not a pattern we can use (versions, kinds, counts past the data). 8-bit
// exception texts are read in codePage.
std::optional<RecurrencePattern> ParseRecurrencePattern(std::span<const uint8_t> bytes,
                                                        bool appointment, uint32_t codePage);

}  // namespace kestrel
