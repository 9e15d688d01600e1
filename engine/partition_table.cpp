#include "engine/partition_table.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "storage/byte_reader.h"

namespace kestrel {

namespace {

using Sector = std::array<uint8_t, kSectorSize>;

constexpr size_t kTableOffset = 446;
constexpr size_t kEntrySize = 16;
constexpr uint8_t kTypeProtective = 0xEE;

// 0x85 is the extended partition Linux tools write; its chain is the same.
bool IsExtended(uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

struct MbrEntry {
    uint8_t type = 0;
    uint32_t start = 0;
    uint32_t size = 0;
};

MbrEntry EntryAt(const Sector& sector, size_t index) {
    const ByteReader reader(sector.data(), sector.size());
    const size_t at = kTableOffset + index * kEntrySize;
    return {reader.U8(at + 4).value_or(0), reader.U32(at + 8).value_or(0),
            reader.U32(at + 12).value_or(0)};
}

// By type byte alone, for a partition without a marker.
std::string FileSystemByType(uint8_t type, bool logical) {
    switch (type) {
        case 0x07:
            return "NTFS";
        case 0x04:
        case 0x06:
        case 0x0E:
            return "FAT16";
        case 0x0B:
        case 0x0C:
            return "FAT32";
        case 0x01:
            // A logical partition of type 1 counts as FAT16; a primary one does not.
            return logical ? "FAT16" : "";
        default:
            return "";
    }
}

std::string GuidText(ByteReader entry) {
    const uint32_t a = entry.U32(0).value_or(0);
    const uint16_t b = entry.U16(4).value_or(0);
    const uint16_t c = entry.U16(6).value_or(0);
    std::string text = fmt::format("{:08X}-{:04X}-{:04X}-", a, b, c);
    for (size_t i = 8; i < 16; ++i) {
        if (i == 10) text += '-';
        text += fmt::format("{:02X}", entry.U8(i).value_or(0));
    }
    return text;
}

struct GptHeader {
    uint64_t alternateLba = 0;
    uint64_t entriesLba = 0;
    uint32_t entryCount = 0;
    uint32_t entrySize = 0;
    uint32_t arrayCrc = 0;
};

class PartitionWalk {
  public:
    PartitionWalk(SectorSource& source, DiskPartitionTable& table)
        : source_(source), table_(table), deviceSectors_(source.SectorCount()) {
        if (source.LogicalSectorSize() == 4096) unit_ = 8;
    }

    void Run() {
        Sector mbr{};
        if (!Read(0, mbr)) {
            table_.problems.push_back("sector 0 could not be read");
            return;
        }
        table_.sectorZeroRead = true;
        // Either signature byte will do.
        if (mbr[510] != 0x55 && mbr[511] != 0xAA) {
            table_.problems.push_back("sector 0 holds no partition table (no boot signature)");
            return;
        }
        std::array<MbrEntry, 4> entries;
        for (size_t i = 0; i < entries.size(); ++i) entries[i] = EntryAt(mbr, i);
        const bool protective = std::any_of(entries.begin(), entries.end(), [](const MbrEntry& e) {
            return e.type == kTypeProtective;
        });
        if (protective) {
            if (WalkGpt()) return;
            table_.problems.push_back("no usable GPT: the partitions are listed from the MBR");
        }
        table_.scheme = PartitionScheme::Mbr;
        table_.sectorSize = unit_ * kSectorSize;
        std::optional<uint32_t> extendedBase;
        for (size_t i = 0; i < entries.size(); ++i) {
            const MbrEntry& entry = entries[i];
            if (entry.type == 0) continue;
            if (IsExtended(entry.type)) {
                if (!extendedBase) {
                    extendedBase = entry.start;
                } else {
                    table_.problems.push_back(fmt::format(
                        "MBR entry {}: a second extended partition, not walked", i + 1));
                }
                continue;
            }
            if (entry.size == 0) {
                table_.problems.push_back(fmt::format("MBR entry {}: no sectors", i + 1));
                continue;
            }
            const uint64_t start = uint64_t{entry.start} * unit_;
            const uint64_t end = (uint64_t{entry.start} + entry.size) * unit_;
            Add(start, end, Classify(start, FileSystemByType(entry.type, false)),
                fmt::format("0x{:02X}", entry.type), false);
        }
        if (extendedBase) WalkExtended(*extendedBase);
    }

  private:
    bool Read(uint64_t sector, Sector& out) {
        out.fill(0);
        return source_.ReadSectors(sector, 1, out.data());
    }

    // The marker of the partition starting at start (512-byte sectors), else byType; a
    // sector that could not be read is not classified by its contents.
    std::string Classify(uint64_t start, const std::string& byType) {
        Sector boot{};
        if (!Read(start, boot)) return byType.empty() ? "Unknown" : byType;
        Sector super{};
        const bool haveSuper = start <= UINT64_MAX - 2 && Read(start + 2, super);
        std::string marker = FileSystemMarker(boot.data(), haveSuper ? super.data() : nullptr);
        if (!marker.empty()) return marker;
        return byType.empty() ? "Unknown" : byType;
    }

    void Add(uint64_t start, uint64_t end, const std::string& fileSystem, std::string type,
             bool logical) {
        PartitionRecord record;
        record.number = static_cast<uint32_t>(table_.records.size() + 1);
        record.position = record.number - 1;
        record.start = start;
        record.end = end;
        record.fileSystem = fileSystem;
        record.type = std::move(type);
        record.logical = logical;
        if (deviceSectors_ > 0 && end > deviceSectors_) {
            record.clipped = true;
            record.end = std::max(start, deviceSectors_);
            table_.problems.push_back(fmt::format(
                "partition {} reaches past the end of the device (sector {}, device {} sectors)",
                record.number, end, deviceSectors_));
        }
        record.label = PartitionLabel(record.number, fileSystem);
        table_.fileSystems.push_back(fileSystem);
        table_.records.push_back(std::move(record));
        table_.count = static_cast<uint32_t>(table_.records.size());
    }

    // The chain of extended boot records: each holds one logical partition and the link to
    // the next record, relative to the extended partition's start.
    void WalkExtended(uint32_t base) {
        std::set<uint64_t> visited;
        uint64_t offset = 0;
        uint32_t logicals = 0;
        for (uint32_t walked = 0;; ++walked) {
            if (walked == kMaxExtendedRecords) {
                table_.problems.push_back(fmt::format(
                    "the extended partition chain has more than {} records: the rest is not walked",
                    kMaxExtendedRecords));
                return;
            }
            const uint64_t here = base + offset;
            if (!visited.insert(here).second) {
                table_.problems.push_back(fmt::format(
                    "the extended partition chain loops back to sector {}", here * unit_));
                return;
            }
            Sector record{};
            if (!Read(here * unit_, record)) {
                table_.problems.push_back(fmt::format(
                    "the extended boot record at sector {} could not be read", here * unit_));
                return;
            }
            std::optional<uint32_t> next;
            for (size_t i = 0; i < 2; ++i) {
                const MbrEntry entry = EntryAt(record, i);
                if (entry.type == 0) continue;
                if (IsExtended(entry.type)) {
                    if (!next) next = entry.start;
                    continue;
                }
                if (logicals == kMaxLogicalPartitions) {
                    table_.problems.push_back(
                        fmt::format("more than {} logical partitions: the rest is not listed",
                                    kMaxLogicalPartitions));
                    return;
                }
                if (entry.size == 0) {
                    table_.problems.push_back(fmt::format(
                        "the extended boot record at sector {} lists a partition without sectors",
                        here * unit_));
                    continue;
                }
                const uint64_t start = (here + entry.start) * unit_;
                const uint64_t end = (here + entry.start + entry.size) * unit_;
                Add(start, end, Classify(start, FileSystemByType(entry.type, true)),
                    fmt::format("0x{:02X}", entry.type), true);
                ++logicals;
            }
            if (!next) return;
            offset = *next;
        }
    }

    // Logical blocks of the GPT in this walk's unit.
    uint64_t Lbas() const { return deviceSectors_ / unit_; }

    bool ReadLba(uint64_t lba, std::vector<uint8_t>& out) {
        out.assign(size_t{unit_} * kSectorSize, 0);
        if (lba >= Lbas()) return false;
        return source_.ReadSectors(lba * unit_, unit_, out.data());
    }

    bool SignatureAt(uint64_t sector512) {
        Sector s{};
        return Read(sector512, s) && std::memcmp(s.data(), "EFI PART", 8) == 0;
    }

    // An image does not say its sector size (nor is a device's odd one trusted): the header shows
    // it (at byte 512 or 4096, or the backup in the last sector of either size).
    void ChooseGptUnit() {
        const uint32_t logical = source_.LogicalSectorSize();
        if (logical == 512 || logical == 4096) return;
        if (SignatureAt(1)) {
            unit_ = 1;
        } else if (SignatureAt(8)) {
            unit_ = 8;
        } else if (deviceSectors_ > 0 && SignatureAt(deviceSectors_ - 1)) {
            unit_ = 1;
        } else if (deviceSectors_ >= 8 && SignatureAt((deviceSectors_ / 8 - 1) * 8)) {
            unit_ = 8;
        }
    }

    std::optional<GptHeader> LoadHeader(uint64_t lba, const char* which) {
        std::vector<uint8_t> bytes;
        auto fail = [&](const char* why) -> std::optional<GptHeader> {
            table_.problems.push_back(
                fmt::format("the {} GPT header (LBA {}) {}", which, lba, why));
            return std::nullopt;
        };
        if (!ReadLba(lba, bytes)) return fail("could not be read");
        const ByteReader reader(bytes);
        if (std::memcmp(bytes.data(), "EFI PART", 8) != 0) return fail("is missing");
        const uint32_t headerSize = reader.U32(12).value_or(0);
        if (headerSize < 92 || headerSize > bytes.size()) return fail("has a bad size");
        const uint32_t stored = reader.U32(16).value_or(0);
        std::memset(bytes.data() + 16, 0, 4);
        if (crc32(0, bytes.data(), headerSize) != stored) return fail("fails its checksum");
        if (reader.U64(24).value_or(0) != lba) return fail("names another LBA as its own");
        GptHeader header;
        header.alternateLba = reader.U64(32).value_or(0);
        header.entriesLba = reader.U64(72).value_or(0);
        header.entryCount = reader.U32(80).value_or(0);
        header.entrySize = reader.U32(84).value_or(0);
        header.arrayCrc = reader.U32(88).value_or(0);
        if (header.entrySize < kMinGptEntrySize || header.entrySize > kMaxGptEntrySize ||
            header.entrySize % 8 != 0)
            return fail("has a bad entry size");
        if (uint64_t{header.entryCount} * header.entrySize > kMaxGptArrayBytes)
            return fail("has a partition array over 1 MiB");
        return header;
    }

    // The partition array of header, checked against its checksum.
    std::optional<std::vector<uint8_t>> LoadArray(const GptHeader& header, const char* which) {
        const uint64_t bytes = uint64_t{header.entryCount} * header.entrySize;
        const uint64_t sectors = (bytes + kSectorSize - 1) / kSectorSize;
        std::vector<uint8_t> array(sectors * kSectorSize, 0);
        const bool inside =
            header.entriesLba < Lbas() && header.entriesLba * unit_ + sectors <= deviceSectors_;
        if (!inside || !source_.ReadSectors(header.entriesLba * unit_,
                                            static_cast<uint32_t>(sectors), array.data())) {
            table_.problems.push_back(
                fmt::format("the {} GPT partition array could not be read", which));
            return std::nullopt;
        }
        if (crc32(0, array.data(), static_cast<uInt>(bytes)) != header.arrayCrc) {
            table_.problems.push_back(
                fmt::format("the {} GPT partition array fails its checksum", which));
            return std::nullopt;
        }
        array.resize(bytes);
        return array;
    }

    bool WalkGpt() {
        ChooseGptUnit();
        if (Lbas() < 2) return false;
        std::optional<GptHeader> header = LoadHeader(1, "primary");
        std::optional<std::vector<uint8_t>> array;
        if (header) array = LoadArray(*header, "primary");
        if (!array) {
            // The backup sits in the last LBA; a primary header that checked out names it too.
            std::vector<uint64_t> places = {Lbas() - 1};
            if (header && header->alternateLba != Lbas() - 1 && header->alternateLba > 1)
                places.push_back(header->alternateLba);
            for (uint64_t lba : places) {
                header = LoadHeader(lba, "backup");
                if (header) array = LoadArray(*header, "backup");
                if (array) break;
            }
            if (!array) return false;
            table_.problems.push_back("the backup GPT header was used");
        }
        table_.scheme = PartitionScheme::Gpt;
        table_.sectorSize = unit_ * kSectorSize;
        const ByteReader reader(*array);
        for (uint32_t i = 0; i < header->entryCount; ++i) {
            const ByteReader entry = reader.Sub(size_t{i} * header->entrySize, header->entrySize);
            const auto type = entry.span().subspan(0, 16);
            if (std::all_of(type.begin(), type.end(), [](uint8_t b) { return b == 0; })) continue;
            const uint64_t first = entry.U64(32).value_or(0);
            const uint64_t last = entry.U64(40).value_or(0);
            if (first > last || last >= UINT64_MAX / unit_ - 1) {
                table_.problems.push_back(
                    fmt::format("GPT entry {}: bad sectors {} to {}", i + 1, first, last));
                continue;
            }
            const uint64_t start = first * unit_;
            Add(start, (last + 1) * unit_, Classify(start, ""), GuidText(entry), false);
        }
        return true;
    }

    SectorSource& source_;
    DiskPartitionTable& table_;
    uint64_t deviceSectors_;
    uint32_t unit_ = 1;  // 512-byte sectors per logical sector of the tables
};

}  // namespace

std::string PartitionLabel(uint32_t number, const std::string& fileSystem) {
    return fmt::format("Partition - {} ( {} )", number, fileSystem);
}

std::string FileSystemMarker(const uint8_t* boot, const uint8_t* super) {
    if (std::memcmp(boot + 82, "FAT32", 5) == 0) return "FAT32";
    if (std::memcmp(boot + 54, "FAT16", 5) == 0) return "FAT16";
    if (std::memcmp(boot + 3, "NTFS", 4) == 0) return "NTFS";
    if (std::memcmp(boot + 3, "EXFAT   ", 8) == 0) return "exFAT";
    // The ext superblock starts at byte 1024, its magic 0xEF53 at 56 into it.
    if (super && super[56] == 0x53 && super[57] == 0xEF) return "ext4";
    return {};
}

DiskPartitionTable ReadPartitionTable(SectorSource& source) {
    DiskPartitionTable table;
    PartitionWalk(source, table).Run();
    return table;
}

}  // namespace kestrel
