// The partition walk on tables written by hand, by sgdisk and mkfs.vfat, and on sparse
// images over 2 TiB.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_runner.h"
#include "engine/partition_table.h"
#include "support/disk_image_builder.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::ImagePatches;

constexpr uint64_t kMiB = 1024 * 1024;

// A memory disk of sectors 512-byte sectors with the patches applied.
DiskPartitionTable Walk(const ImagePatches& patches, uint64_t sectors) {
    std::vector<uint8_t> image(sectors * kSectorSize, 0);
    test::Apply(image, patches);
    image.resize(sectors * kSectorSize);
    MemorySectorSource source(std::move(image));
    return ReadPartitionTable(source);
}

test::ImagePatch At(uint64_t sector, std::vector<uint8_t> bytes) {
    return {sector * 512, std::move(bytes)};
}

std::vector<std::string> Labels(const DiskPartitionTable& table) {
    std::vector<std::string> labels;
    for (const auto& r : table.records) labels.push_back(r.label);
    return labels;
}

std::string Program(const char* name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"}) {
        if (fs::exists(std::string(dir) + name)) return std::string(dir) + name;
    }
    return {};
}

TEST(PartitionTable, MbrPrimariesAndExtendedChain) {
    auto mbr = test::TableSector();
    mbr[511] = 0;                               // 0x55 alone is enough
    test::SetMbrEntry(mbr, 0, 0x0B, 100, 100);  // FAT32 by marker
    test::SetMbrEntry(mbr, 1, 0x83, 200, 50);   // says NTFS at 3 whatever its type
    test::SetMbrEntry(mbr, 2, 0x05, 1000, 900);
    test::SetMbrEntry(mbr, 3, 0x01, 300, 10);  // primary type 1 without a marker: not FAT16
    auto ebr1 = test::TableSector();
    test::SetMbrEntry(ebr1, 0, 0x01, 10, 40);  // logical type 1: FAT16
    test::SetMbrEntry(ebr1, 1, 0x05, 100, 200);
    auto ebr2 = test::TableSector();
    test::SetMbrEntry(ebr2, 0, 0x07, 20, 30);  // NTFS by type
    test::SetMbrEntry(ebr2, 1, 0x0F, 300, 200);
    auto ebr3 = test::TableSector();
    test::SetMbrEntry(ebr3, 0, 0x0C, 2, 20);  // FAT16 marker beats its FAT32 type
    const ImagePatches patches = {At(0, mbr),
                                  At(100, test::BootSectorOf("FAT32")),
                                  At(200, test::BootSectorOf("NTFS")),
                                  At(1000, ebr1),
                                  At(1100, ebr2),
                                  At(1300, ebr3),
                                  At(1302, test::BootSectorOf("FAT16"))};
    const auto table = Walk(patches, 2048);
    EXPECT_EQ(table.scheme, PartitionScheme::Mbr);
    EXPECT_EQ(Labels(table),
              (std::vector<std::string>{"Partition - 1 ( FAT32 )", "Partition - 2 ( NTFS )",
                                        "Partition - 3 ( Unknown )", "Partition - 4 ( FAT16 )",
                                        "Partition - 5 ( NTFS )", "Partition - 6 ( FAT16 )"}));
    ASSERT_EQ(table.count, 6u);
    const std::vector<std::pair<uint64_t, uint64_t>> ranges = {
        {100, 200}, {200, 250}, {300, 310}, {1010, 1050}, {1120, 1150}, {1302, 1322}};
    for (size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_EQ(table.records[i].start, ranges[i].first) << i;
        EXPECT_EQ(table.records[i].end, ranges[i].second) << i;
        EXPECT_EQ(table.records[i].position, i);
        EXPECT_FALSE(table.records[i].clipped);
    }
    EXPECT_EQ(table.records[2].type, "0x01");
    EXPECT_TRUE(table.records[3].logical);
    EXPECT_EQ(table.fileSystems[5], "FAT16");
    EXPECT_TRUE(table.problems.empty());

    // Linux's extended type 0x85 leads to the same chain.
    test::SetMbrEntry(mbr, 2, 0x85, 1000, 900);
    ImagePatches linux = patches;
    linux[0] = At(0, mbr);
    EXPECT_EQ(Labels(Walk(linux, 2048)), Labels(table));
}

TEST(PartitionTable, NoSignatureNoTable) {
    auto mbr = test::TableSector();
    mbr[510] = mbr[511] = 0;
    test::SetMbrEntry(mbr, 0, 0x07, 10, 10);
    const auto table = Walk({At(0, mbr)}, 64);
    EXPECT_TRUE(table.sectorZeroRead);
    EXPECT_TRUE(table.records.empty());
    EXPECT_FALSE(Walk({}, 0).sectorZeroRead);
}

