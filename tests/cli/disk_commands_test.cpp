// kestrel-cli partitions and carve on images made by the test: the JSON, exit codes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli_runner.h"
#include "support/disk_image_builder.h"

namespace kestrel {
namespace {

TEST(DiskCommands, PartitionsJson) {
    test::ScratchDir scratch;
    auto mbr = test::TableSector();
    test::SetMbrEntry(mbr, 0, 0x0C, 64, 100);
    test::SetMbrEntry(mbr, 1, 0x05, 200, 100);
    test::SetMbrEntry(mbr, 2, 0x83, 1000, 2000);  // past the end
    auto ebr = test::TableSector();
    test::SetMbrEntry(ebr, 0, 0x07, 8, 50);
    const auto image = scratch.path() / "disk.img";
    ASSERT_TRUE(test::WriteSparseImage(image, 1024 * 512, {{0, mbr}, {200 * 512, ebr}}));
    auto run = test::RunProgram(KESTREL_CLI_PATH, {"partitions", image.string(), "--json"},
                                scratch.path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "{\"device\":\"" + image.string() +
                  "\",\"sectorSize\":512,\"partitions\":["
                  "{\"number\":1,\"label\":\"Partition - 1 ( FAT32 )\",\"fileSystem\":\"FAT32\","
                  "\"type\":\"0x0C\",\"start\":64,\"end\":164,\"clipped\":false},"
                  "{\"number\":2,\"label\":\"Partition - 2 ( Unknown )\",\"fileSystem\":"
                  "\"Unknown\",\"type\":\"0x83\",\"start\":1000,\"end\":1024,\"clipped\":true},"
                  "{\"number\":3,\"label\":\"Partition - 3 ( NTFS )\",\"fileSystem\":\"NTFS\","
                  "\"type\":\"0x07\",\"start\":208,\"end\":258,\"clipped\":false}]}\n");
    EXPECT_NE(run.err.find("past the end"), std::string::npos);

    run = test::RunProgram(KESTREL_CLI_PATH, {"partitions", (scratch.path() / "none").string()},
                           scratch.path());
    EXPECT_EQ(run.exitCode, 1);
    // An empty image: sector 0 cannot be read.
    ASSERT_TRUE(test::WriteSparseImage(image, 0, {}));
    run = test::RunProgram(KESTREL_CLI_PATH, {"partitions", image.string()}, scratch.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("sector 0 could not be read"), std::string::npos);
}

TEST(DiskCommands, CarveRefusesBadRanges) {
    test::ScratchDir scratch;
    const auto image = scratch.path() / "disk.img";
    ASSERT_TRUE(test::WriteSparseImage(image, 100 * 512, {}));
    const auto out = (scratch.path() / "out").string();
    auto run = test::RunProgram(
        KESTREL_CLI_PATH, {"carve", image.string(), "--out", out, "--start", "50", "--end", "50"},
        scratch.path());
    EXPECT_EQ(run.exitCode, 2);
    run =
        test::RunProgram(KESTREL_CLI_PATH,
                         {"carve", image.string(), "--out", out, "--start", "100"}, scratch.path());
    EXPECT_EQ(run.exitCode, 1);
    run = test::RunProgram(KESTREL_CLI_PATH,
                           {"carve", image.string(), "--out", out, "--end", "1000", "--json"},
                           scratch.path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto doc = nlohmann::json::parse(run.out);
    EXPECT_EQ(doc["end"], 100);
    EXPECT_TRUE(doc["files"].empty());
}

}  // namespace
}  // namespace kestrel
