#include "engine/file_finder.h"

#include <fmt/core.h>
#include <sys/stat.h>

#include <filesystem>

namespace kestrel {

namespace fs = std::filesystem;

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool MaskMatches(std::string_view mask, std::string_view name) {
    // Iterative wildcard match with one back-track point: linear in practice, never recursive.
    size_t m = 0, n = 0, starMask = std::string_view::npos, starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == '?' || Lower(mask[m]) == Lower(name[n]))) {
            ++m;
            ++n;
        } else if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (starMask != std::string_view::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') ++m;
    return m == mask.size();
}

CPath::CPath(std::string path) : path_(std::move(path)) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode)) size_ = static_cast<uint64_t>(st.st_size);
        modified_ = st.st_mtime;
    }
}

std::string CPath::LastPart() const {
    std::string_view text = path_;
    if (!text.empty() && text.back() == '/') text.remove_suffix(1);
    const size_t slash = text.rfind('/');
    return std::string(slash == std::string_view::npos ? text : text.substr(slash + 1));
}

std::string CPath::Directory() const {
    std::string_view text = path_;
    if (!text.empty() && text.back() == '/') text.remove_suffix(1);
    const size_t slash = text.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(text.substr(0, slash + 1));
}

std::string CPath::Name() const {
    const std::string last = LastPart();
    const size_t dot = last.rfind('.');
    return dot == std::string::npos ? last : last.substr(0, dot);
}

std::string CPath::Extension() const {
    const std::string last = LastPart();
    const size_t dot = last.rfind('.');
    return dot == std::string::npos ? std::string() : last.substr(dot + 1);
}

std::string CPath::FileName() const {
    return LastPart();
}

std::string SizeText(uint64_t bytes) {
    const uint64_t kilobytes = bytes / 1024;
    return kilobytes >= 10 ? fmt::format("{} KB", kilobytes) : fmt::format("{} B", bytes);
}

std::string ModifiedText(std::time_t time) {
    std::tm utc{};
    if (!::gmtime_r(&time, &utc)) return std::string();
    // Built by hand: the AM/PM of strftime would follow the user's locale.
    const int hour12 = utc.tm_hour % 12 == 0 ? 12 : utc.tm_hour % 12;
    return fmt::format("{:02}-{:02}-{:04} {:02}:{:02} {}", utc.tm_mday, utc.tm_mon + 1,
                       utc.tm_year + 1900, hour12, utc.tm_min, utc.tm_hour < 12 ? "AM" : "PM");
}

size_t CFileFinder::FindFiles(const FileSearchOptions& options) {
    if (!options.baseFolder.empty()) Find(options, options.baseFolder, 0);
    return FoundCount();
}

void CFileFinder::Find(const FileSearchOptions& options, const std::string& baseFolder, int depth) {
    std::string folder = baseFolder;
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';
    std::error_code ec;
    if (options.subfolders && depth < kMaxDepth) {
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end && !stopRequested_;
             it.increment(ec)) {
            std::error_code typeError;
            // A link is never followed: a loop would recurse for ever and a link may lead
            // out of the chosen tree.
            if (it->is_symlink(typeError) || !it->is_directory(typeError)) continue;
            Find(options, folder + it->path().filename().string(), depth + 1);
        }
    }
    {
        std::lock_guard lock(mutex_);
        searchingFolder_ = folder;
    }
    if (callback_) callback_(*this, kSearchingFolder);
    ec.clear();
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end && !stopRequested_;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!MaskMatches(options.fileMask, name)) continue;
        std::error_code typeError;
        std::string full = folder + name;
        if (it->is_directory(typeError)) full += '/';
        {
            std::lock_guard lock(mutex_);
            found_.push_back(std::move(full));
        }
        if (callback_) callback_(*this, kFound);
    }
}

size_t CFileFinder::FoundCount() const {
    std::lock_guard lock(mutex_);
    return found_.size();
}

std::string CFileFinder::FoundPath(size_t index) const {
    std::lock_guard lock(mutex_);
    return index < found_.size() ? found_[index] : std::string();
}

std::vector<std::string> CFileFinder::Found() const {
    std::lock_guard lock(mutex_);
    return found_;
}

std::string CFileFinder::SearchingFolder() const {
    std::lock_guard lock(mutex_);
    return searchingFolder_;
}

void CFileFinder::ClearFound() {
    std::lock_guard lock(mutex_);
    found_.clear();
}

}  // namespace kestrel
