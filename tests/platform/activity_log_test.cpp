#include "platform/activity_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/settings.h"
#include "scratch_home.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

class ActivityLogTest : public test::ScratchHome {
  protected:
    fs::path LogFile() const { return root_ / "logs" / "Activity Log.txt"; }
    void SetUp() override {
        ScratchHome::SetUp();
        fs::create_directories(root_ / "logs");
    }
};

TEST_F(ActivityLogTest, EntriesAreCrLfThenTextWithNoTrailingBreak) {
    for (const char* entry : {"Step1:", "\r\n", "", "Select Source Path:"})
        ASSERT_TRUE(AppendLogEntry(LogFile(), entry));
    // A long entry is written cut on a character boundary.
    ASSERT_TRUE(AppendLogEntry(LogFile(), std::string(298, 'p') + "\xC3\xA9"));
    EXPECT_EQ(ReadBytes(LogFile()),
              "\r\nStep1:\r\n\r\n\r\n\r\nSelect Source Path:\r\n" + std::string(298, 'p'));
}

TEST_F(ActivityLogTest, OnlyALogLargerThan4096BytesIsWiped) {
    WriteBytes(LogFile(), std::string(4096, 'a'));
    ASSERT_TRUE(AppendLogEntry(LogFile(), "grows"));
    EXPECT_EQ(ReadBytes(LogFile()), std::string(4096, 'a') + "\r\ngrows");

    WriteBytes(LogFile(), std::string(4097, 'a'));
    ASSERT_TRUE(AppendLogEntry(LogFile(), "fresh"));
    EXPECT_EQ(ReadBytes(LogFile()), "\r\nfresh");
}

TEST_F(ActivityLogTest, ReadOnlyLogIsStillAppendedToAndNoPlaceIsAFailure) {
    WriteBytes(LogFile(), "\r\nold");
    fs::permissions(LogFile(), fs::perms::owner_read | fs::perms::group_read);
    ASSERT_TRUE(AppendLogEntry(LogFile(), "new"));
    EXPECT_EQ(ReadBytes(LogFile()), "\r\nold\r\nnew");
    EXPECT_FALSE(AppendLogEntry(root_ / "missing" / "Activity Log.txt", "x"));
    EXPECT_FALSE(AppendLogEntry(root_ / "logs", "x"));
}

TEST(CutLogEntryTest, KeepsAtMost299BytesOfWholeCharacters) {
    const std::string e = "\xC3\xA9";              // 2 bytes
    const std::string euro = "\xE2\x82\xAC";       // 3 bytes
    const std::string emoji = "\xF0\x9F\x90\xA6";  // 4 bytes
    struct Case {
        std::string text;
        std::size_t kept;
    };
    const std::vector<Case> cases = {
        {std::string(299, 'a'), 299},
        {std::string(400, 'a'), 299},
        {std::string(297, 'a') + e + "tail", 299},
        {std::string(298, 'a') + e, 298},
        {std::string(296, 'a') + euro + "tail", 299},
        {std::string(297, 'a') + euro, 297},
        {std::string(298, 'a') + euro, 298},
        {std::string(295, 'a') + emoji + "tail", 299},
        {std::string(296, 'a') + emoji, 296},
        {std::string(298, 'a') + emoji, 298},
        {std::string(400, '\x80'), 299},  // not UTF-8 at all: cut as bytes
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CutLogEntry(c.text), std::string_view(c.text).substr(0, c.kept))
            << "length " << c.text.size();
    }
    EXPECT_EQ(CutLogEntry(std::string("before\0after", 12)), "before");
}

TEST_F(ActivityLogTest, FolderComesFromTheKindsSettingElseTheStateFolder) {
    fs::path state = root_ / "state" / "kestrel";
    EXPECT_EQ(LogFilePath(LogKind::Activity), state / "Activity Log.txt");
    EXPECT_EQ(LogFilePath(LogKind::Recovery), state / "Recovery Log.txt");
    ASSERT_TRUE(AppendLogLine(LogKind::Activity, "into state"));
    EXPECT_EQ(ReadBytes(state / "Activity Log.txt"), "\r\ninto state");

    // A trailing slash in the setting gives no doubled separator.
    ASSERT_TRUE(WriteSetting("Activity Log", (root_ / "logs").string() + "/"));
    ASSERT_TRUE(WriteSetting("Recovery Log", (root_ / "missing").string()));
    EXPECT_EQ(LogFilePath(LogKind::Activity).string(), LogFile().string());
    EXPECT_EQ(LogFilePath(LogKind::Recovery), state / "Recovery Log.txt");
    ASSERT_TRUE(AppendLogLine(LogKind::Activity, "into setting"));
    EXPECT_EQ(ReadBytes(LogFile()), "\r\ninto setting");
    // "LogPath" is only the dialog's value; it does not move the log.
    ASSERT_TRUE(WriteSetting("LogPath", (root_ / "state").string()));
    EXPECT_EQ(LogFilePath(LogKind::Activity).string(), LogFile().string());
}

TEST(StartBannerTest, EntriesAndDateForm) {
    std::tm when{};
    when.tm_mday = 6;
    when.tm_mon = 11;
    when.tm_year = 2026 - 1900;
    when.tm_hour = 17;
    when.tm_min = 8;
    const std::vector<std::string> head = {
        "*******************************START LOG FILE *******************************",
        "Kestrel For Microsoft Outlook",
        "Version 2.0",
        "6-12-2026 17-8",
        "\r\n",
        "Step1:",
        "Select Source Path:",
    };
    std::vector<std::string> withExtension = head;
    withExtension.insert(withExtension.end(), {"/HOME/U/MAIL/OUTLOOK.PST", "\r\n",
                                               "Select Destination Path:", "/HOME/U/MAIL/Repair"});
    EXPECT_EQ(StartBannerEntries("/HOME/U/MAIL/OUTLOOK.PST", "/HOME/U/MAIL/Repair", when),
              withExtension);

    std::vector<std::string> withoutExtension = head;
    withoutExtension.push_back("/HOME/U/MAIL/OUTLOOK");
    EXPECT_EQ(StartBannerEntries("/HOME/U/MAIL/OUTLOOK", "ignored", when), withoutExtension);
}

TEST_F(ActivityLogTest, StartBannerGoesToTheActivityLog) {
    ASSERT_TRUE(WriteSetting("Activity Log", (root_ / "logs").string()));
    ASSERT_TRUE(AppendStartBanner("/MAIL/A.PST", "/MAIL/Repair"));
    std::string text = ReadBytes(LogFile());
    EXPECT_EQ(text.rfind("\r\n*******************************START LOG FILE ***", 0), 0u);
    EXPECT_NE(text.find("\r\nStep1:\r\nSelect Source Path:\r\n/MAIL/A.PST\r\n\r\n\r\n"
                        "Select Destination Path:\r\n/MAIL/Repair"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(root_ / "state" / "kestrel" / "Activity Log.txt"));
}

}  // namespace
}  // namespace kestrel
