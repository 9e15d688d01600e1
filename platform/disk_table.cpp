#include "platform/disk_table.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <set>
#include <string_view>

#include <fmt/format.h>

namespace kestrel {

namespace fs = std::filesystem;

namespace {

// Bounds for walking sysfs: it is the kernel's, but nothing here loops on it unbounded.
constexpr size_t kMaxEntries = 4096;
constexpr int kMaxHolderDepth = 4;

// The first line of a small sysfs file, trailing blanks removed; empty when absent.
std::string FirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    if (line.size() > 4096) line.resize(4096);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\r' ||
                             line.back() == '\t'))
        line.pop_back();
    return line;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool IsWholeDiskName(std::string_view name) {
    constexpr std::array<std::string_view, 5> kPrefixes = {"sd", "nvme", "vd", "xvd", "mmcblk"};
    const bool known = std::any_of(kPrefixes.begin(), kPrefixes.end(),
                                   [&](std::string_view p) { return StartsWith(name, p); });
    if (!known) return false;
    // mmcblk0boot0 and mmcblk0rpmb are hardware areas of the card, not disks.
    if (StartsWith(name, "mmcblk") && (name.find("boot") != std::string_view::npos ||
                                       name.find("rpmb") != std::string_view::npos))
        return false;
    return true;
}

// "8:1" from a sysfs dev file as a dev_t; 0 when unreadable.
dev_t ParseDev(const std::string& text) {
    unsigned major = 0, minor = 0;
    if (std::sscanf(text.c_str(), "%u:%u", &major, &minor) != 2) return 0;
    return makedev(major, minor);
}

// The device numbers of the sysfs block device at dir, its partitions and what is mapped
// over them (device mapper, md), a few levels deep.
void CollectDevices(const fs::path& dir, std::set<dev_t>& out, std::set<fs::path>& seen,
                    const fs::path& sysRoot, int depth) {
    std::error_code ec;
    const fs::path canonical = fs::weakly_canonical(dir, ec);
    if (ec || depth > kMaxHolderDepth || !seen.insert(canonical).second) return;
    if (const dev_t dev = ParseDev(FirstLine(dir / "dev")); dev != 0) out.insert(dev);
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (++count > kMaxEntries) break;
        // Partitions are subfolders with a "partition" file.
        if (fs::exists(entry.path() / "partition", ec))
            CollectDevices(entry.path(), out, seen, sysRoot, depth + 1);
    }
    count = 0;
    for (const auto& entry : fs::directory_iterator(dir / "holders", ec)) {
        if (++count > kMaxEntries) break;
        CollectDevices(sysRoot / "class" / "block" / entry.path().filename(), out, seen, sysRoot,
                       depth + 1);
    }
}

}  // namespace

std::vector<DiskEntry> ListDisks(const fs::path& sysBlock) {
    std::vector<DiskEntry> disks;
    std::error_code ec;
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(sysBlock, ec)) {
        if (++count > kMaxEntries) break;
        const std::string name = entry.path().filename().string();
        if (!IsWholeDiskName(name)) continue;
        // A partition listed here (it should not be) has a "partition" file.
        if (fs::exists(entry.path() / "partition", ec)) continue;
        DiskEntry disk;
        disk.name = name;
        disk.device = "/dev/" + name;
        // The size file counts 512-byte units whatever the disk's own sector size.
        const std::string size = FirstLine(entry.path() / "size");
        unsigned long long units = 0;
        if (std::sscanf(size.c_str(), "%llu", &units) == 1 && units <= UINT64_MAX / 512)
            disk.sizeBytes = units * 512;
        disk.model = FirstLine(entry.path() / "device" / "model");
        disk.removable = FirstLine(entry.path() / "removable") == "1";
        disks.push_back(std::move(disk));
    }
    std::sort(disks.begin(), disks.end(),
              [](const DiskEntry& a, const DiskEntry& b) { return a.name < b.name; });
    return disks;
}

bool DirOnSource(const fs::path& dir, const fs::path& source, std::string* why,
                 const fs::path& sysRoot) {
    struct stat dirStat {};
    struct stat sourceStat {};
    if (::stat(dir.c_str(), &dirStat) != 0 || ::stat(source.c_str(), &sourceStat) != 0)
        return false;
    std::set<dev_t> devices;
    std::set<fs::path> seen;
    std::error_code ec;
    // Loop devices whose backing file passes backedBy, with their partitions.
    auto addLoops = [&](const auto& backedBy) {
        size_t count = 0;
        for (const auto& entry : fs::directory_iterator(sysRoot / "block", ec)) {
            if (++count > kMaxEntries) break;
            if (!StartsWith(entry.path().filename().string(), "loop")) continue;
            const std::string backing = FirstLine(entry.path() / "loop" / "backing_file");
            struct stat backingStat {};
            if (backing.empty() || ::stat(backing.c_str(), &backingStat) != 0) continue;
            if (backedBy(backingStat)) CollectDevices(entry.path(), devices, seen, sysRoot, 0);
        }
    };
    if (S_ISBLK(sourceStat.st_mode)) {
        const fs::path node =
            sysRoot / "dev" / "block" /
            fmt::format("{}:{}", major(sourceStat.st_rdev), minor(sourceStat.st_rdev));
        devices.insert(sourceStat.st_rdev);
        CollectDevices(node, devices, seen, sysRoot, 0);
        // An image file kept on the disk and mounted through a loop device is on it too.
        const std::set<dev_t> disk = devices;
        addLoops([&](const struct stat& backing) { return disk.count(backing.st_dev) > 0; });
    } else {
        addLoops([&](const struct stat& backing) {
            return backing.st_dev == sourceStat.st_dev && backing.st_ino == sourceStat.st_ino;
        });
    }
    if (!devices.count(dirStat.st_dev)) return false;
    if (why)
        *why = fmt::format("{} is on a file system of the disk being carved (device {}:{})",
                           dir.string(), major(dirStat.st_dev), minor(dirStat.st_dev));
    return true;
}

}  // namespace kestrel
