// The PST search on a temporary tree: what qualifies, the order, sizes and times, a link
// loop, sub-folders off, and a stop from inside a callback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "engine/file_finder.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

class FileFinderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestrel-find-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "sub" / "deeper");
        fs::create_directories(root_ / "x.pst");
        Write(root_ / "Mail.PST", 10 * 1024 - 1);
        Write(root_ / "notes.txt", 10);
        Write(root_ / "sub" / "backup.pst.old", 10 * 1024);
        Write(root_ / "sub" / "deeper" / "big.pst", 1024 * 1024);
        // A loop back to the top, and a link out of the tree: neither is walked.
        fs::create_directory_symlink(root_, root_ / "sub" / "loop");
        fs::create_directory_symlink("/usr", root_ / "sub" / "outside");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    static void Write(const fs::path& file, size_t size) {
        std::ofstream(file, std::ios::binary) << std::string(size, 'x');
    }

    fs::path root_;
};

TEST_F(FileFinderTest, ListsEveryPstNameSubfoldersFirstWithoutFollowingLinks) {
    CFileFinder finder;
    std::vector<std::string> folders;
    finder.SetCallback([&](CFileFinder& f, int code) {
        if (code == CFileFinder::kSearchingFolder) folders.push_back(f.SearchingFolder());
    });
    FileSearchOptions options;
    options.baseFolder = root_.string();
    EXPECT_EQ(finder.FindFiles(options), 4u);
    const std::string top = root_.string() + "/";
    const std::vector<std::string> found = finder.Found();
    ASSERT_EQ(found.size(), 4u);
    // The deepest folder reports first; the top folder's own entries come last.
    EXPECT_EQ(found[0], top + "sub/deeper/big.pst");
    EXPECT_EQ(found[1], top + "sub/backup.pst.old");
    EXPECT_EQ(std::set<std::string>(found.begin() + 2, found.end()),
              (std::set<std::string>{top + "Mail.PST", top + "x.pst/"}));
    EXPECT_EQ(folders.back(), top);
    for (const std::string& folder : folders) EXPECT_EQ(folder.rfind(top, 0), 0u) << folder;

    EXPECT_EQ(SizeText(CPath(top + "Mail.PST").Size()), "10239 B");
    EXPECT_EQ(SizeText(CPath(top + "sub/backup.pst.old").Size()), "10 KB");
    EXPECT_EQ(SizeText(CPath(found[0]).Size()), "1024 KB");
    EXPECT_EQ(CPath(top + "x.pst/").FileName(), "x.pst");
    EXPECT_EQ(CPath(top + "sub/backup.pst.old").Extension(), "old");
    EXPECT_EQ(ModifiedText(0), "01-01-1970 12:00 AM");
    EXPECT_EQ(ModifiedText(1165424880), "06-12-2006 05:08 PM");

    options.subfolders = false;
    finder.ClearFound();
    EXPECT_EQ(finder.FindFiles(options), 2u);
}

TEST_F(FileFinderTest, AStopFromACallbackEndsEveryLevelAndKeepsWhatWasFound) {
    CFileFinder finder;
    int afterStop = 0;
    finder.SetCallback([&](CFileFinder& f, int code) {
        if (f.StopRequested() && code == CFileFinder::kFound) ++afterStop;
        if (code == CFileFinder::kFound) f.RequestStop();
    });
    FileSearchOptions options;
    options.baseFolder = root_.string();
    EXPECT_EQ(finder.FindFiles(options), 1u);
    EXPECT_EQ(afterStop, 0);
    // A new search starts afresh.
    finder.SetCallback({});
    finder.ClearFound();
    finder.ResetStop();
    EXPECT_EQ(finder.FindFiles(options), 4u);
}

TEST(MaskMatches, IgnoresCaseAndAllowsAnythingAroundTheText) {
    EXPECT_TRUE(MaskMatches("*.pst*", "a.PST"));
    EXPECT_TRUE(MaskMatches("*.pst*", "b.pst.old"));
    EXPECT_FALSE(MaskMatches("*.pst*", "pst"));
    EXPECT_FALSE(MaskMatches("*.pst*", "a.ps"));
}

}  // namespace
}  // namespace kestrel
