#include "engine/result_views.h"

#include <locale.h>

#include <algorithm>
#include <ctime>
#include <type_traits>

#include "engine/result_lists.h"
#include "items/file_time.h"
#include "items/time_zone.h"

namespace kestrel {

namespace {

constexpr std::string_view kContactsPath = "Personal Folders\\Contacts\\";
constexpr std::string_view kTasksPath = "Personal Folders\\Tasks\\";
constexpr std::string_view kJournalPath = "Personal Folders\\Journal\\";
constexpr std::string_view kNotesPath = "Personal Folders\\Notes\\";
constexpr std::string_view kCalendarPath = "Personal Folders\\Calendar\\";

// FILETIME counts 100 ns ticks from 1601-01-01; these are its values at 1970-01-01 and
// at the last second a list shows (3000-12-31 23:59:59 UTC, where the old 64-bit time
// functions stop).
constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kUnixEpochTicks = 116'444'736'000'000'000;
constexpr int64_t kLastShownSecond = 32'535'215'999;

// Length of the UTF-8 character starting at text[i]: the lead byte's length when all its
// continuation bytes follow, else 1 (a stray or broken byte is a character of its own).
size_t CharLength(std::string_view text, size_t i) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t length = 1;
    if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    }
    if (length > text.size() - i) return 1;
    for (size_t k = 1; k < length; ++k) {
        if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) return 1;
    }
    return length;
}

std::string ReplaceBytes(std::string_view text, std::string_view controls) {
    std::string out(text);
    // Every listed value is below 0x80, so in UTF-8 it is always a whole character.
    for (char& c : out) {
        if (controls.find(c) != std::string_view::npos) c = ' ';
    }
    return out;
}

std::optional<int64_t> UnixSeconds(uint64_t filetime) {
    if (filetime < kUnixEpochTicks) return std::nullopt;
    const auto seconds = static_cast<int64_t>((filetime - kUnixEpochTicks) / kTicksPerSecond);
    if (seconds > kLastShownSecond) return std::nullopt;
    return seconds;
}

// Formats in the C locale whatever the process's locale is: the list shows English day
// and month names, as it always has.
std::optional<std::string> FormatUtc(uint64_t filetime, const char* format) {
    const auto seconds = UnixSeconds(filetime);
    if (!seconds) return std::nullopt;
    const auto t = static_cast<std::time_t>(*seconds);
    std::tm fields{};
    if (!gmtime_r(&t, &fields)) return std::nullopt;
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    char buffer[64];
    const size_t length = cLocale ? strftime_l(buffer, sizeof buffer, format, &fields, cLocale)
                                  : std::strftime(buffer, sizeof buffer, format, &fields);
    if (length == 0) return std::nullopt;
    return std::string(buffer, length);
}

std::string DateCell(const std::optional<uint64_t>& filetime) {
    if (!filetime) return {};
    return FormatItemDate(*filetime).value_or(std::string());
}

// A missing text shows the placeholder; a present one its full clean-up.
std::string CleanOr(std::string_view text, std::string_view placeholder) {
    return text.empty() ? std::string(placeholder) : FullCleanUp(text);
}

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

// Icons of the screen's image list, per view.
constexpr int kIconMail = 13;
constexpr int kIconContact = 1;
constexpr int kIconTask = 10;
constexpr int kIconJournal = 5;
constexpr int kIconNote = 7;
constexpr int kIconCalendar = 0;

// Runs make(entry) for each entry in list order until cancelled; reversed views then
// turn the rows round so that the last entry shows first.
// onlyFolder, when not 0, keeps the entries the walk met in that folder.
template <typename List, typename Make>
void FillRows(ResultView& view, const List& list, const std::atomic<bool>* cancel, Make make,
              uint32_t onlyFolder = 0) {
    if (!onlyFolder) view.rows.reserve(list.size());
    for (const auto& entry : list) {
        if (Cancelled(cancel)) {
            view.cancelled = true;
            return;
        }
        if constexpr (std::is_base_of_v<ListEntry, std::decay_t<decltype(entry)>>) {
            if (onlyFolder && entry.folderNid != onlyFolder) continue;
        }
        view.rows.push_back(make(entry));
    }
}

template <typename List>
bool HoldsEntryOf(const List& list, uint32_t folderNid) {
    return std::any_of(list.begin(), list.end(),
                       [folderNid](const auto& entry) { return entry.folderNid == folderNid; });
}

