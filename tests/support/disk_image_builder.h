#pragma once
// Partition tables written by hand for tests and fuzz seeds: MBR and extended boot records,
// and a GPT (protective MBR, both headers, both arrays) for 512- or 4096-byte sectors.
// The pieces are byte patches, applied to bytes in memory or to a (sparse) image file.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrel::test {

struct ImagePatch {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};
using ImagePatches = std::vector<ImagePatch>;

inline void PutLe(std::vector<uint8_t>& out, size_t at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A 512-byte table sector (MBR or EBR) with the boot signature.
inline std::vector<uint8_t> TableSector() {
    std::vector<uint8_t> sector(512, 0);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return sector;
}

inline void SetMbrEntry(std::vector<uint8_t>& sector, size_t index, uint8_t type, uint32_t start,
                        uint32_t size) {
    const size_t at = 446 + index * 16;
    sector[at + 4] = type;
    PutLe(sector, at + 8, start, 4);
    PutLe(sector, at + 12, size, 4);
}

// A partition's first sector with a file-system marker: "FAT32", "FAT16", "NTFS", "exFAT";
// "ext4" needs ExtSuperblock two sectors on.
inline std::vector<uint8_t> BootSectorOf(const std::string& fileSystem) {
    std::vector<uint8_t> sector(512, 0);
    auto put = [&](size_t at, const std::string& text) {
        std::copy(text.begin(), text.end(), sector.begin() + static_cast<std::ptrdiff_t>(at));
    };
    if (fileSystem == "FAT32") put(82, "FAT32   ");
    if (fileSystem == "FAT16") put(54, "FAT16   ");
    if (fileSystem == "NTFS") put(3, "NTFS    ");
    if (fileSystem == "exFAT") put(3, "EXFAT   ");
    return sector;
}

inline std::vector<uint8_t> ExtSuperblock() {
    std::vector<uint8_t> sector(512, 0);
    sector[56] = 0x53;
    sector[57] = 0xEF;
    return sector;
}

struct GptPart {
    std::array<uint8_t, 16> type{};  // all zero: unused
    uint64_t first = 0;
    uint64_t last = 0;
};

// Microsoft basic data, as sgdisk's 0700.
inline std::array<uint8_t, 16> BasicDataType() {
    return {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
            0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
}

// A whole GPT for a disk of totalLbas sectors of sectorSize bytes: protective MBR, the
// primary header at LBA 1 with its array at 2, the backup array and header at the end.
inline ImagePatches GptPatches(uint32_t sectorSize, uint64_t totalLbas,
                               const std::vector<GptPart>& parts, uint32_t entryCount = 128,
                               uint32_t entrySize = 128) {
    ImagePatches patches;
    std::vector<uint8_t> mbr = TableSector();
    const uint64_t protectiveSize = totalLbas - 1 > 0xFFFFFFFFu ? 0xFFFFFFFFu : totalLbas - 1;
    SetMbrEntry(mbr, 0, 0xEE, 1, static_cast<uint32_t>(protectiveSize));
    patches.push_back({0, mbr});

    std::vector<uint8_t> array(size_t{entryCount} * entrySize, 0);
    for (size_t i = 0; i < parts.size() && i < entryCount; ++i) {
        const size_t at = i * entrySize;
        std::copy(parts[i].type.begin(), parts[i].type.end(), array.begin() + at);
        array[at + 16] = static_cast<uint8_t>(i + 1);  // a unique partition GUID
        PutLe(array, at + 32, parts[i].first, 8);
        PutLe(array, at + 40, parts[i].last, 8);
    }
    const uint32_t arrayCrc = crc32(0, array.data(), static_cast<uInt>(array.size()));
    const uint64_t arrayLbas = (array.size() + sectorSize - 1) / sectorSize;

    auto header = [&](uint64_t myLba, uint64_t alternate, uint64_t entriesLba) {
        std::vector<uint8_t> h(sectorSize, 0);
        std::copy_n("EFI PART", 8, h.begin());
        PutLe(h, 8, 0x00010000, 4);
        PutLe(h, 12, 92, 4);
        PutLe(h, 24, myLba, 8);
        PutLe(h, 32, alternate, 8);
        PutLe(h, 40, 2 + arrayLbas, 8);
        PutLe(h, 48, totalLbas - 2 - arrayLbas, 8);
        PutLe(h, 72, entriesLba, 8);
        PutLe(h, 80, entryCount, 4);
        PutLe(h, 84, entrySize, 4);
        PutLe(h, 88, arrayCrc, 4);
        PutLe(h, 16, crc32(0, h.data(), 92), 4);
        return h;
    };
    const uint64_t last = totalLbas - 1;
    patches.push_back({uint64_t{sectorSize}, header(1, last, 2)});
    patches.push_back({2ull * sectorSize, array});
    patches.push_back({(last - arrayLbas) * sectorSize, array});
    patches.push_back({last * sectorSize, header(last, 1, last - arrayLbas)});
    return patches;
}

inline void Apply(std::vector<uint8_t>& image, const ImagePatches& patches) {
    for (const auto& p : patches) {
        if (image.size() < p.offset + p.bytes.size()) image.resize(p.offset + p.bytes.size());
        std::copy(p.bytes.begin(), p.bytes.end(),
                  image.begin() + static_cast<std::ptrdiff_t>(p.offset));
    }
}

// A sparse image file of size bytes with the patches written in; false when it failed.
inline bool WriteSparseImage(const std::filesystem::path& path, uint64_t size,
                             const ImagePatches& patches) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (const auto& p : patches) {
        ok = ok && ::pwrite(fd, p.bytes.data(), p.bytes.size(), static_cast<off_t>(p.offset)) ==
                       static_cast<ssize_t>(p.bytes.size());
    }
    return ::close(fd) == 0 && ok;
}

}  // namespace kestrel::test
