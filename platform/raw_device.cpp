#include "platform/raw_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace kestrel {

namespace {

// Reads exactly size bytes at offset, going on after short reads and interruptions.
bool PreadAll(int fd, uint8_t* out, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace

RawDevice::~RawDevice() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawDevice::NeedsRootRights() const {
    return (openError_ == EACCES || openError_ == EPERM) && ::geteuid() != 0;
}

bool RawDevice::Open(const std::string& path, std::string* reason) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    openError_ = fd_ < 0 ? errno : 0;
    if (fd_ < 0) {
        const int error = openError_;
        if (reason) {
            *reason = std::strerror(error);
            if (NeedsRootRights()) *reason += " (reading a disk needs root rights)";
        }
        return false;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        if (reason) *reason = std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    blockDevice_ = S_ISBLK(st.st_mode);
    sizeBytes_ = 0;
    logicalSectorSize_ = 0;
    if (blockDevice_) {
        uint64_t bytes = 0;
        if (::ioctl(fd_, BLKGETSIZE64, &bytes) == 0) sizeBytes_ = bytes;
        int logical = 0;
        if (::ioctl(fd_, BLKSSZGET, &logical) == 0 && logical > 0) logicalSectorSize_ = logical;
    } else if (S_ISREG(st.st_mode)) {
        sizeBytes_ = static_cast<uint64_t>(st.st_size);
    } else {
        if (reason) *reason = "neither a block device nor a disk image file";
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool RawDevice::ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) {
    if (fd_ < 0) return false;
    // Positions past what off_t holds cannot be read.
    constexpr uint64_t kMaxSector = std::numeric_limits<int64_t>::max() / kSectorSize;
    if (sector > kMaxSector || count > kMaxSector - sector) return false;
    while (count > 0) {
        const uint32_t chunk = count < kSectorsPerChunk ? count : kSectorsPerChunk;
        if (!PreadAll(fd_, out, static_cast<size_t>(chunk) * kSectorSize, sector * kSectorSize))
            return false;
        out += static_cast<size_t>(chunk) * kSectorSize;
        sector += chunk;
        count -= chunk;
    }
    return true;
}

bool ReadSectors(const std::string& device, uint64_t startSector, uint32_t count, uint8_t* buffer) {
    RawDevice raw;
    return raw.Open(device) && raw.ReadSectors(startSector, count, buffer);
}

}  // namespace kestrel
