#include "platform/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "scratch_home.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

class SettingsTest : public test::ScratchHome {};

TEST_F(SettingsTest, FileLivesInTheOverriddenConfigFolderAndAbsentValuesReadEmpty) {
    SetVariable("XDG_CONFIG_HOME", (root_ / "xdg").string());
    EXPECT_EQ(SettingsFile(), root_ / "config" / "KsPST.ini");
    EXPECT_EQ(ReadSetting("FilePath"), "");
    ASSERT_TRUE(WriteSetting("LogPath", "/var/log/kestrel"));
    EXPECT_FALSE(fs::exists(root_ / "xdg"));
    // Only the settings file remains: the temporary copy was renamed into place.
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "config"), fs::directory_iterator()), 1);
    EXPECT_EQ(ReadSetting("FilePath"), "");
    EXPECT_EQ(ReadSetting(""), "");
}

TEST_F(SettingsTest, OddValuesSurviveTheRoundTrip) {
    const std::vector<std::pair<std::string, std::string>> values = {
        {"Empty", ""},
        {"Blanks", "  leading and trailing  "},
        {"Equals", "a=b=c"},
        {"Backslashes", "C:\\Program Files\\x41\\\\"},
        {"Breaks", "one\ntwo\r\nthree\r"},
        {"Tab", "\tcolumn\t"},
        {"CommentLike", "; not a comment"},
        {"SectionLike", "[Other]"},
        {"Hash", "#hash"},
        {"Utf8", "Dossier \xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC"},
        {"Control", std::string("nul\0del\x7F", 8)},
    };
    for (const auto& [name, value] : values) ASSERT_TRUE(WriteSetting(name, value)) << name;
    // Values read back after every later write, so none hides the ones after it.
    for (const auto& [name, value] : values) EXPECT_EQ(ReadSetting(name), value) << name;
}

TEST_F(SettingsTest, NamesIgnoreCaseAndRewritesReplace) {
    ASSERT_TRUE(WriteSetting("LogPath", "first"));
    ASSERT_TRUE(WriteSetting("logpath", "second"));
    ASSERT_TRUE(WriteSetting("FilePath", "/opt/kestrel"));
    ASSERT_TRUE(WriteSetting("LOGPATH", "third"));
    EXPECT_EQ(ReadSetting("LogPath"), "third");
    EXPECT_EQ(ReadSetting("FilePath"), "/opt/kestrel");
    EXPECT_EQ(ReadBytes(SettingsFile()), "[KsPST]\nLOGPATH=third\nFilePath=/opt/kestrel\n");
}

TEST_F(SettingsTest, ValuesLongerThan259CharactersReadEmpty) {
    ASSERT_TRUE(WriteSetting("Fits", std::string(259, 'x')));
    ASSERT_TRUE(WriteSetting("TooLong", std::string(260, 'x')));
    EXPECT_EQ(ReadSetting("Fits"), std::string(259, 'x'));
    EXPECT_EQ(ReadSetting("TooLong"), "");

    // The limit counts characters, not the bytes of their UTF-8 form.
    std::string e259, e260;
    for (int i = 0; i < 259; ++i) e259 += "\xC3\xA9";
    e260 = e259 + "\xC3\xA9";
    ASSERT_TRUE(WriteSetting("Wide", e259));
    ASSERT_TRUE(WriteSetting("WideTooLong", e260));
    EXPECT_EQ(ReadSetting("Wide"), e259);
    EXPECT_EQ(ReadSetting("WideTooLong"), "");
}

TEST_F(SettingsTest, HandEditedFileReadsAndKeepsItsOtherLines) {
    WriteBytes(SettingsFile(),
               "; written by hand\r\n"
               "LngFile = GermanA.dat \r\n"
               "[Other]\r\n"
               "FilePath=/not/ours\r\n"
               "[ kspst ]\r\n"
               "RPTFile=C:\\report.txt\r\n");
    EXPECT_EQ(ReadSetting("LngFile"), "GermanA.dat");
    EXPECT_EQ(ReadSetting("FilePath"), "");
    EXPECT_EQ(ReadSetting("RPTFile"), "C:\\report.txt");

    ASSERT_TRUE(WriteSetting("FilePath", "/opt/kestrel"));
    ASSERT_TRUE(WriteSetting("LngFile", "DutchA.dat"));
    EXPECT_EQ(ReadSetting("FilePath"), "/opt/kestrel");
    EXPECT_EQ(ReadSetting("LngFile"), "DutchA.dat");
    EXPECT_EQ(ReadSetting("RPTFile"), "C:\\report.txt");
    std::string text = ReadBytes(SettingsFile());
    EXPECT_NE(text.find("; written by hand"), std::string::npos);
    EXPECT_NE(text.find("FilePath=/not/ours"), std::string::npos);
}

