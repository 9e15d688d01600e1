// kestrel-cli analyze on the real files: every run completes, and what the peer readers
// recover is found in the same folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "cli_runner.h"
#include "support/test_paths.h"

namespace kestrel {
namespace {

TEST(AnalyzeCorpus, EveryFileCompletesAndKeepsWhatThePeersFind) {
    KESTREL_REQUIRE_CORPUS();
    test::ScratchDir scratch;
    // One folder of outputs per folder of files: each is compared with its own expected/.
    const auto outputs = scratch.path() / "actual";
    const auto format36Outputs = scratch.path() / "actual-format36";
    std::filesystem::create_directory(outputs);
    std::filesystem::create_directory(format36Outputs);
    for (const auto& file : test::CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        const test::RunResult run = test::RunProgram(
            KESTREL_CLI_PATH, {"analyze", file.string(), "--json", "--quiet"}, scratch.path());
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const auto doc = nlohmann::json::parse(run.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << "not JSON: " << run.out.substr(0, 200);
        EXPECT_EQ(doc["status"], "completed") << doc["error"];
        EXPECT_TRUE(doc["folders"].is_array());
        const bool format36 = file.parent_path() == test::Format36Dir();
        std::ofstream((format36 ? format36Outputs : outputs) / (file.filename().string() + ".json"))
            << run.out;
    }

    const auto compare = test::CorpusDir().parent_path() / "tools" / "compare.py";
    const std::string python = KESTREL_PYTHON;
    if (python.empty() || !std::filesystem::exists(compare) ||
        !std::filesystem::exists(test::ExpectedDir())) {
        GTEST_SKIP() << "no python3, compare.py or peer results: folder recall not checked";
    }
    // Every folder the peers list must be there, with at least 99% of their messages.
    const test::RunResult check = test::RunProgram(
        python,
        {compare.string(), test::ExpectedDir().string(), outputs.string(), "--min-recall", "0.99"},
        scratch.path());
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    const auto format36Expected = test::Format36Dir() / "expected";
    if (std::filesystem::exists(format36Expected)) {
        const test::RunResult format36 =
            test::RunProgram(python,
                             {compare.string(), format36Expected.string(), format36Outputs.string(),
                              "--min-recall", "0.99"},
                             scratch.path());
        EXPECT_EQ(format36.exitCode, 0) << format36.out << format36.err;
    }
}

}  // namespace
}  // namespace kestrel
