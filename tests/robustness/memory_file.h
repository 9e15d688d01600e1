#pragma once
// A file that lives only in memory (memfd), reachable by a path that any open() takes:
// the analysis opens it like a file on disk, and nothing is written anywhere.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrel::test {

class MemoryFile {
  public:
    explicit MemoryFile(std::span<const uint8_t> bytes, const char* name = "kestrel-damaged") {
        fd_ = ::memfd_create(name, MFD_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("memfd_create failed");
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n =
                ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
            if (n <= 0) {
                ::close(fd_);
                throw std::runtime_error("cannot fill the memory file");
            }
            done += static_cast<size_t>(n);
        }
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

    // The file's bytes as they are now.
    std::vector<uint8_t> Contents() const {
        std::vector<uint8_t> bytes;
        uint8_t buffer[65536];
        off_t at = 0;
        for (;;) {
            ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
            if (n <= 0) break;
            bytes.insert(bytes.end(), buffer, buffer + n);
            at += n;
        }
        return bytes;
    }

  private:
    int fd_ = -1;
};

}  // namespace kestrel::test
