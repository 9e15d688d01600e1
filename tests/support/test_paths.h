#pragma once
// Where the tests find the real PST files that sit beside the project.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrel::test {

// ../shared/corpus from the project root; KESTREL_CORPUS_DIR overrides it.
inline std::filesystem::path CorpusDir() {
    if (const char* dir = std::getenv("KESTREL_CORPUS_DIR")) return dir;
    return std::filesystem::path(KESTREL_SOURCE_DIR) / ".." / "shared" / "corpus";
}

// ../shared/expected: what the peer readers see in each corpus file.
inline std::filesystem::path ExpectedDir() {
    return CorpusDir().parent_path() / "expected";
}

// ../shared/corpus-format36 beside the corpus: offline stores in the 4 KB-page layout, with
// what the peers see in them in its own expected/.
inline std::filesystem::path Format36Dir() {
    return CorpusDir().parent_path() / "corpus-format36";
}

// What the peer readers see in a corpus file: expected/ beside the file when there is one,
// else ExpectedDir().
inline std::filesystem::path ExpectedFileFor(const std::filesystem::path& file) {
    const std::string name = file.filename().string() + ".json";
    const auto beside = file.parent_path() / "expected" / name;
    std::error_code ec;
    return std::filesystem::exists(beside, ec) ? beside : ExpectedDir() / name;
}

// Every *.pst and *.ost (offline store) of the corpus and of the 4 KB-page folder, sorted
// by folder then name; empty when neither folder is there.
inline std::vector<std::filesystem::path> CorpusFiles() {
    std::vector<std::filesystem::path> files;
    for (const auto& dir : {CorpusDir(), Format36Dir()}) {
        std::vector<std::filesystem::path> found;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            const auto ext = entry.path().extension();
            if (ext == ".pst" || ext == ".ost") found.push_back(entry.path());
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

}  // namespace kestrel::test

// Skips the current test with a clear message when the corpus is not there.
#define KESTREL_REQUIRE_CORPUS()                                                          \
    do {                                                                                  \
        if (::kestrel::test::CorpusFiles().empty())                                       \
            GTEST_SKIP() << "no PST corpus at " << ::kestrel::test::CorpusDir().string(); \
    } while (0)
