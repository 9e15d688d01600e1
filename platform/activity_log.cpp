#include "platform/activity_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <fmt/format.h>

#include "platform/app_folders.h"
#include "platform/file_io.h"
#include "platform/settings.h"

namespace kestrel {

namespace fs = std::filesystem;

namespace {

bool IsContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Bytes of the UTF-8 sequence a lead byte starts; 1 for anything that is no lead.
std::size_t SequenceLength(char c) {
    unsigned char b = static_cast<unsigned char>(c);
    if ((b & 0xE0) == 0xC0) return 2;
    if ((b & 0xF0) == 0xE0) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    return 1;
}

}  // namespace

fs::path LogFolder(LogKind kind) {
    std::string setting =
        ReadSetting(kind == LogKind::Recovery ? kRecoveryLogValue : kActivityLogValue);
    std::error_code ec;
    if (!setting.empty() && fs::is_directory(setting, ec)) return setting;
    // The folder the Log menu's Change Path stored, when it still exists.
    setting = ReadSetting(kLogPathValue);
    if (!setting.empty() && fs::is_directory(setting, ec)) return setting;
    fs::path state = StateFolder();
    EnsureFolder(state);
    return state;
}

fs::path LogFilePath(LogKind kind) {
    return LogFolder(kind) / (kind == LogKind::Recovery ? "Recovery Log.txt" : "Activity Log.txt");
}

std::string_view CutLogEntry(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    if (text.size() <= kMaxLogEntryBytes) return text;
    // Find where the sequence holding the last kept byte starts; a sequence that would
    // run past the limit is dropped whole. Stray continuation bytes are cut as bytes.
    std::size_t cut = kMaxLogEntryBytes;
    std::size_t lead = cut - 1;
    for (int back = 0; back < 3 && lead > 0 && IsContinuation(text[lead]); ++back) --lead;
    if (!IsContinuation(text[lead]) && lead + SequenceLength(text[lead]) > cut) cut = lead;
    return text.substr(0, cut);
}

bool AppendLogEntry(const fs::path& file, std::string_view text) {
    std::error_code ec;
    fs::file_status status = fs::status(file, ec);
    if (fs::is_regular_file(status) &&
        (status.permissions() & fs::perms::owner_write) == fs::perms::none) {
        fs::permissions(file, fs::perms::owner_write, fs::perm_options::add, ec);
    }
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    // The lock makes the size check, the wipe and the append one step for every writer;
    // a file system without locks still gets the entry.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    // Emptying the file in place is the wipe: another writer holding it open then
    // appends to the fresh log rather than to a deleted one.
    if (ok && static_cast<std::uintmax_t>(st.st_size) > kLogWipeSize) {
        ok = ::ftruncate(fd, 0) == 0;
    }
    std::string entry(kLogBlankLine);
    entry += CutLogEntry(text);
    ok = ok && WriteAll(fd, entry);
    ::close(fd);
    return ok;
}

bool AppendLogLine(LogKind kind, std::string_view text) {
    return AppendLogEntry(LogFilePath(kind), text);
}

std::vector<std::string> StartBannerEntries(std::string_view shownPath,
                                            std::string_view defaultDestination,
                                            const std::tm& localTime) {
    std::vector<std::string> entries = {
        "*******************************START LOG FILE *******************************",
        "Kestrel For Microsoft Outlook",
        "Version 2.0",
        fmt::format("{}-{}-{} {}-{}", localTime.tm_mday, localTime.tm_mon + 1,
                    localTime.tm_year + 1900, localTime.tm_hour, localTime.tm_min),
        std::string(kLogBlankLine),
        "Step1:",
        "Select Source Path:",
        std::string(shownPath),
    };
    if (shownPath.find('.') != std::string_view::npos) {
        entries.emplace_back(kLogBlankLine);
        entries.emplace_back("Select Destination Path:");
        entries.emplace_back(defaultDestination);
    }
    return entries;
}

bool AppendStartBanner(std::string_view shownPath, std::string_view defaultDestination) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    bool ok = true;
    for (const std::string& entry : StartBannerEntries(shownPath, defaultDestination, local)) {
        ok = AppendLogLine(LogKind::Activity, entry) && ok;
    }
    return ok;
}

}  // namespace kestrel
