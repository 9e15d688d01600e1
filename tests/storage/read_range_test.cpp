// Reads bounded by the file's size: the size taken when the file was opened answers for
// ranges inside it, and a file that grew or shrank since still reads what it holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "load_image.h"
#include "storage/pst_context.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, size_t size, bool append = false) {
    std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    for (size_t i = 0; i < size; ++i) out.put(static_cast<char>(i & 0xFF));
}

TEST(ReadRange, AvailableBytesFollowTheFileAsItChanges) {
    const test::ScratchPath scratch{fs::temp_directory_path() /
                                    ("kestrel-range-" + std::to_string(::getpid()))};
    WriteFile(scratch.path, 1000);
    PstContext context;
    ASSERT_EQ(OpenPstFile(context, scratch.path.string()), 0);
    std::vector<uint8_t> buffer;

    EXPECT_EQ(AvailableAt(context, 0, 1000), 1000u);
    EXPECT_EQ(AvailableAt(context, 990, 64), 10u);
    EXPECT_EQ(AvailableAt(context, 1000, 1), 0u);
    EXPECT_EQ(AvailableAt(context, UINT64_MAX - 4, 64), 0u);
    EXPECT_EQ(ReadAt(context, 990, 64, buffer), 10u);
    EXPECT_EQ(buffer.size(), 10u);

    // Grown after opening: the new bytes are there to read.
    WriteFile(scratch.path, 500, true);
    EXPECT_EQ(AvailableAt(context, 990, 64), 64u);
    ASSERT_EQ(ReadAt(context, 1400, 200, buffer), 100u);
    EXPECT_EQ(buffer.front(), static_cast<uint8_t>(400 & 0xFF));

    // Cut short after opening: a read inside the old size gives what is left.
    ASSERT_EQ(::truncate(scratch.path.c_str(), 300), 0);
    EXPECT_EQ(AvailableAt(context, 200, 200), 100u);
    EXPECT_EQ(ReadAt(context, 200, 200, buffer), 100u);
    EXPECT_EQ(buffer.size(), 100u);
    EXPECT_EQ(ReadAt(context, 500, 10, buffer), 0u);
    EXPECT_TRUE(buffer.empty());
}

TEST(ReadRange, MemoryImagesAreBoundedByTheirSize) {
    PstContext context;
    OpenPstImage(context, std::vector<uint8_t>(600, 7));
    std::vector<uint8_t> buffer;
    EXPECT_EQ(AvailableAt(context, 500, 200), 100u);
    EXPECT_EQ(ReadAt(context, 500, 200, buffer), 100u);
    EXPECT_EQ(AvailableAt(context, 600, 1), 0u);
    EXPECT_EQ(AvailableAt(context, 0, 0), 0u);
}

}  // namespace
}  // namespace kestrel
