#include "platform/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/app_folders.h"
#include "platform/file_io.h"

#ifndef KESTREL_DATA_DIR
#define KESTREL_DATA_DIR ""
#endif
#ifndef KESTREL_RESOURCES_DIR
#define KESTREL_RESOURCES_DIR "resources"
#endif

namespace kestrel {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 4> kLanguageFiles = {"EnglishA.dat", "FrenchA.dat",
                                                            "DutchA.dat", "GermanA.dat"};

std::string_view Trim(std::string_view s) {
    constexpr std::string_view blanks = " \t\r";
    std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

// UTF-8 characters: every byte that does not continue a sequence starts one.
std::size_t CountCharacters(std::string_view s) {
    std::size_t count = 0;
    for (char c : s) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

bool IsValueName(std::string_view name) {
    if (name.empty() || Trim(name) != name) return false;
    if (name.front() == '[' || name.front() == ';' || name.front() == '#') return false;
    return name.find_first_of("=\n\r") == std::string_view::npos;
}

// Backslash, control bytes and blanks at either end are written as escapes, so any
// text survives the line-based file and hand edits with blanks around '=' still read.
std::string EscapeValue(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool edgeBlank = c == ' ' && (i == 0 || i + 1 == text.size());
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F || edgeBlank) {
            out += fmt::format("\\x{:02X}", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A backslash that starts no known escape stays as it is.
std::string UnescapeValue(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (raw[i] == '\\' && i + 3 < raw.size() && raw[i + 1] == 'x' &&
                   HexDigit(raw[i + 2]) >= 0 && HexDigit(raw[i + 3]) >= 0) {
            out += static_cast<char>(HexDigit(raw[i + 2]) * 16 + HexDigit(raw[i + 3]));
            i += 3;
        } else {
            out += raw[i];
        }
    }
    return out;
}

std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        lines.emplace_back(content, start, end - start);
        start = end + 1;
    }
    return lines;
}

// A value line of our section gives its name and raw text. Section headers switch
// inScope; lines before any header count as ours, as a hand-written file may lack one.
std::optional<std::pair<std::string_view, std::string_view>> ParseLine(std::string_view line,
                                                                       bool& inScope) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') return std::nullopt;
    if (t.front() == '[') {
        std::size_t close = t.find(']');
        std::string_view name = t.substr(1, close == std::string_view::npos ? close : close - 1);
        inScope = EqualsIgnoringCase(Trim(name), kSettingsKeyName);
        return std::nullopt;
    }
    std::size_t eq = t.find('=');
    if (!inScope || eq == std::string_view::npos) return std::nullopt;
    return std::pair{Trim(t.substr(0, eq)), Trim(t.substr(eq + 1))};
}

bool ReadWholeFile(const fs::path& file, std::string& content) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    content = std::move(buffer).str();
    return !in.bad();
}