// The view of a folder outside the fixed paths that took no mail but holds entries of one
// of the other lists: without it such a folder (an "Old Contacts" folder, a second
// calendar) would list nothing at all.
std::optional<ResultViewKind> OwnListKind(const AnalysisResult& result, uint32_t folderNid) {
    if (HoldsEntryOf(result.contacts, folderNid)) return ResultViewKind::Contacts;
    if (HoldsEntryOf(result.calendar, folderNid)) return ResultViewKind::Calendar;
    if (HoldsEntryOf(result.tasks, folderNid)) return ResultViewKind::Tasks;
    if (HoldsEntryOf(result.notes, folderNid)) return ResultViewKind::StickyNotes;
    if (HoldsEntryOf(result.journal, folderNid)) return ResultViewKind::Journal;
    return std::nullopt;
}

}  // namespace

ResultView FillResultView(const AnalysisResult& result, uint32_t folderNid,
                          const std::atomic<bool>* cancel) {
    ResultView view;
    view.folderNid = folderNid;
    if (Cancelled(cancel)) {
        view.cancelled = true;
        return view;
    }
    // The mail folder of that NID takes its messages (as the walk files them), so it is
    // the one to show when another folder shares the NID.
    const MailFolderEntry* folder = nullptr;
    for (const auto& entry : result.folders.entries()) {
        if (entry.folderNid != folderNid) continue;
        if (!folder) folder = &entry;
        if (entry.mail) {
            folder = &entry;
            break;
        }
    }
    view.kind = folder ? ChooseResultView(folder->path) : ResultViewKind::Mail;
    uint32_t onlyFolder = 0;
    if (folder && view.kind == ResultViewKind::Mail && folder->messages.empty()) {
        if (const auto own = OwnListKind(result, folderNid)) {
            view.kind = *own;
            onlyFolder = folderNid;
        }
    }

    switch (view.kind) {
        case ResultViewKind::Contacts:
            if (result.contacts.empty()) {
                view.keepPrevious = true;
                break;
            }
            FillRows(
                view, result.contacts, cancel,
                [](const ContactEntry& entry) {
                    const ContactRecord& c = entry.contact;
                    const std::string& name = ContactName(entry);
                    const std::string& postal =
                        c.postalAddress.empty() ? c.addressLine : c.postalAddress;
                    return ViewRow{
                        entry.nid,
                        entry.dataBid,
                        kIconContact,
                        {LineCleanUp(name), c.emailAddress, c.mobilePhone, LineCleanUp(postal)}};
                },
                onlyFolder);
            break;
        case ResultViewKind::Tasks:
            FillRows(
                view, result.tasks, cancel,
                [](const TaskEntry& entry) {
                    return ViewRow{entry.nid,
                                   entry.dataBid,
                                   kIconTask,
                                   {entry.subject, DateCell(entry.deliveryTime)}};
                },
                onlyFolder);
            break;
        case ResultViewKind::Journal:
            FillRows(
                view, result.journal, cancel,
                [](const JournalEntry& entry) {
                    return ViewRow{entry.nid,
                                   entry.dataBid,
                                   kIconJournal,
                                   {LongTextCut(entry.subject), entry.entryType}};
                },
                onlyFolder);
            break;
        case ResultViewKind::StickyNotes:
            FillRows(
                view, result.notes, cancel,
                [](const StickyNoteEntry& entry) {
                    return ViewRow{
                        entry.nid,
                        entry.dataBid,
                        kIconNote,
                        {LineCleanUp(entry.subject), LineCleanUp(LongTextCut(entry.extraText)),
                         DateCell(entry.deliveryTime)}};
                },
                onlyFolder);
            break;
        case ResultViewKind::Calendar:
            FillRows(
                view, result.calendar, cancel,
                [](const CalendarEntry& entry) {
                    return ViewRow{entry.nid,
                                   entry.dataBid,
                                   kIconCalendar,
                                   {entry.subject, entry.location, DateCell(entry.deliveryTime)}};
                },
                onlyFolder);
            view.gridLines = !view.rows.empty();
            break;
        case ResultViewKind::Mail:
            // A folder that is not a mail folder (or a NID no folder has) lists nothing.
            if (!folder || !folder->mail) break;
            // Every row, the folder's last one included, gets the clean-ups and the
            // placeholders: an unclean last row would only show the loop's off-by-one.
            FillRows(view, folder->messages, cancel, [](const MessageSummary& m) {
                return ViewRow{
                    m.nid,
                    m.dataBid,
                    kIconMail,
                    {CleanOr(m.from(), "None"),
                     m.hasSubject ? FullCleanUp(m.subject()) : std::string("Unspecified"),
                     CleanOr(m.to(), "None"), DateCell(m.deliveryTime())}};
            });
            break;
    }
    if (view.kind == ResultViewKind::Tasks || view.kind == ResultViewKind::StickyNotes) {
        // These lists insert each row at the top: the last entry shows first.
        std::reverse(view.rows.begin(), view.rows.end());
    }
    return view;
}