TEST_F(SettingsTest, BadNamesAreRefusedWithoutTouchingTheFile) {
    for (std::string name : {"", "a=b", " padded", "two\nlines", "[KsPST]", ";x"}) {
        EXPECT_FALSE(WriteSetting(name, "v")) << name;
    }
    EXPECT_FALSE(fs::exists(SettingsFile()));
}

TEST_F(SettingsTest, InstallFolderChoice) {
    fs::path installed = root_ / "share" / "kestrel";
    fs::path resources = root_ / "resources";
    EXPECT_EQ(ChooseInstallFolder("", installed, resources), resources);
    fs::create_directories(installed);
    EXPECT_EQ(ChooseInstallFolder("", installed, resources), installed);
    // The setting wins even when it names no folder: the user set it.
    EXPECT_EQ(ChooseInstallFolder("/somewhere/else", installed, resources), "/somewhere/else");

    ASSERT_TRUE(WriteSetting("FilePath", (root_ / "data").string()));
    EXPECT_EQ(InstallFolder(), root_ / "data");
}

TEST_F(SettingsTest, LanguageFileChoice) {
    EXPECT_EQ(ChooseLanguageFile("frencha.DAT"), "frencha.DAT");
    EXPECT_EQ(ChooseLanguageFile("GermanA.dat"), "GermanA.dat");
    for (const char* other : {"", "Klingon.dat", "EnglishA.dat.bak", "../DutchA.dat", "DutchA"}) {
        EXPECT_EQ(ChooseLanguageFile(other), "EnglishA.dat") << other;
    }
    EXPECT_EQ(LanguageFile(), "EnglishA.dat");
    ASSERT_TRUE(WriteSetting("LngFile", "DUTCHA.DAT"));
    EXPECT_EQ(LanguageFile(), "DUTCHA.DAT");
}

TEST_F(SettingsTest, LanguageFilePathFindsTheFileWhateverTheStoredCase) {
    fs::path folder = root_ / "data";
    WriteBytes(folder / "FrenchA.dat", "x");
    EXPECT_EQ(LanguageFilePath(folder, "frencha.DAT"), folder / "FrenchA.dat");
    WriteBytes(folder / "dutcha.dat", "x");
    EXPECT_EQ(LanguageFilePath(folder, "dutcha.dat"), folder / "dutcha.dat");
}

TEST_F(SettingsTest, LanguageFileTextsKeepTheirBlanksAndMissingNumbersAreNotFound) {
    const fs::path file = root_ / "data" / "FrenchA.dat";
    WriteBytes(file,
               "\xEF\xBB\xBF"
               "9=S\xC3\xA9lectionner\r\n# 10=comment\n 13 =  D\xC3\xA9"
               "but  \n"
               "14=\n9=second\nno equals sign\n");
    std::string text = "unchanged";
    ASSERT_TRUE(LookupUiText(9, text, file));
    EXPECT_EQ(text, "S\xC3\xA9lectionner");
    ASSERT_TRUE(LookupUiText(13, text, file));
    EXPECT_EQ(text,
              "  D\xC3\xA9"
              "but  ");
    ASSERT_TRUE(LookupUiText(14, text, file));
    EXPECT_EQ(text, "");
    text = "unchanged";
    EXPECT_FALSE(LookupUiText(10, text, file));
    EXPECT_FALSE(LookupUiText(1, text, file));
    EXPECT_FALSE(LookupUiText(9, text, root_ / "data" / "missing.dat"));
    EXPECT_EQ(text, "unchanged");

    // The shipped files carry every text the partition screen asks for; the English one
    // says exactly what the screen would say without it.
    const fs::path shipped = KESTREL_SOURCE_DIR "/resources";
    for (const char* name : {"EnglishA.dat", "FrenchA.dat", "DutchA.dat", "GermanA.dat"}) {
        for (int number = 8; number <= 15; ++number) {
            EXPECT_TRUE(LookupUiText(number, text, shipped / name)) << name << " " << number;
            EXPECT_FALSE(text.empty()) << name << " " << number;
        }
    }
    ASSERT_TRUE(LookupUiText(12, text, shipped / "EnglishA.dat"));
    EXPECT_EQ(text, std::string(53, ' ') + "Partition Details");
    ASSERT_TRUE(LookupUiText(15, text, shipped / "EnglishA.dat"));
    EXPECT_EQ(text, "&Back");
}

}  // namespace
}  // namespace kestrel
