#pragma once
// The export's file side: names from the file made safe to create, and files written so
// that nothing the file names can lead outside the destination or over what is there.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel {

// The longest name one path component may have, in bytes.
inline constexpr size_t kMaxNameBytes = 255;

// name as one path component: "/", "\", NUL and control characters, and bytes that are no
// UTF-8, become "_"; leading dots become "_"; trailing dots and blanks are dropped; a
// reserved device name ("con", "nul", "com1", "lpt9", ... also with an extension) gets a
// leading "_"; the result is cut to maxBytes on a character boundary. Empty when nothing is
// left: callers put their own name in then.
std::string SafeName(std::string_view name, size_t maxBytes = kMaxNameBytes);

// Why writing failed, in the system's words ("No space left on device").
class ExportWriteError : public std::exception {
  public:
    explicit ExportWriteError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

// One output folder, held open: its files and sub-folders are made relative to it, never
// through a symbolic link.
class OutputFolder {
  public:
    // The folder path names (created with its parents when missing); throws
    // ExportWriteError when it cannot be made or opened.
    static OutputFolder OpenRoot(const std::string& path);
    OutputFolder() = default;
    ~OutputFolder();
    OutputFolder(OutputFolder&& other) noexcept;
    OutputFolder& operator=(OutputFolder&& other) noexcept;
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    const std::string& shownPath() const { return shownPath_; }

    // The sub-folder name (a safe name), made when missing. A symbolic link or a file of
    // that name is refused.
    OutputFolder Sub(const std::string& name) const;
    // True when an entry of that name exists (a dangling link included).
    bool Exists(const std::string& name) const;

    enum class Placed { Written, Existed };
    // Writes bytes to name: under a temporary name first, renamed when complete, so a
    // failure leaves no half file. An existing name is replaced only when overwrite is
    // set (a link is replaced, never followed); else it stays and Existed is returned.
    // Throws ExportWriteError.
    Placed WriteFile(const std::string& name, std::string_view bytes, bool overwrite) const;

    // A file written in pieces: created under a temporary name, placed by Commit, removed
    // when dropped uncommitted.
    class PendingFile {
      public:
        PendingFile() = default;
        ~PendingFile();
        PendingFile(PendingFile&& other) noexcept;
        PendingFile& operator=(PendingFile&& other) noexcept;
        void Append(std::string_view bytes);
        Placed Commit(bool overwrite);
        bool IsOpen() const { return fd_ >= 0; }
        // For a writer that places its bytes itself (pwrite); Commit still closes it.
        int fd() const { return fd_; }

      private:
        friend class OutputFolder;
        void Discard();
        int dirFd_ = -1;
        int fd_ = -1;
        std::string tempName_;
        std::string name_;
        std::string shownPath_;
    };
    PendingFile Begin(const std::string& name) const;

  private:
    int fd_ = -1;
    std::string shownPath_;
};

}  // namespace kestrel
