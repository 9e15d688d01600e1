#include "items/recurrence_pattern.h"

#include "items/code_page.h"
#include "items/utf16.h"
#include "storage/byte_reader.h"

namespace kestrel {
namespace {

constexpr uint16_t kReaderVersion = 0x3004;
constexpr uint32_t kReaderVersion2 = 0x3006;
constexpr uint32_t kWriterVersion2WithHighlight = 0x3009;

// Reads forward through the bytes; any read past their end marks the whole read failed.
class Cursor {
  public:
    explicit Cursor(std::span<const uint8_t> bytes) : reader_(bytes) {}

    uint16_t U16() {
        const auto v = reader_.U16(at_);
        return Advance(v, 2);
    }
    uint32_t U32() {
        const auto v = reader_.U32(at_);
        return Advance(v, 4);
    }
    std::span<const uint8_t> Bytes(uint64_t count) {
        if (failed_ || count > reader_.size() || !reader_.Has(at_, static_cast<size_t>(count))) {
            failed_ = true;
            return {};
        }
        std::span<const uint8_t> out(reader_.data() + at_, static_cast<size_t>(count));
        at_ += static_cast<size_t>(count);
        return out;
    }
    void Skip(uint64_t count) { Bytes(count); }
    // A count of 4-byte values, each read; fails when they cannot all be there.
    std::vector<uint32_t> U32List(uint32_t count) {
        std::vector<uint32_t> values;
        if (failed_ || uint64_t{count} * 4 > reader_.size() - at_) {
            failed_ = true;
            return values;
        }
        values.reserve(count);
        for (uint32_t i = 0; i < count; ++i) values.push_back(U32());
        return values;
    }
    bool failed() const { return failed_; }
    size_t remaining() const { return failed_ ? 0 : reader_.size() - at_; }

  private:
    template <typename T>
    T Advance(const std::optional<T>& v, size_t width) {
        if (failed_ || !v) {
            failed_ = true;
            return 0;
        }
        at_ += width;
        return *v;
    }

