#pragma once
// Process-wide settings. They live as string values in one INI file, KsPST.ini in
// ConfigFolder(), under the section [KsPST]; every read goes back to the file, so a
// value changed by another process is seen at the next read.
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace kestrel {

// Caption of every message box of the wizard and title of the first screen.
inline constexpr std::string_view kMessageCaption = "Kestrel for Microsoft Outlook";
// Name of the settings file's section (and of the file, KsPST.ini).
inline constexpr std::string_view kSettingsKeyName = "KsPST";

// The value names the program reads.
inline constexpr std::string_view kFilePathValue = "FilePath";
inline constexpr std::string_view kLogPathValue = "LogPath";
inline constexpr std::string_view kLanguageFileValue = "LngFile";
inline constexpr std::string_view kReportFileValue = "RPTFile";
inline constexpr std::string_view kActivityLogValue = "Activity Log";
inline constexpr std::string_view kRecoveryLogValue = "Recovery Log";

// A longer value reads as empty, as a value that does not fit the reader's buffer did.
inline constexpr std::size_t kMaxSettingLength = 259;

// "N": there is no Windows 9x family here, so raw disks are always read the NT way.
constexpr char PlatformFamily() {
    return 'N';
}

// ConfigFolder() / "KsPST.ini".
std::filesystem::path SettingsFile();

// The value's text; empty when the file or the value is missing, or when the value
// is longer than kMaxSettingLength characters. Value names match ignoring case.
std::string ReadSetting(std::string_view valueName);

// Stores text under valueName, creating the folder and the file when missing. The file
// is rewritten whole and renamed into place, so a reader never sees half of it; other
// lines (comments, other sections) are kept. False when the name cannot be a value
// name (empty, '=', line breaks, surrounding blanks) or the file cannot be written.
bool WriteSetting(std::string_view valueName, std::string_view text);

// The data folder: filePathSetting when it is not empty, else installedData when that
// folder exists, else buildResources.
std::filesystem::path ChooseInstallFolder(std::string_view filePathSetting,
                                          const std::filesystem::path& installedData,
                                          const std::filesystem::path& buildResources);
// ChooseInstallFolder with the "FilePath" setting, <prefix>/share/kestrel and the
// source tree's resources/.
std::filesystem::path InstallFolder();

// One of "EnglishA.dat", "FrenchA.dat", "DutchA.dat", "GermanA.dat" when the setting
// names it ignoring case (returned as stored); "EnglishA.dat" otherwise.
std::string ChooseLanguageFile(std::string_view lngFileSetting);
// ChooseLanguageFile of the "LngFile" setting.
std::string LanguageFile();
// installFolder / languageFile. A name stored in another case than the file's own
// would miss the file on a case-sensitive file system, so when no file of that exact
// name exists the known name's own spelling is used.
std::filesystem::path LanguageFilePath(const std::filesystem::path& installFolder,
                                       std::string_view languageFile);

// The translated text of number from languageFile (UTF-8 lines "number=text", the text
// taken as written up to the line's end, blanks included); false when the file or the
// number is not there, and the caller then uses its English text.
bool LookupUiText(int number, std::string& text, const std::filesystem::path& languageFile);

}  // namespace kestrel
