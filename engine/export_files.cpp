#include "engine/export_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "platform/file_io.h"

namespace kestrel {

namespace {

// The length of the UTF-8 character at text[i], 0 when none starts there.
size_t Utf8CharLength(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if (lead == 0xE0 && byte(i + 1) < 0xA0) return 0;
    if (lead == 0xED && byte(i + 1) >= 0xA0) return 0;
    if (lead == 0xF0 && byte(i + 1) < 0x90) return 0;
    if (lead == 0xF4 && byte(i + 1) >= 0x90) return 0;
    return length;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// "con", "prn", "aux", "nul", "com1".."com9", "lpt1".."lpt9", before any extension: names
// a Windows program cannot open as files.
bool IsReservedDeviceName(std::string_view name) {
    std::string stem;
    for (char c : name.substr(0, name.find('.'))) stem += Lower(c);
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") return true;
    return stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) &&
           stem[3] >= '1' && stem[3] <= '9';
}

std::string SystemText(int error) {
    return std::strerror(error);
}

std::atomic<uint64_t> tempCounter{0};

std::string TempName() {
    static const pid_t pid = ::getpid();
    return fmt::format(".kestrel-{}-{}.part", pid, tempCounter.fetch_add(1));
}

// Places the complete temporary file under its name; without overwrite an existing entry
// stays (renameat2's no-replace, else a hard link, which fails on an existing name).
OutputFolder::Placed Place(int dirFd, const std::string& tempName, const std::string& name,
                           bool overwrite, const std::string& shownPath) {
    if (overwrite) {
        if (::renameat(dirFd, tempName.c_str(), dirFd, name.c_str()) != 0) {
            const int error = errno;
            ::unlinkat(dirFd, tempName.c_str(), 0);
            throw ExportWriteError(
                fmt::format("cannot write \"{}\": {}", shownPath, SystemText(error)));
        }
        return OutputFolder::Placed::Written;
    }
    int result = ::renameat2(dirFd, tempName.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
        result = ::linkat(dirFd, tempName.c_str(), dirFd, name.c_str(), 0);
        if (result == 0 || errno == EEXIST) ::unlinkat(dirFd, tempName.c_str(), 0);
    }
    if (result == 0) return OutputFolder::Placed::Written;
    const int error = errno;
    ::unlinkat(dirFd, tempName.c_str(), 0);
    if (error == EEXIST) return OutputFolder::Placed::Existed;
    throw ExportWriteError(fmt::format("cannot write \"{}\": {}", shownPath, SystemText(error)));
}

}  // namespace

std::string SafeName(std::string_view name, size_t maxBytes) {
    std::string out;
    out.reserve(name.size());
    size_t i = 0;
    while (i < name.size()) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const size_t length = Utf8CharLength(name, i);
        if (length == 0 || c < 0x20 || c == 0x7F || c == '/' || c == '\\') {
            out += '_';
            i += length == 0 ? 1 : length;
            continue;
        }
        // C1 controls (U+0080..U+009F).
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0) {
            out += '_';
            i += 2;
            continue;
        }
        out.append(name.substr(i, length));
        i += length;
    }
    // Trailing dots and blanks vanish on some systems; leading dots hide a file or name
    // "." and "..".
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    for (char& c : out) {
        if (c != '.') break;
        c = '_';
    }
    if (IsReservedDeviceName(out)) out = "_" + out;
    if (out.size() > maxBytes) {
        size_t cut = maxBytes;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
        while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    }
    return out;
}

OutputFolder OutputFolder::OpenRoot(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    OutputFolder folder;
    folder.shownPath_ = path;
    folder.fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder.fd_ < 0) {
        const int error = errno;
        throw ExportWriteError(fmt::format("cannot create the destination \"{}\": {}", path,
                                           ec ? ec.message() : SystemText(error)));
    }
    return folder;
}

OutputFolder::~OutputFolder() {
    if (fd_ >= 0) ::close(fd_);
}

OutputFolder::OutputFolder(OutputFolder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), shownPath_(std::move(other.shownPath_)) {}

OutputFolder& OutputFolder::operator=(OutputFolder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        shownPath_ = std::move(other.shownPath_);
    }
    return *this;
}

OutputFolder OutputFolder::Sub(const std::string& name) const {
    OutputFolder sub;
    sub.shownPath_ = shownPath_ + "/" + name;
    if (::mkdirat(fd_, name.c_str(), 0777) != 0 && errno != EEXIST) {
        throw ExportWriteError(
            fmt::format("cannot create the folder \"{}\": {}", sub.shownPath_, SystemText(errno)));
    }
    sub.fd_ = ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub.fd_ < 0) {
        throw ExportWriteError(
            fmt::format("cannot open the folder \"{}\": {}", sub.shownPath_, SystemText(errno)));
    }
    return sub;
}

bool OutputFolder::Exists(const std::string& name) const {
    struct stat info {};
    return ::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

OutputFolder::PendingFile OutputFolder::Begin(const std::string& name) const {
    PendingFile file;
    file.dirFd_ = fd_;
    file.name_ = name;
    file.shownPath_ = shownPath_ + "/" + name;
    for (int attempt = 0; attempt < 16; ++attempt) {
        file.tempName_ = TempName();
        file.fd_ = ::openat(fd_, file.tempName_.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (file.fd_ >= 0 || errno != EEXIST) break;
    }
    if (file.fd_ < 0) {
        throw ExportWriteError(
            fmt::format("cannot write \"{}\": {}", file.shownPath_, SystemText(errno)));
    }
    return file;
}

OutputFolder::Placed OutputFolder::WriteFile(const std::string& name, std::string_view bytes,
                                             bool overwrite) const {
    PendingFile file = Begin(name);
    file.Append(bytes);
    return file.Commit(overwrite);
}

OutputFolder::PendingFile::~PendingFile() {
    Discard();
}

OutputFolder::PendingFile::PendingFile(PendingFile&& other) noexcept
    : dirFd_(other.dirFd_),
      fd_(std::exchange(other.fd_, -1)),
      tempName_(std::move(other.tempName_)),
      name_(std::move(other.name_)),
      shownPath_(std::move(other.shownPath_)) {}

OutputFolder::PendingFile& OutputFolder::PendingFile::operator=(PendingFile&& other) noexcept {
    if (this != &other) {
        Discard();
        dirFd_ = other.dirFd_;
        fd_ = std::exchange(other.fd_, -1);
        tempName_ = std::move(other.tempName_);
        name_ = std::move(other.name_);
        shownPath_ = std::move(other.shownPath_);
    }
    return *this;
}

void OutputFolder::PendingFile::Discard() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    ::unlinkat(dirFd_, tempName_.c_str(), 0);
}

void OutputFolder::PendingFile::Append(std::string_view bytes) {
    if (!WriteAll(fd_, bytes)) {
        const int error = errno;
        Discard();
        throw ExportWriteError(
            fmt::format("cannot write \"{}\": {}", shownPath_, SystemText(error ? error : EIO)));
    }
}

OutputFolder::Placed OutputFolder::PendingFile::Commit(bool overwrite) {
    const int fd = std::exchange(fd_, -1);
    // A delayed write error (a full disk on some file systems) shows up at close.
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlinkat(dirFd_, tempName_.c_str(), 0);
        throw ExportWriteError(
            fmt::format("cannot write \"{}\": {}", shownPath_, SystemText(error)));
    }
    return Place(dirFd_, tempName_, name_, overwrite, shownPath_);
}

}  // namespace kestrel
