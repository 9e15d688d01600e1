// kestrel-cli search as a user runs it: the JSON in found order, sub-folders off, a link
// loop that ends, and a folder that is not there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli_runner.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

TEST(SearchCommand, JsonListsTheTreeInFoundOrder) {
    test::ScratchDir scratch;
    const fs::path root = scratch.path() / "tree";
    fs::create_directories(root / "sub");
    fs::create_directories(root / "x.pst");
    std::ofstream(root / "Mail.PST") << std::string(10 * 1024 - 1, 'x');
    std::ofstream(root / "sub" / "backup.pst.old") << std::string(10 * 1024, 'x');
    fs::create_directory_symlink(root, root / "sub" / "loop");

    test::RunResult run =
        test::RunProgram(KESTREL_CLI_PATH, {"search", root.string(), "--json"}, scratch.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto out = nlohmann::json::parse(run.out);
    EXPECT_EQ(out["folder"], root.string());
    ASSERT_EQ(out["files"].size(), 3u);
    EXPECT_EQ(out["files"][0]["name"], "backup.pst.old");
    EXPECT_EQ(out["files"][0]["path"], (root / "sub" / "backup.pst.old").string());
    EXPECT_EQ(out["files"][0]["size"], 10240);
    for (const auto& file : out["files"]) {
        if (file["name"] == "x.pst") {
            EXPECT_EQ(file["path"], (root / "x.pst").string() + "/");
        }
        EXPECT_EQ(file["modified"].get<std::string>().size(), 19u);
    }

    run = test::RunProgram(KESTREL_CLI_PATH, {"search", root.string(), "--no-subdirs", "--json"},
                           scratch.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)["files"].size(), 2u);

    run = test::RunProgram(KESTREL_CLI_PATH, {"search", root.string()}, scratch.path());
    EXPECT_NE(run.out.find("10239 B"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("3 items found"), std::string::npos) << run.out;

    run =
        test::RunProgram(KESTREL_CLI_PATH, {"search", (root / "missing").string()}, scratch.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(test::RunProgram(KESTREL_CLI_PATH, {"search"}, scratch.path()).exitCode, 2);
}

}  // namespace
}  // namespace kestrel
