#pragma once
// The activity and recovery logs: plain text files of entries, each entry written as
// CR LF followed by its text, so a log starts with an empty line and ends without one.
// A log grown past kLogWipeSize bytes is started anew before the next entry.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

enum class LogKind : int {
    Activity = 0,  // "Activity Log.txt", folder from the "Activity Log" setting
    Recovery = 1,  // "Recovery Log.txt", folder from the "Recovery Log" setting
};

inline constexpr std::size_t kMaxLogEntryBytes = 299;
inline constexpr std::uintmax_t kLogWipeSize = 4096;

// An entry of this text shows as an empty line.
inline constexpr std::string_view kLogBlankLine = "\r\n";

// The folder named by the kind's setting when it is an existing folder, else the "LogPath"
// folder when it exists, else StateFolder() (created when missing).
std::filesystem::path LogFolder(LogKind kind);
// LogFolder(kind) / the kind's file name.
std::filesystem::path LogFilePath(LogKind kind);

// At most kMaxLogEntryBytes of text, never ending inside a UTF-8 sequence, and
// nothing from a NUL byte on.
std::string_view CutLogEntry(std::string_view text);

// Appends one entry to file: wipes a file larger than kLogWipeSize first, makes a
// read-only file writable, creates a missing one. Concurrent writers, threads or
// processes, take turns. True when the entry was written.
bool AppendLogEntry(const std::filesystem::path& file, std::string_view text);
// AppendLogEntry on LogFilePath(kind).
bool AppendLogLine(LogKind kind, std::string_view text);

// The entries logged when a source PST file is chosen: the banner with the local
// date and time, the step, the path as shown, and, when the path has a '.', the
// proposed destination folder.
std::vector<std::string> StartBannerEntries(std::string_view shownPath,
                                            std::string_view defaultDestination,
                                            const std::tm& localTime);
// Appends StartBannerEntries for the current local time to the activity log; true
// when every entry was written.
bool AppendStartBanner(std::string_view shownPath, std::string_view defaultDestination);

}  // namespace kestrel