TEST(PartitionTable, ExtendedChainEndsAtLoopsAndLimits) {
    // Three records, the last linking back to the first.
    auto mbr = test::TableSector();
    test::SetMbrEntry(mbr, 0, 0x0F, 100, 1000);
    ImagePatches patches = {At(0, mbr)};
    for (uint32_t i = 0; i < 3; ++i) {
        auto ebr = test::TableSector();
        test::SetMbrEntry(ebr, 0, 0x07, 1, 5);
        test::SetMbrEntry(ebr, 1, 0x05, i == 2 ? 0 : (i + 1) * 10, 10);
        patches.push_back(At(100 + i * 10, ebr));
    }
    auto table = Walk(patches, 2048);
    EXPECT_EQ(table.count, 3u);
    ASSERT_EQ(table.problems.size(), 1u);
    EXPECT_NE(table.problems[0].find("loops"), std::string::npos);

    // 30 logical partitions: all listed, numbered past the old 22-name table.
    patches = {At(0, mbr)};
    for (uint32_t i = 0; i < 30; ++i) {
        auto ebr = test::TableSector();
        test::SetMbrEntry(ebr, 0, 0x06, 1, 5);
        if (i < 29) test::SetMbrEntry(ebr, 1, 0x05, (i + 1) * 10, 10);
        patches.push_back(At(100 + i * 10, ebr));
    }
    table = Walk(patches, 2048);
    ASSERT_EQ(table.count, 30u);
    EXPECT_EQ(table.records[29].label, "Partition - 30 ( FAT16 )");
    EXPECT_EQ(table.records[29].start, 100u + 290 + 1);
    EXPECT_EQ(table.fileSystems.size(), 30u);
    EXPECT_TRUE(table.problems.empty());

    // A chain longer than the limit stops there.
    mbr = test::TableSector();
    test::SetMbrEntry(mbr, 0, 0x05, 100, 4000);
    patches = {At(0, mbr)};
    for (uint32_t i = 0; i < 200; ++i) {
        auto ebr = test::TableSector();
        test::SetMbrEntry(ebr, 0, 0x06, 1, 5);
        test::SetMbrEntry(ebr, 1, 0x05, (i + 1) * 10, 10);
        patches.push_back(At(100 + i * 10, ebr));
    }
    table = Walk(patches, 4096);
    EXPECT_EQ(table.count, kMaxLogicalPartitions);
    EXPECT_FALSE(table.problems.empty());
}

TEST(PartitionTable, UnreadSectorsAreNotClassifiedAndPastTheEndIsClipped) {
    auto mbr = test::TableSector();
    test::SetMbrEntry(mbr, 0, 0x83, 10, 20);   // FAT32 marker
    test::SetMbrEntry(mbr, 1, 0x83, 100, 50);  // starts past the end: nothing read
    test::SetMbrEntry(mbr, 2, 0x07, 40, 50);   // runs past the end
    const auto table = Walk({At(0, mbr), At(10, test::BootSectorOf("FAT32"))}, 64);
    ASSERT_EQ(table.count, 3u);
    EXPECT_EQ(table.records[0].fileSystem, "FAT32");
    // The marker of the sector read before must not name the unread one.
    EXPECT_EQ(table.records[1].fileSystem, "Unknown");
    EXPECT_TRUE(table.records[1].clipped);
    EXPECT_EQ(table.records[1].end, 100u);
    EXPECT_EQ(table.records[2].fileSystem, "NTFS");
    EXPECT_TRUE(table.records[2].clipped);
    EXPECT_EQ(table.records[2].end, 64u);
}

