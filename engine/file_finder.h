#pragma once
// The PST search: CFileFinder walks a folder for entries whose names hold ".pst" (any case),
// sub-folders first, depth first, in the order the file system lists them, and reports each
// find through a callback. CPath splits a found path into the parts the list shows.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// The parts of one path, and the size and last-write time of what it names.
class CPath {
  public:
    explicit CPath(std::string path);

    const std::string& path() const { return path_; }
    // The folder part, ending with "/" (empty for a bare name).
    std::string Directory() const;
    // The last part without its extension (a folder's path ends with "/": its own name).
    std::string Name() const;
    // What follows the last "." of the last part, without the dot; empty when none.
    std::string Extension() const;
    // Name, a dot and the extension when there is one.
    std::string FileName() const;
    // Size in bytes (0 for a folder or what cannot be read).
    uint64_t Size() const { return size_; }
    // Last-write time (0 when it cannot be read).
    std::time_t Modified() const { return modified_; }

  private:
    std::string LastPart() const;

    std::string path_;
    uint64_t size_ = 0;
    std::time_t modified_ = 0;
};

// "%ld KB" from 10 KB on, else "%ld B".
std::string SizeText(uint64_t bytes);
// "%d-%m-%Y %I:%M %p" in UTC.
std::string ModifiedText(std::time_t time);

struct FileSearchOptions {
    std::string baseFolder;
    std::string fileMask = "*.pst*";  // what a name must hold, "*" on either side
    bool subfolders = true;
};

class CFileFinder {
  public:
    enum Code { kFound = 0, kSearchingFolder = 2 };
    // Called on the searching thread: kFound after an entry joined the list (it is the last
    // one), kSearchingFolder before a folder's own entries are listed.
    using Callback = std::function<void(CFileFinder& finder, int code)>;

    void SetCallback(Callback callback) { callback_ = std::move(callback); }
    // Lists what matches under options.baseFolder; the number of entries found. A folder
    // that cannot be read adds nothing. Links to folders are never followed, so the walk
    // stays inside the tree and a link loop ends.
    size_t FindFiles(const FileSearchOptions& options);
    // Safe from any thread: the search ends before its next entry. The request stays until
    // ResetStop, so one made before the search reaches its first folder is not lost.
    void RequestStop() { stopRequested_ = true; }
    void ResetStop() { stopRequested_ = false; }
    bool StopRequested() const { return stopRequested_; }

    size_t FoundCount() const;
    std::string FoundPath(size_t index) const;
    std::vector<std::string> Found() const;
    std::string SearchingFolder() const;
    void ClearFound();

    // Deeper folders than this are not searched (a bound on the walk's own depth).
    static constexpr int kMaxDepth = 128;

  private:
    void Find(const FileSearchOptions& options, const std::string& baseFolder, int depth);

    mutable std::mutex mutex_;  // guards found_ and searchingFolder_
    std::vector<std::string> found_;
    std::string searchingFolder_;
    std::atomic<bool> stopRequested_{false};
    Callback callback_;
};

// True when name matches mask ("*" any run, "?" one character), ignoring ASCII case.
bool MaskMatches(std::string_view mask, std::string_view name);

}  // namespace kestrel
