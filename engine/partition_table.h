#pragma once
// The partition walk of a disk or image: the MBR with its extended chain, or a GPT (with
// its backup header), each partition named by the file system its first sectors show.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/raw_device.h"

namespace kestrel {

struct PartitionRecord {
    uint32_t number = 0;     // from 1, in listing order
    uint64_t start = 0;      // absolute, in 512-byte sectors
    uint64_t end = 0;        // one past the last sector
    uint32_t position = 0;   // number - 1
    std::string fileSystem;  // "FAT32", "FAT16", "NTFS", "exFAT", "ext4" or "Unknown"
    std::string type;        // MBR type byte "0x07", or the GPT type GUID
    std::string label;       // "Partition - 1 ( NTFS )"
    bool logical = false;    // from the extended chain
    bool clipped = false;    // reached past the device end and was cut there
};

enum class PartitionScheme { None, Mbr, Gpt };

struct DiskPartitionTable {
    uint32_t count = 0;
    std::vector<std::string> fileSystems;  // entry k for record k + 1
    std::vector<PartitionRecord> records;
    PartitionScheme scheme = PartitionScheme::None;
    uint32_t sectorSize = 512;          // the logical sector size the table is written in
    bool sectorZeroRead = false;        // false: the disk could not be read at all
    std::vector<std::string> problems;  // what did not check out, in the order met
};

// Limits of the extended chain: boot records walked and logical partitions listed.
constexpr uint32_t kMaxExtendedRecords = 128;
constexpr uint32_t kMaxLogicalPartitions = 128;
// GPT entries: 128 to 4096 bytes each, the array at most 1 MiB.
constexpr uint32_t kMinGptEntrySize = 128;
constexpr uint32_t kMaxGptEntrySize = 4096;
constexpr uint32_t kMaxGptArrayBytes = 1u << 20;

// Walks the tables of source. Reads only; every table value is checked before use.
DiskPartitionTable ReadPartitionTable(SectorSource& source);

// "Partition - n ( FS )".
std::string PartitionLabel(uint32_t number, const std::string& fileSystem);

// The file system the first sectors of a partition show: "FAT32" at 82, "FAT16" at 54,
// "NTFS" and "EXFAT   " at 3, the ext magic at 1080; empty without a marker. boot is the
// first 512-byte sector, super the third (may be null).
std::string FileSystemMarker(const uint8_t* boot, const uint8_t* super);

}  // namespace kestrel
