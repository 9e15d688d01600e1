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

// Every *.pst and *.ost (offline store) of the corpus, sorted; empty when the folder is absent.
inline std::vector<std::filesystem::path> CorpusFiles() {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(CorpusDir(), ec)) {
        const auto ext = entry.path().extension();
        if (ext == ".pst" || ext == ".ost") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace kestrel::test

// Skips the current test with a clear message when the corpus is not there.
#define KESTREL_REQUIRE_CORPUS()                                                          \
    do {                                                                                  \
        if (::kestrel::test::CorpusFiles().empty())                                       \
            GTEST_SKIP() << "no PST corpus at " << ::kestrel::test::CorpusDir().string(); \
    } while (0)
