// The partition walk on any bytes taken as a disk image (MBR, extended chain, GPT), read
// as an image and as a disk of 4096-byte sectors: records stay inside the disk, numbered
// in order, the extended chain bounded.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/partition_table.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (uint32_t logical : {0u, 4096u}) {
        MemorySectorSource source(std::vector<uint8_t>(data, data + size), logical);
        const DiskPartitionTable table = ReadPartitionTable(source);
        const uint64_t sectors = source.SectorCount();
        if (table.count != table.records.size() || table.fileSystems.size() != table.count)
            __builtin_trap();
        if (table.sectorSize != 512 && table.sectorSize != 4096) __builtin_trap();
        uint32_t logicals = 0;
        for (size_t i = 0; i < table.records.size(); ++i) {
            const PartitionRecord& r = table.records[i];
            if (r.number != i + 1 || r.position != i) __builtin_trap();
            if (r.start > r.end) __builtin_trap();
            if (r.end > sectors && r.start < sectors) __builtin_trap();
            if (r.clipped && r.end != sectors && r.end != r.start) __builtin_trap();
            if (r.label != PartitionLabel(r.number, r.fileSystem)) __builtin_trap();
            if (r.fileSystem != table.fileSystems[i]) __builtin_trap();
            logicals += r.logical;
        }
        if (logicals > kMaxLogicalPartitions) __builtin_trap();
        // Four primaries and the chain, or the GPT's array at most.
        if (table.count > 4 + kMaxLogicalPartitions + kMaxGptArrayBytes / kMinGptEntrySize)
            __builtin_trap();
    }
    return 0;
}