    ByteReader reader_;
    size_t at_ = 0;
    bool failed_ = false;
};

bool KnownFrequency(uint16_t f) {
    return f == kRecurDaily || f == kRecurWeekly || f == kRecurMonthly || f == kRecurYearly;
}

// The bytes after the pattern type that the type carries.
bool ReadPatternSpecific(Cursor& c, RecurrencePattern& p) {
    switch (p.patternType) {
        case kPatternDay:
            return true;
        case kPatternWeek:
            p.dayMask = c.U32();
            return true;
        case kPatternMonth:
        case kPatternMonthEnd:
        case kPatternHjMonth:
        case kPatternHjMonthEnd:
            p.dayOfMonth = c.U32();
            return true;
        case kPatternMonthNth:
        case kPatternHjMonthNth:
            p.dayMask = c.U32();
            p.weekOfMonth = c.U32();
            return true;
        default:
            return false;
    }
}

std::optional<uint32_t> OptionalU32(Cursor& c, uint16_t flags, uint16_t flag) {
    if ((flags & flag) == 0) return std::nullopt;
    return c.U32();
}

// An 8-bit text of ExceptionInfo: its length, the length less one, then that many bytes.
std::string NarrowText(Cursor& c, uint32_t codePage) {
    c.U16();
    const uint16_t length = c.U16();
    return ConvertToUtf8(c.Bytes(length), codePage);
}

std::string WideText(Cursor& c) {
    const uint16_t length = c.U16();
    const auto bytes = c.Bytes(uint64_t{length} * 2);
    return NarrowUtf16(bytes.data(), bytes.size());
}

bool ReadExceptionInfo(Cursor& c, RecurrenceException& e, uint32_t codePage) {
    e.start = c.U32();
    e.end = c.U32();
    e.originalStart = c.U32();
    e.overrideFlags = c.U16();
    const uint16_t f = e.overrideFlags;
    if (f & kOverrideSubject) e.subject = NarrowText(c, codePage);
    e.meetingType = OptionalU32(c, f, kOverrideMeetingType);
    e.reminderDelta = OptionalU32(c, f, kOverrideReminderDelta);
    e.reminderSet = OptionalU32(c, f, kOverrideReminder);
    if (f & kOverrideLocation) e.location = NarrowText(c, codePage);
    e.busyStatus = OptionalU32(c, f, kOverrideBusyStatus);
    e.attachment = OptionalU32(c, f, kOverrideAttachment);
    e.subType = OptionalU32(c, f, kOverrideSubType);
    if (f & kOverrideColor) c.U32();
    return !c.failed();
}

// The UTF-16 copies of the exceptions' texts; the 8-bit ones stay when this part is cut
// short or does not match them.
void ReadExtendedExceptions(Cursor& c, RecurrencePattern& p, uint32_t writerVersion2) {
    Cursor probe = c;
    std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> texts;
    texts.reserve(p.exceptions.size());
    for (const RecurrenceException& e : p.exceptions) {
        if (writerVersion2 >= kWriterVersion2WithHighlight) probe.Skip(probe.U32());
        probe.Skip(probe.U32());  // ReservedBlockEE1
        std::optional<std::string> subject;
        std::optional<std::string> location;
        if (e.overrideFlags & (kOverrideSubject | kOverrideLocation)) {
            const uint32_t start = probe.U32();
            const uint32_t end = probe.U32();
            const uint32_t original = probe.U32();
            // The copy names the instance it belongs to: another one means damage.
            if (start != e.start || end != e.end || original != e.originalStart) return;
            if (e.overrideFlags & kOverrideSubject) subject = WideText(probe);
            if (e.overrideFlags & kOverrideLocation) location = WideText(probe);
            probe.Skip(probe.U32());  // ReservedBlockEE2
        }
        if (probe.failed()) return;
        texts.emplace_back(std::move(subject), std::move(location));
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        if (texts[i].first) p.exceptions[i].subject = std::move(texts[i].first);
        if (texts[i].second) p.exceptions[i].location = std::move(texts[i].second);
    }
    p.extendedRead = true;
    c = probe;
}

}  // namespace

std::optional<RecurrencePattern> ParseRecurrencePattern(std::span<const uint8_t> bytes,
                                                        bool appointment, uint32_t codePage) {
    Cursor c(bytes);
    RecurrencePattern p;
    if (c.U16() != kReaderVersion) return std::nullopt;
    c.U16();  // WriterVersion
    p.frequency = c.U16();
    p.patternType = c.U16();
    p.calendarType = c.U16();
    p.firstDateTime = c.U32();
    p.period = c.U32();
    p.slidingFlag = c.U32();
    if (c.failed() || !KnownFrequency(p.frequency) || !ReadPatternSpecific(c, p))
        return std::nullopt;
    p.endType = c.U32();
    p.occurrenceCount = c.U32();
    p.firstDayOfWeek = c.U32();
    p.deletedInstanceDates = c.U32List(c.U32());
    p.modifiedInstanceDates = c.U32List(c.U32());
    p.startDate = c.U32();
    p.endDate = c.U32();
    if (c.failed()) return std::nullopt;
    if (!appointment) return p;

    p.appointment = true;
    if (c.U32() != kReaderVersion2) return std::nullopt;
    const uint32_t writerVersion2 = c.U32();
    p.startTimeOffset = c.U32();
    p.endTimeOffset = c.U32();
    const uint16_t exceptionCount = c.U16();
    if (c.failed()) return std::nullopt;
    // Each ExceptionInfo takes at least 14 bytes: a count beyond the data is damage.
    if (uint64_t{exceptionCount} * 14 > c.remaining()) return std::nullopt;
    p.exceptions.resize(exceptionCount);
    for (RecurrenceException& e : p.exceptions) {
        if (!ReadExceptionInfo(c, e, codePage)) return std::nullopt;
    }
    c.Skip(c.U32());           // ReservedBlock1
    if (c.failed()) return p;  // the exceptions are whole; only their UTF-16 copies are gone
    ReadExtendedExceptions(c, p, writerVersion2);
    return p;
}

}  // namespace kestrel
