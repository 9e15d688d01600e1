#pragma once
// Raw sector access to a block device or a disk image file, read-only. Sectors are 512
// bytes and numbered with unsigned 64-bit values; large reads go in 40-sector chunks.
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kestrel {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kSectorsPerChunk = 40;

// What the partition walk and the carver read from: a device, an image or bytes in memory.
class SectorSource {
  public:
    virtual ~SectorSource() = default;
    // Reads count 512-byte sectors from sector into out (count * 512 bytes); false when any
    // part could not be read (out then holds no promise).
    virtual bool ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) = 0;
    // The size in 512-byte sectors.
    virtual uint64_t SectorCount() const = 0;
    // The logical sector size the device reports (512, 4096), 0 for an image file.
    virtual uint32_t LogicalSectorSize() const = 0;
};

class RawDevice : public SectorSource {
  public:
    RawDevice() = default;
    ~RawDevice() override;
    RawDevice(const RawDevice&) = delete;
    RawDevice& operator=(const RawDevice&) = delete;

    // Opens path read-only; false with the system's reason in *reason.
    bool Open(const std::string& path, std::string* reason = nullptr);
    bool IsOpen() const { return fd_ >= 0; }
    bool IsBlockDevice() const { return blockDevice_; }
    // True when the last Open was refused to a user other than root: reading a disk needs
    // root rights. Root refused too (a container's device rules, say) is another matter.
    bool NeedsRootRights() const;

    bool ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) override;
    uint64_t SectorCount() const override { return sizeBytes_ / kSectorSize; }
    uint32_t LogicalSectorSize() const override { return logicalSectorSize_; }
    uint64_t SizeBytes() const { return sizeBytes_; }

  private:
    int fd_ = -1;
    int openError_ = 0;
    bool blockDevice_ = false;
    uint64_t sizeBytes_ = 0;
    uint32_t logicalSectorSize_ = 0;
};

// Opens device, reads count sectors from startSector into buffer (count * 512 bytes) and
// closes it again. A chunk that fails fails the whole read.
bool ReadSectors(const std::string& device, uint64_t startSector, uint32_t count, uint8_t* buffer);

// Sectors held in memory (tests and the fuzzer). Reads past the end fail.
class MemorySectorSource : public SectorSource {
  public:
    explicit MemorySectorSource(std::vector<uint8_t> bytes, uint32_t logicalSectorSize = 0)
        : bytes_(std::move(bytes)), logicalSectorSize_(logicalSectorSize) {}
    bool ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) override {
        const uint64_t sectors = SectorCount();
        if (sector > sectors || count > sectors - sector) return false;
        if (count > 0)
            std::memcpy(out, bytes_.data() + sector * kSectorSize,
                        static_cast<size_t>(count) * kSectorSize);
        return true;
    }
    uint64_t SectorCount() const override { return bytes_.size() / kSectorSize; }
    uint32_t LogicalSectorSize() const override { return logicalSectorSize_; }

  private:
    std::vector<uint8_t> bytes_;
    uint32_t logicalSectorSize_;
};

}  // namespace kestrel
