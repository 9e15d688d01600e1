// Opening the source file and reading its header.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "load_image.h"
#include "storage/cfile64.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

fs::path TempFile(const std::string& tag, const std::vector<uint8_t>& bytes) {
    fs::path path =
        fs::temp_directory_path() / ("kestrel-" + tag + "-" + std::to_string(::getpid()));
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(CFile64, OpensOnlyRegularFilesAndDevicesAndCreatesNothing) {
    const fs::path missing = fs::temp_directory_path() / "kestrel-no-such-file.pst";
    CFile64 file;
    std::string error;
    EXPECT_FALSE(file.Open(missing.string(), &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(missing));

    EXPECT_FALSE(file.Open(fs::temp_directory_path().string(), &error));
    EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;
    EXPECT_FALSE(file.Open("/dev/null", &error));  // a character device
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_FALSE(file.IsOpen());

    PstContext context;
    EXPECT_EQ(OpenPstFile(context, missing.string(), &error), -1);
}

TEST(CFile64, ReadsStopAtTheEndOfTheFile) {
    const test::ScratchPath scratch{TempFile("read", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9})};
    const fs::path& path = scratch.path;
    CFile64 file;
    ASSERT_TRUE(file.Open(path.string()));
    EXPECT_EQ(file.GetLength(), 10u);
    uint8_t buffer[16] = {};
    EXPECT_EQ(file.ReadAt(8, buffer, sizeof buffer), 2u);
    EXPECT_EQ(buffer[1], 9);
    EXPECT_EQ(file.ReadAt(10, buffer, 4), 0u);
    EXPECT_EQ(file.ReadAt(UINT64_MAX - 2, buffer, 4), 0u);
    file.Seek(3);
    EXPECT_EQ(file.Read(buffer, 2), 2u);
    EXPECT_EQ(file.GetPosition(), 5u);

    // No buffer sized by a count the file cannot back.
    PstContext context;
    ASSERT_EQ(OpenPstFile(context, path.string()), 0);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(ReadAt(context, 4, size_t{1} << 40, bytes), 6u);
    EXPECT_EQ(bytes.size(), 6u);
    EXPECT_EQ(ReadAt(context, 1000, 16, bytes), 0u);
}

TEST(CFile64, ReadingLeavesTheAccessTimeAlone) {
    const test::ScratchPath scratch{TempFile("atime", std::vector<uint8_t>(64, 7))};
    // An access time long past: a mount with relatime updates it on the next read.
    const struct timespec times[2] = {{946684800, 0}, {946684800, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, scratch.path.c_str(), times, 0), 0);
    CFile64 file;
    ASSERT_TRUE(file.Open(scratch.path.string()));
    uint8_t buffer[64];
    EXPECT_EQ(file.ReadAt(0, buffer, sizeof buffer), 64u);
    file.Close();
    struct stat info {};
    ASSERT_EQ(::stat(scratch.path.c_str(), &info), 0);
    EXPECT_EQ(info.st_atim.tv_sec, 946684800);
}

// A bare header: wVer, the root offsets and bCryptMethod where the layout keeps them.
std::vector<uint8_t> Header(uint16_t version, uint64_t nodeRoot, uint64_t blockRoot,
                            uint8_t crypt) {
    std::vector<uint8_t> h(564, 0);
    auto put = [&](size_t at, uint64_t value, size_t width) {
        for (size_t i = 0; i < width; ++i) h[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(10, version, 2);
    const bool unicode = version == 23;
    put(unicode ? 224 : 188, nodeRoot, unicode ? 8 : 4);
    put(unicode ? 240 : 196, blockRoot, unicode ? 8 : 4);
    h[unicode ? 513 : 461] = crypt;
    return h;
}

TEST(PstHeader, VersionPicksTheLayoutAndTheCryptByteTheEncoding) {
    struct Case {
        uint16_t version;
        uint8_t crypt;
        PstVariant variant;
        uint32_t cryptMethod;
    };
    for (const Case& c :
         {Case{14, 0, PstVariant::Ansi, 0}, Case{15, 2, PstVariant::Ansi, 2},
          Case{23, 1, PstVariant::Unicode, 1}, Case{23, 0x40, PstVariant::Unicode, 1},
          Case{19, 0, PstVariant::Unknown, 1}}) {
        PstContext context;
        OpenPstImage(context, Header(c.version, 0x90000000, 0xFFFFFE00, c.crypt));
        EXPECT_EQ(context.variant, c.variant) << c.version;
        EXPECT_EQ(context.cryptMethod, c.cryptMethod) << c.version;
        if (c.variant == PstVariant::Ansi) {
            EXPECT_EQ(context.nodeRootOffset, 0x90000000u);
        }
        if (c.variant == PstVariant::Unknown) {
            EXPECT_EQ(LoadIndexes(context), 2);
        }
    }
    PstContext unicode;
    OpenPstImage(unicode, Header(23, uint64_t{0x123} << 32, uint64_t{0x456} << 32, 1));
    EXPECT_EQ(unicode.nodeRootOffset, uint64_t{0x123} << 32);
    EXPECT_EQ(unicode.blockRootOffset, uint64_t{0x456} << 32);
    EXPECT_EQ(LoadIndexes(unicode), 2);  // roots far past the end: unreadable, no error

    PstContext empty;
    OpenPstImage(empty, {});
    EXPECT_EQ(empty.version, 0u);
    EXPECT_EQ(empty.variant, PstVariant::Unknown);
}

TEST(PstHeader, DamagedMagicAndChecksumDoNotStopTheLoad) {
    test::PstBuilder pst(PstVariant::Unicode);
    test::AddStore(pst);
    pst.Patch(0, {'X', 'X', 'X', 'X', 0, 0, 0, 0});  // dwMagic and dwCRCPartial
    auto loaded = test::LoadImage(pst);
    EXPECT_EQ(loaded.result, 0);
    EXPECT_NE(FindNode(*loaded, 0x21), nullptr);
}

}  // namespace
}  // namespace kestrel
