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
    const auto outputs = scratch.path() / "actual";
    std::filesystem::create_directory(outputs);
    for (const auto& file : test::CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        const test::RunResult run = test::RunProgram(
            KESTREL_CLI_PATH, {"analyze", file.string(), "--json", "--quiet"}, scratch.path());
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const auto doc = nlohmann::json::parse(run.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << "not JSON: " << run.out.substr(0, 200);
        EXPECT_EQ(doc["status"], "completed") << doc["error"];
        EXPECT_TRUE(doc["folders"].is_array());
        std::ofstream(outputs / (file.filename().string() + ".json")) << run.out;
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
}

}  // namespace
}  // namespace kestrel
