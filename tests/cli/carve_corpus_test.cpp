// kestrel-cli carve on a real PST hidden in a sparse image among random bytes: it comes
// back byte for byte and reads as the original does.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>

#include "cli_runner.h"
#include "support/disk_image_builder.h"
#include "support/test_paths.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

nlohmann::json AnalyzeWithoutFile(const fs::path& file, const fs::path& scratch) {
    const auto run = test::RunProgram(KESTREL_CLI_PATH,
                                      {"analyze", file.string(), "--json", "--quiet"}, scratch);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    auto doc = nlohmann::json::parse(run.out, nullptr, false);
    if (doc.is_object()) doc.erase("file");
    return doc;
}

TEST(CarveCorpus, PstInAnImageComesBackWhole) {
    KESTREL_REQUIRE_CORPUS();
    test::ScratchDir scratch;
    // The largest PST of the corpus.
    fs::path source;
    for (const auto& file : test::CorpusFiles()) {
        if (file.extension() == ".pst" &&
            (source.empty() || fs::file_size(file) > fs::file_size(source)))
            source = file;
    }
    const std::string text = test::ReadWhole(source);
    const uint64_t sector = 20001;  // odd, past the random bytes' start
    std::mt19937 random(15);
    std::vector<uint8_t> noise(4 << 20);
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    const uint64_t placed = sector * 512;
    const test::ImagePatches patches = {{placed - noise.size() / 2, noise},
                                        {placed, std::vector<uint8_t>(text.begin(), text.end())},
                                        {placed + text.size(), noise}};
    const fs::path image = scratch.path() / "disk.img";
    ASSERT_TRUE(test::WriteSparseImage(image, 256ull << 20, patches));

    const fs::path out = scratch.path() / "carved";
    auto run = test::RunProgram(
        KESTREL_CLI_PATH, {"carve", image.string(), "--out", out.string(), "--json", "--quiet"},
        scratch.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto doc = nlohmann::json::parse(run.out);
    ASSERT_EQ(doc["files"].size(), 1u) << run.out;
    EXPECT_EQ(doc["files"][0]["sector"], sector);
    EXPECT_EQ(doc["files"][0]["truncated"], false);
    const fs::path carved = out / ("carved-" + std::to_string(sector) + ".pst");
    EXPECT_TRUE(test::ReadWhole(carved) == text) << "carved bytes differ";
    EXPECT_EQ(AnalyzeWithoutFile(carved, scratch.path()),
              AnalyzeWithoutFile(source, scratch.path()));

    // A range that ends inside the file: cut there and flagged.
    const uint64_t end = sector + 100;
    run = test::RunProgram(
        KESTREL_CLI_PATH,
        {"carve", image.string(), "--out", (scratch.path() / "cut").string(), "--start",
         std::to_string(sector - 8), "--end", std::to_string(end), "--json", "--quiet"},
        scratch.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    doc = nlohmann::json::parse(run.out);
    ASSERT_EQ(doc["files"].size(), 1u);
    EXPECT_EQ(doc["files"][0]["truncated"], true);
    EXPECT_EQ(doc["files"][0]["size"], 100 * 512);
    EXPECT_EQ(doc["files"][0]["declaredSize"], text.size());
}

}  // namespace
}  // namespace kestrel