// Writes a sibling temporary file and renames it over file, keeping file's mode.
bool ReplaceFile(const fs::path& file, const std::string& content) {
    std::string temporary = file.string() + ".XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    struct stat old {};
    if (::stat(file.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
    bool ok = WriteAll(fd, content) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temporary.c_str(), file.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

}  // namespace

fs::path SettingsFile() {
    return ConfigFolder() / (std::string(kSettingsKeyName) + ".ini");
}

std::string ReadSetting(std::string_view valueName) {
    std::string content;
    if (!IsValueName(valueName) || !ReadWholeFile(SettingsFile(), content)) return {};
    bool inScope = true;
    for (const std::string& line : SplitLines(content)) {
        auto entry = ParseLine(line, inScope);
        if (!entry || !EqualsIgnoringCase(entry->first, valueName)) continue;
        std::string value = UnescapeValue(entry->second);
        if (CountCharacters(value) > kMaxSettingLength) return {};
        return value;
    }
    return {};
}

bool WriteSetting(std::string_view valueName, std::string_view text) {
    if (!IsValueName(valueName)) return false;
    // Two writers in one process must not each rewrite the file from the same old copy.
    static std::mutex writeLock;
    std::lock_guard lock(writeLock);

    fs::path file = SettingsFile();
    if (!EnsureFolder(file.parent_path())) return false;
    std::error_code ec;
    if (fs::is_symlink(file, ec)) {
        fs::path target = fs::canonical(file, ec);
        if (!ec) file = target;
    }
    std::string content;
    if (!ReadWholeFile(file, content) && fs::exists(file, ec)) return false;

    std::vector<std::string> lines = SplitLines(content);
    std::string newLine = fmt::format("{}={}", valueName, EscapeValue(text));
    std::optional<std::size_t> lastOfSection;
    bool inScope = true;
    bool replaced = false;
    for (std::size_t i = 0; i < lines.size() && !replaced; ++i) {
        auto entry = ParseLine(lines[i], inScope);
        if (inScope && !Trim(lines[i]).empty()) lastOfSection = i;
        if (entry && EqualsIgnoringCase(entry->first, valueName)) {
            lines[i] = newLine;
            replaced = true;
        }
    }
    if (!replaced && lastOfSection) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*lastOfSection + 1), newLine);
    } else if (!replaced) {
        if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
        lines.push_back(fmt::format("[{}]", kSettingsKeyName));
        lines.push_back(newLine);
    }
    std::string out;
    for (const std::string& line : lines) out += line + '\n';
    return ReplaceFile(file, out);
}

fs::path ChooseInstallFolder(std::string_view filePathSetting, const fs::path& installedData,
                             const fs::path& buildResources) {
    if (!filePathSetting.empty()) return fs::path(filePathSetting);
    std::error_code ec;
    if (!installedData.empty() && fs::is_directory(installedData, ec)) return installedData;
    return buildResources;
}

fs::path InstallFolder() {
    // An installed program finds its data beside it (<prefix>/bin/../share/kestrel), wherever
    // the prefix was moved to; else where the build meant to install it.
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    const fs::path beside = ec ? fs::path() : exe.parent_path().parent_path() / "share" / "kestrel";
    const bool useBeside =
        !beside.empty() && fs::is_directory(beside, ec) && fs::exists(beside / "progress.html", ec);
    return ChooseInstallFolder(ReadSetting(kFilePathValue),
                               useBeside ? beside : fs::path(KESTREL_DATA_DIR),
                               KESTREL_RESOURCES_DIR);
}

std::string ChooseLanguageFile(std::string_view lngFileSetting) {
    for (std::string_view known : kLanguageFiles) {
        if (EqualsIgnoringCase(lngFileSetting, known)) return std::string(lngFileSetting);
    }
    return std::string(kLanguageFiles.front());
}

std::string LanguageFile() {
    return ChooseLanguageFile(ReadSetting(kLanguageFileValue));
}

fs::path LanguageFilePath(const fs::path& installFolder, std::string_view languageFile) {
    fs::path exact = installFolder / languageFile;
    std::error_code ec;
    if (fs::exists(exact, ec)) return exact;
    for (std::string_view known : kLanguageFiles) {
        if (EqualsIgnoringCase(languageFile, known)) return installFolder / known;
    }
    return exact;
}

bool LookupUiText(int number, std::string& text, const fs::path& languageFile) {
    // A language file is a few hundred short lines; anything far larger is not one.
    constexpr std::uintmax_t kMaxLanguageFile = 1u << 20;
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(languageFile, ec);
    if (ec || size > kMaxLanguageFile) return false;
    std::ifstream in(languageFile, std::ios::binary);
    if (!in) return false;
    const std::string wanted = std::to_string(number);
    std::string line;
    for (bool first = true; std::getline(in, line); first = false) {
        if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string_view key(line.data(), equals);
        while (!key.empty() && (key.front() == ' ' || key.front() == '\t')) key.remove_prefix(1);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
        if (key != wanted) continue;
        text = line.substr(equals + 1);
        return true;
    }
    return false;
}

}  // namespace kestrel