ResultViewKind ChooseResultView(std::string_view path) {
    if (path == kContactsPath) return ResultViewKind::Contacts;
    if (path == kTasksPath) return ResultViewKind::Tasks;
    if (path == kJournalPath) return ResultViewKind::Journal;
    if (path == kNotesPath) return ResultViewKind::StickyNotes;
    if (path == kCalendarPath) return ResultViewKind::Calendar;
    return ResultViewKind::Mail;
}

const std::vector<ViewColumn>& ViewColumns(ResultViewKind kind) {
    static const std::vector<ViewColumn> mail{
        {"From", 150}, {"E-mail Subject", 150}, {"Received", 150}, {"Date", 150}};
    static const std::vector<ViewColumn> contacts{{"Contact Name", 150},
                                                  {"E-mail Address", 150},
                                                  {"Mobile Phone", 150},
                                                  {"Postal Address", 150}};
    static const std::vector<ViewColumn> tasks{{"Task Subject", 260}, {"Due Date", 260}};
    static const std::vector<ViewColumn> journal{{"Journal Subject", 260}, {"Entry Type", 260}};
    static const std::vector<ViewColumn> notes{
        {"Notes Subject", 150}, {"Text", 150}, {"Date", 150}};
    static const std::vector<ViewColumn> calendar{
        {"Calendar Subject", 150}, {"Location", 150}, {"Date", 150}};
    switch (kind) {
        case ResultViewKind::Contacts:
            return contacts;
        case ResultViewKind::Tasks:
            return tasks;
        case ResultViewKind::Journal:
            return journal;
        case ResultViewKind::StickyNotes:
            return notes;
        case ResultViewKind::Calendar:
            return calendar;
        case ResultViewKind::Mail:
            break;
    }
    return mail;
}

std::string LineCleanUp(std::string_view text) {
    return ReplaceBytes(text, "\n\r\t");
}

std::string FullCleanUp(std::string_view text) {
    return ReplaceBytes(text, "\n\r\t\x03\x10\x1A\x17\x19\x18\x0F\x11\x1B");
}

size_t Utf8Length(std::string_view text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); i += CharLength(text, i)) ++count;
    return count;
}

std::string LongTextCut(std::string_view text) {
    constexpr size_t kLongest = 254;
    constexpr size_t kKept = 200;
    // A text of at most 254 bytes has at most 254 characters: no need to count.
    if (text.size() <= kLongest || Utf8Length(text) <= kLongest) return std::string(text);
    size_t end = 0;
    for (size_t kept = 0; kept < kKept; ++kept) end += CharLength(text, end);
    std::string out(text.substr(0, end));
    out += "...";
    return out;
}

std::optional<std::string> FormatItemDate(uint64_t filetime) {
    return FormatUtc(filetime, "%a %b %d %H:%M:%S %Y");
}

std::optional<std::string> FormatItemDate(std::span<const uint8_t> filetime) {
    const auto value = FileTimeOf(filetime);
    return value ? FormatItemDate(*value) : std::nullopt;
}

// Written out by hand rather than through strftime: the JSON lists give one per message.
std::optional<std::string> FormatIsoDate(uint64_t filetime) {
    if (!UnixSeconds(filetime)) return std::nullopt;  // outside what the lists show
    const uint64_t seconds = filetime / kTicksPerSecond;  // since 1601
    const CivilTime civil = CivilOf(static_cast<int64_t>(seconds / 60));
    char text[] = "0000-00-00T00:00:00Z";
    auto put = [&text](size_t at, unsigned value, size_t digits) {
        for (size_t k = digits; k-- > 0; value /= 10)
            text[at + k] = static_cast<char>('0' + value % 10);
    };
    put(0, static_cast<unsigned>(civil.year), 4);
    put(5, static_cast<unsigned>(civil.month), 2);
    put(8, static_cast<unsigned>(civil.day), 2);
    put(11, static_cast<unsigned>(civil.hour), 2);
    put(14, static_cast<unsigned>(civil.minute), 2);
    put(17, static_cast<unsigned>(seconds % 60), 2);
    return std::string(text, sizeof text - 1);
}

std::optional<std::string> FormatIsoDate(std::span<const uint8_t> filetime) {
    const auto value = FileTimeOf(filetime);
    return value ? FormatIsoDate(*value) : std::nullopt;
}

}  // namespace kestrel
