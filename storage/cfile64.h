#pragma once
// The file object every read of the PST goes through: POSIX open/pread/fstat with 64-bit
// positions, opened read-only, never created or written. An in-memory image can stand in
// for a file (tests and fuzzing).
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrel {

// A file error (read, seek or stat failure). Caught at the boundaries the reader defines.
class FileError : public std::runtime_error {
  public:
    explicit FileError(const std::string& what, int osError = 0)
        : std::runtime_error(what), osError_(osError) {}
    int osError() const { return osError_; }

  private:
    int osError_;
};

class CFile64 {
  public:
    CFile64() = default;
    ~CFile64();
    CFile64(const CFile64&) = delete;
    CFile64& operator=(const CFile64&) = delete;

    // Opens path read-only. Only a regular file or a block device is accepted; a missing
    // path, a directory or anything else fails with the system's reason in *error (the
    // reason alone: the caller names the path).
    bool Open(const std::string& path, std::string* error = nullptr);
    // Uses bytes as the file's contents.
    void OpenMemory(std::vector<uint8_t> bytes, std::string name = "<memory>");

    // Positioned read: returns the bytes read, fewer than count at end of file or past it
    // (no error). Throws FileError on an I/O error.
    size_t ReadAt(uint64_t offset, void* buffer, size_t count);

    // Sequential access over the same positions.
    uint64_t Seek(uint64_t offset) { return position_ = offset; }
    uint64_t GetPosition() const { return position_; }
    size_t Read(void* buffer, size_t count);

    uint64_t GetLength() const;
    // Size and modification time as they were when the file was opened (0 for memory).
    uint64_t openedSize() const { return openedSize_; }
    int64_t openedMtimeNs() const { return openedMtimeNs_; }

    void Close();
    bool IsOpen() const { return fd_ >= 0 || inMemory_; }
    const std::string& fileName() const { return fileName_; }

  private:
    int fd_ = -1;
    bool inMemory_ = false;
    std::vector<uint8_t> memory_;
    std::string fileName_;
    uint64_t position_ = 0;
    uint64_t openedSize_ = 0;
    int64_t openedMtimeNs_ = 0;
};

}  // namespace kestrel
