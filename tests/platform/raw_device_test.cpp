// Sector reads from image files, the disk table and the carve target check, on folders
// and sysfs trees made by the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "platform/disk_table.h"
#include "platform/raw_device.h"
#include "platform/scratch_home.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

class RawDeviceTest : public test::ScratchHome {
  protected:
    void Put(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text << "\n";
    }
    fs::path root() const { return root_; }
};

TEST_F(RawDeviceTest, ChunkedReadsAreWholeOrFail) {
    // 101 sectors, each byte naming its sector.
    std::vector<uint8_t> bytes(101 * kSectorSize);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / kSectorSize);
    const fs::path image = root() / "disk.img";
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));

    std::vector<uint8_t> out(100 * kSectorSize);
    ASSERT_TRUE(ReadSectors(image.string(), 1, 100, out.data()));  // two chunks and 20 sectors
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + kSectorSize));

    RawDevice raw;
    ASSERT_TRUE(raw.Open(image.string()));
    EXPECT_FALSE(raw.IsBlockDevice());
    EXPECT_EQ(raw.SectorCount(), 101u);
    EXPECT_EQ(raw.LogicalSectorSize(), 0u);
    // The last chunk runs past the end: the read fails as a whole.
    EXPECT_FALSE(raw.ReadSectors(2, 100, out.data()));
    // Sector numbers whose byte offset would wrap fail instead of reading sector 0.
    EXPECT_FALSE(raw.ReadSectors(UINT64_MAX / kSectorSize + 1, 1, out.data()));
    EXPECT_FALSE(raw.ReadSectors(UINT64_MAX, 1, out.data()));
    std::string reason;
    EXPECT_FALSE(raw.Open((root() / "missing.img").string(), &reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_FALSE(raw.NeedsRootRights());  // a missing file is not a matter of rights
}

TEST_F(RawDeviceTest, DiskTableListsWholeDisksOnly) {
    const fs::path block = root() / "block";
    Put(block / "sda" / "size", "1000215216");
    Put(block / "sda" / "device" / "model", "Samsung SSD 860  ");
    Put(block / "nvme0n1" / "size", "2000");
    Put(block / "mmcblk0" / "size", "8");
    Put(block / "mmcblk0" / "removable", "1");
    for (const char* other : {"loop0", "ram0", "zram0", "mmcblk0boot0", "sr0", "dm-0"})
        Put(block / other / "size", "8");
    Put(block / "sdb1" / "partition", "1");  // never here in practice; still left out
    const auto disks = ListDisks(block);
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0].name, "mmcblk0");
    EXPECT_TRUE(disks[0].removable);
    EXPECT_FALSE(disks[2].removable);
    EXPECT_EQ(disks[1].device, "/dev/nvme0n1");
    EXPECT_EQ(disks[1].sizeBytes, 2000u * 512);
    EXPECT_EQ(disks[2].model, "Samsung SSD 860");
    EXPECT_EQ(disks[2].sizeBytes, 1000215216ull * 512);
}

TEST_F(RawDeviceTest, CarveTargetOnAnImagesLoopDeviceIsRefused) {
    const fs::path image = root() / "disk.img";
    std::ofstream(image) << "x";
    const fs::path out = root() / "out";
    fs::create_directories(out);
    struct stat outStat {};
    ASSERT_EQ(::stat(out.c_str(), &outStat), 0);
    const std::string outDev =
        std::to_string(major(outStat.st_dev)) + ":" + std::to_string(minor(outStat.st_dev));

    // A loop device backed by another file, whose partition holds the folder: fine.
    const fs::path sys = root() / "sys";
    const fs::path other = root() / "other.img";
    std::ofstream(other) << "y";
    Put(sys / "block" / "loop3" / "loop" / "backing_file", other.string());
    Put(sys / "block" / "loop3" / "dev", "7:3");
    Put(sys / "block" / "loop3" / "loop3p1" / "partition", "1");
    Put(sys / "block" / "loop3" / "loop3p1" / "dev", outDev);
    std::string why;
    EXPECT_FALSE(DirOnSource(out, image, &why, sys));

    // The same loop device backed by the image: the folder is on the image's file system.
    Put(sys / "block" / "loop3" / "loop" / "backing_file", image.string());
    EXPECT_TRUE(DirOnSource(out, image, &why, sys));
    EXPECT_NE(why.find(out.string()), std::string::npos);
}

TEST_F(RawDeviceTest, CarveTargetOnAPartitionOfTheDiskIsRefused) {
    const fs::path disk = "/dev/loop0";  // any block device will do: sysfs is the test's own
    struct stat diskStat {};
    if (::stat(disk.c_str(), &diskStat) != 0 || !S_ISBLK(diskStat.st_mode))
        GTEST_SKIP() << "no block device " << disk;
    const fs::path out = root() / "out";
    fs::create_directories(out);
    struct stat outStat {};
    ASSERT_EQ(::stat(out.c_str(), &outStat), 0);
    const fs::path node =
        root() / "sys" / "dev" / "block" /
        (std::to_string(major(diskStat.st_rdev)) + ":" + std::to_string(minor(diskStat.st_rdev)));
    Put(node / "dev", "7:0");
    Put(node / "loop0p1" / "partition", "1");
    Put(node / "loop0p1" / "dev", "259:7");
    EXPECT_FALSE(DirOnSource(out, disk, nullptr, root() / "sys"));
    Put(node / "loop0p2" / "partition", "2");
    Put(node / "loop0p2" / "dev",
        std::to_string(major(outStat.st_dev)) + ":" + std::to_string(minor(outStat.st_dev)));
    EXPECT_TRUE(DirOnSource(out, disk, nullptr, root() / "sys"));
}

}  // namespace
}  // namespace kestrel
