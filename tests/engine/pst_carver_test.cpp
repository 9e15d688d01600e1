// Carving PST headers out of sectors held in memory: sizes from the header, the range end,
// existing files, unreadable sectors.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "cli/cli_runner.h"
#include "engine/pst_carver.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

// A Unicode (version 23 or 36) or Ansi (14, 15) header with ibFileEof.
void PutHeader(uint8_t* at, uint16_t version, uint64_t eof, char kind = 'M') {
    std::copy_n("!BDN", 4, at);
    at[8] = 'S';
    at[9] = static_cast<uint8_t>(kind);
    at[10] = static_cast<uint8_t>(version);
    at[11] = 0;
    const bool unicode = version == 23 || version == 36;
    const size_t field = unicode ? 184 : 168;
    for (size_t i = 0; i < (unicode ? 8u : 4u); ++i)
        at[field + i] = static_cast<uint8_t>(eof >> (8 * i));
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
    const std::string text = test::ReadWhole(path);
    return {text.begin(), text.end()};
}

// Sectors in memory of which [badFrom, badTo) cannot be read.
class PartlyReadable : public MemorySectorSource {
  public:
    PartlyReadable(std::vector<uint8_t> bytes, uint64_t badFrom, uint64_t badTo)
        : MemorySectorSource(std::move(bytes)), badFrom_(badFrom), badTo_(badTo) {}
    bool ReadSectors(uint64_t sector, uint32_t count, uint8_t* out) override {
        if (sector < badTo_ && sector + count > badFrom_) return false;
        return MemorySectorSource::ReadSectors(sector, count, out);
    }

  private:
    uint64_t badFrom_, badTo_;
};

TEST(PstCarver, HeaderMatch) {
    std::vector<uint8_t> sector(512, 0);
    PutHeader(sector.data(), 23, 0x123456789ull);
    auto match = MatchPstHeader(sector.data());
    ASSERT_TRUE(match);
    EXPECT_EQ(match->fileEof, 0x123456789ull);
    EXPECT_FALSE(match->ost);
    PutHeader(sector.data(), 14, 70000, 'O');
    match = MatchPstHeader(sector.data());
    ASSERT_TRUE(match);
    EXPECT_TRUE(match->ost);
    EXPECT_EQ(match->fileEof, 70000u);
    PutHeader(sector.data(), 36, 0x100000000ull, 'O');  // 4 KB-page OST: Unicode offset
    match = MatchPstHeader(sector.data());
    ASSERT_TRUE(match);
    EXPECT_EQ(match->version, 36);
    EXPECT_EQ(match->fileEof, 0x100000000ull);
    PutHeader(sector.data(), 16, 70000);
    EXPECT_FALSE(MatchPstHeader(sector.data()));
    PutHeader(sector.data(), 23, 70000, 'X');
    EXPECT_FALSE(MatchPstHeader(sector.data()));
}

TEST(PstCarver, CarvesByHeaderSizeAndCutsAtTheRangeEnd) {
    test::ScratchDir scratch;
    auto image = RandomBytes(400 * 512, 7);
    const uint64_t eof = 150 * 512 + 100;
    PutHeader(image.data() + 37 * 512, 23, eof);
    PutHeader(image.data() + 300 * 512, 15, 10);  // no usable size
    const std::vector<uint8_t> original(image.begin() + 37 * 512, image.begin() + 37 * 512 + eof);
    MemorySectorSource source(image);

    const fs::path whole = scratch.path() / "whole";
    fs::create_directory(whole);
    auto report = CarvePstFiles(source, 0, UINT64_MAX, whole);
    EXPECT_EQ(report.end, 400u);
    ASSERT_EQ(report.files.size(), 1u);
    EXPECT_EQ(report.files[0].path, whole / "carved-37.pst");
    EXPECT_FALSE(report.files[0].truncated);
    EXPECT_EQ(ReadFile(report.files[0].path), original);
    EXPECT_EQ(report.problems.size(), 1u);

    // The range ends 50 sectors in: the file stops there, flagged.
    const fs::path cut = scratch.path() / "cut";
    fs::create_directory(cut);
    report = CarvePstFiles(source, 30, 87, cut);
    ASSERT_EQ(report.files.size(), 1u);
    EXPECT_TRUE(report.files[0].truncated);
    EXPECT_EQ(report.files[0].size, 50u * 512);
    EXPECT_EQ(report.files[0].declaredSize, eof);
    const auto cutBytes = ReadFile(report.files[0].path);
    EXPECT_TRUE(std::equal(cutBytes.begin(), cutBytes.end(), original.begin()));

    // Again into the same folder: the existing file stays as it was.
    report = CarvePstFiles(source, 0, 400, cut);
    EXPECT_TRUE(report.files.empty());
    EXPECT_EQ(report.existing, 1u);
    EXPECT_EQ(ReadFile(cut / "carved-37.pst"), cutBytes);

    // Stopped before it begins: nothing written.
    const std::atomic<bool> stop{true};
    const fs::path stopped = scratch.path() / "stopped";
    fs::create_directory(stopped);
    report = CarvePstFiles(source, 0, 400, stopped, {}, &stop);
    EXPECT_TRUE(report.stopped);
    EXPECT_TRUE(fs::is_empty(stopped));
}

TEST(PstCarver, UnreadableSectorsBecomeZerosAndHideNoHeaders) {
    test::ScratchDir scratch;
    auto image = RandomBytes(300 * 512, 9);
    PutHeader(image.data() + 3 * 512, 23, 100 * 512);
    PutHeader(image.data() + 250 * 512, 23, 10 * 512);
    PutHeader(image.data() + 201 * 512, 23, 10 * 512);  // inside the unreadable chunk
    PartlyReadable source(image, 60, 240);
    const auto report = CarvePstFiles(source, 0, 300, scratch.path());
    // Whole chunks of 40 fail: sectors 40 to 239.
    EXPECT_EQ(report.unreadableSectors, 240u - 40);
    ASSERT_EQ(report.files.size(), 2u);
    EXPECT_EQ(report.files[0].sector, 3u);
    EXPECT_EQ(report.files[1].sector, 250u);
    EXPECT_GT(report.files[0].unreadableSectors, 0u);
    const auto bytes = ReadFile(report.files[0].path);
    ASSERT_EQ(bytes.size(), 100u * 512);
    // The copy reads its own chunks from sector 3: the first one, 3 to 42, is whole.
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 40 * 512, image.begin() + 3 * 512));
    EXPECT_EQ(report.files[0].unreadableSectors, 60u);
    EXPECT_TRUE(
        std::all_of(bytes.begin() + 40 * 512, bytes.end(), [](uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace kestrel
