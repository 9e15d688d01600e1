#pragma once
// The whole disks the system shows in /sys/block, and where the disk of a device or of an
// image is mounted (so nothing carved from it is written back onto it).
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrel {

struct DiskEntry {
    std::string name;    // "sda", "nvme0n1"
    std::string device;  // "/dev/sda"
    uint64_t sizeBytes = 0;
    std::string model;       // empty when the system gives none
    bool removable = false;  // the system marks the medium removable (card readers, sticks)
};

// Whole disks (sd, nvme, vd, xvd, mmcblk) in name order; partitions, ram, zram and loop
// devices are left out. sysBlock is /sys/block but for tests.
std::vector<DiskEntry> ListDisks(const std::filesystem::path& sysBlock = "/sys/block");

// True when dir lives on the disk that source is or holds: for a block device, dir on it,
// one of its partitions or a mapping over them; for an image file, dir on a loop device
// backed by it (or one of that loop device's partitions). *why names the device then.
// sysRoot is /sys but for tests.
bool DirOnSource(const std::filesystem::path& dir, const std::filesystem::path& source,
                 std::string* why, const std::filesystem::path& sysRoot = "/sys");

}  // namespace kestrel