TEST(PartitionTable, GptOf4096ByteSectors) {
    const uint64_t lbas = 4096;  // 16 MiB
    std::vector<test::GptPart> parts(3);
    for (auto& p : parts) p.type = test::BasicDataType();
    parts[0].first = 256, parts[0].last = 511;
    parts[1].first = 512, parts[1].last = 1023;
    parts[2].first = 1024, parts[2].last = 2047;
    ImagePatches patches = test::GptPatches(4096, lbas, parts);
    patches.push_back(At(256 * 8, test::BootSectorOf("exFAT")));
    patches.push_back(At(512 * 8 + 2, test::ExtSuperblock()));
    auto table = Walk(patches, lbas * 8);
    EXPECT_EQ(table.scheme, PartitionScheme::Gpt);
    EXPECT_EQ(table.sectorSize, 4096u);
    ASSERT_EQ(table.count, 3u);
    EXPECT_EQ(Labels(table),
              (std::vector<std::string>{"Partition - 1 ( exFAT )", "Partition - 2 ( ext4 )",
                                        "Partition - 3 ( Unknown )"}));
    EXPECT_EQ(table.records[0].start, 2048u);
    EXPECT_EQ(table.records[0].end, 4096u);
    EXPECT_EQ(table.records[2].end, 2048u * 8);
    EXPECT_EQ(table.records[0].type, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");

    // Entries of 64 bytes or an array over 1 MiB: the table is refused, the MBR listed.
    for (auto [count, size] : {std::pair<uint32_t, uint32_t>{128, 64}, {16384, 128}}) {
        table = Walk(test::GptPatches(4096, lbas, parts, count, size), lbas * 8);
        EXPECT_EQ(table.scheme, PartitionScheme::Mbr) << count << " " << size;
        ASSERT_EQ(table.count, 1u);
        EXPECT_EQ(table.records[0].label, "Partition - 1 ( Unknown )");
    }
}

class PartitionImages : public ::testing::Test {
  protected:
    fs::path Image(const char* name) const { return scratch_.path() / name; }
    test::RunResult Run(const std::string& program, const std::vector<std::string>& args) {
        return test::RunProgram(program, args, scratch_.path());
    }
    DiskPartitionTable WalkFile(const fs::path& path) {
        RawDevice device;
        EXPECT_TRUE(device.Open(path.string()));
        return ReadPartitionTable(device);
    }

    test::ScratchDir scratch_;
};

TEST_F(PartitionImages, SgdiskTableWithFat32AndABrokenPrimary) {
    const std::string sgdisk = Program("sgdisk");
    const std::string mkfs = Program("mkfs.vfat");
    if (sgdisk.empty() || mkfs.empty()) GTEST_SKIP() << "sgdisk or mkfs.vfat missing";
    const fs::path image = Image("gpt.img");
    ASSERT_TRUE(test::WriteSparseImage(image, 64 * kMiB, {}));
    ASSERT_EQ(Run(sgdisk, {"-n", "1:2048:+20M", "-t", "1:0700", "-n", "2:0:+10M", "-t", "2:8300",
                           "-n", "3:0:0", image.string()})
                  .exitCode,
              0);
    ASSERT_EQ(Run(mkfs, {"-F", "32", "--offset", "2048", image.string(), "20480"}).exitCode, 0);

    auto table = WalkFile(image);
    EXPECT_EQ(table.scheme, PartitionScheme::Gpt);
    ASSERT_EQ(table.count, 3u);
    EXPECT_EQ(Labels(table),
              (std::vector<std::string>{"Partition - 1 ( FAT32 )", "Partition - 2 ( Unknown )",
                                        "Partition - 3 ( Unknown )"}));
    EXPECT_EQ(table.records[0].start, 2048u);
    EXPECT_EQ(table.records[0].end, 43008u);
    EXPECT_EQ(table.records[1].end, 63488u);
    EXPECT_EQ(table.records[2].end, 131039u);  // sgdisk keeps the backup's 33 sectors free
    EXPECT_TRUE(table.problems.empty());

    // A flipped byte in the primary header: the backup gives the same listing.
    {
        const int fd = ::open(image.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "X", 1, 512 + 40), 1);
        ::close(fd);
    }
    const auto fromBackup = WalkFile(image);
    EXPECT_EQ(Labels(fromBackup), Labels(table));
    EXPECT_EQ(fromBackup.records[2].end, 131039u);
    EXPECT_NE(std::find(fromBackup.problems.begin(), fromBackup.problems.end(),
                        "the backup GPT header was used"),
              fromBackup.problems.end());
}

TEST_F(PartitionImages, SparseImagesOver2TiBKeepExactSectors) {
    const uint64_t size = 3ull << 40;  // 3 TiB, sparse
    const uint64_t sectors = size / 512;
    // MBR: a primary starting past 2^31, a logical past 2^32 (base + link + start).
    auto mbr = test::TableSector();
    test::SetMbrEntry(mbr, 0, 0x07, 0x80000800u, 0x10000000u);
    test::SetMbrEntry(mbr, 1, 0x05, 0xF0000000u, 0x20000000u);
    auto ebr = test::TableSector();
    test::SetMbrEntry(ebr, 0, 0x0C, 0x10000800u, 0x1000u);
    const fs::path mbrImage = Image("mbr.img");
    ASSERT_TRUE(test::WriteSparseImage(
        mbrImage, size,
        {At(0, mbr), At(0xF0000000u, ebr), At(0x100000800ull, test::BootSectorOf("FAT32"))}));
    auto table = WalkFile(mbrImage);
    ASSERT_EQ(table.count, 2u);
    EXPECT_EQ(table.records[0].start, 0x80000800u);
    EXPECT_EQ(table.records[0].end, 0x90000800u);
    EXPECT_EQ(table.records[1].start, 0x100000800ull);
    EXPECT_EQ(table.records[1].end, 0x100001800ull);
    EXPECT_EQ(table.records[1].label, "Partition - 2 ( FAT32 )");

    // GPT: a partition past 2^32 up to the usable end.
    std::vector<test::GptPart> parts(1);
    parts[0].type = test::BasicDataType();
    parts[0].first = 0x100000000ull + 2048;
    parts[0].last = sectors - 34;
    const fs::path gptImage = Image("gpt.img");
    ASSERT_TRUE(test::WriteSparseImage(gptImage, size, test::GptPatches(512, sectors, parts)));
    table = WalkFile(gptImage);
    EXPECT_EQ(table.scheme, PartitionScheme::Gpt);
    ASSERT_EQ(table.count, 1u);
    EXPECT_EQ(table.records[0].start, 0x100000800ull);
    EXPECT_EQ(table.records[0].end, sectors - 33);
    EXPECT_FALSE(table.records[0].clipped);
}

}  // namespace
}  // namespace kestrel
