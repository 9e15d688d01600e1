#include "storage/cfile64.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace kestrel {

namespace {

std::string Reason(const std::string& path, int error) {
    return path + ": " + std::strerror(error);
}

// Why a path that opened is still no file to read; the caller names the path.
std::string NotAFile(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    if (S_ISFIFO(st.st_mode)) return "a FIFO, not a regular file or block device";
    if (S_ISCHR(st.st_mode)) return "a character device, not a regular file or block device";
    if (S_ISSOCK(st.st_mode)) return "a socket, not a regular file or block device";
    return "not a regular file or block device";
}

// The size of an open regular file or block device; fstat says 0 for a device.
uint64_t SizeOf(int fd, const struct stat& st) {
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) return bytes;
        return 0;
    }
    return st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

CFile64::~CFile64() {
    try {
        Close();
    } catch (const FileError&) {
        // Nothing was written: a failed close of a read-only file loses nothing.
    }
}

bool CFile64::Open(const std::string& path, std::string* error) {
    Close();
    // O_NONBLOCK so that opening a FIFO by mistake does not hang; it is refused below.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    // Reading leaves the file's access time as it was, where its owner asks (root may for
    // any file): the mailbox under recovery is evidence of its own past, and the kernel
    // then skips an access-time check on every read. Anyone else opens it as it is.
    int fd = ::open(path.c_str(), kFlags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), kFlags);
    if (fd < 0) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        if (error) *error = std::strerror(e);
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        ::close(fd);
        if (error) *error = NotAFile(st);
        return false;
    }
    // Reads block normally from here on.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    fd_ = fd;
    fileName_ = path;
    position_ = 0;
    openedSize_ = SizeOf(fd, st);
    openedMtimeNs_ = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

void CFile64::OpenMemory(std::vector<uint8_t> bytes, std::string name) {
    Close();
    memory_ = std::move(bytes);
    inMemory_ = true;
    fileName_ = std::move(name);
    position_ = 0;
    openedSize_ = memory_.size();
    openedMtimeNs_ = 0;
}

size_t CFile64::ReadAt(uint64_t offset, void* buffer, size_t count) {
    if (count == 0) return 0;
    if (inMemory_) {
        if (offset >= memory_.size()) return 0;
        size_t n = std::min<uint64_t>(count, memory_.size() - offset);
        std::memcpy(buffer, memory_.data() + offset, n);
        return n;
    }
    if (fd_ < 0) throw FileError(fileName_ + ": file is not open", EBADF);
    // pread takes a signed offset: anything beyond it lies past every real file.
    constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > kMaxOffset) return 0;
    count = std::min<uint64_t>(count, kMaxOffset - offset);
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t got = ::pread(fd_, out + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            // A device reports an offset past its end as EINVAL: that is end of data.
            if (errno == EINVAL && done == 0 && offset >= GetLength()) return 0;
            throw FileError(Reason(fileName_, errno), errno);
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

size_t CFile64::Read(void* buffer, size_t count) {
    size_t got = ReadAt(position_, buffer, count);
    position_ += got;
    return got;
}

uint64_t CFile64::GetLength() const {
    if (inMemory_) return memory_.size();
    if (fd_ < 0) throw FileError(fileName_ + ": file is not open", EBADF);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw FileError(Reason(fileName_, errno), errno);
    return SizeOf(fd_, st);
}

void CFile64::Close() {
    int fd = fd_;
    fd_ = -1;
    inMemory_ = false;
    memory_.clear();
    memory_.shrink_to_fit();
    std::string name = std::move(fileName_);
    fileName_.clear();
    position_ = 0;
    openedSize_ = 0;
    openedMtimeNs_ = 0;
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) throw FileError(Reason(name, errno), errno);
}

}  // namespace kestrel
