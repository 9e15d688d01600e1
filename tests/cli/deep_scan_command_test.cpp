// kestrel-cli info and analyze with the deep scan: the scan object and the exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "cli_runner.h"
#include "engine/analysis.h"
#include "support/layouts.h"
#include "support/mailbox_builder.h"

namespace kestrel {
namespace {

using nlohmann::json;
using test::MailboxBuilder;

class DeepScanProgram : public test::LayoutTest {
  protected:
    test::RunResult Cli(const std::vector<std::string>& args) {
        return test::RunProgram(KESTREL_CLI_PATH, args, scratch_.path());
    }

    // A mailbox with one message; zeroRoots: both header root offsets zeroed.
    std::string Write(bool zeroRoots, bool keepNothing = false) {
        MailboxBuilder box(GetParam());
        box.AddMessage(box.Folder("Inbox"), test::MakeMail("kept", "Ann", "ann@example.com", "x"));
        std::vector<uint8_t> image = box.Build();
        const PstLayout& layout = *PstLayout::For(GetParam());
        if (zeroRoots) {
            for (size_t at : {layout.nodeRootOffsetPos, layout.blockRootOffsetPos})
                std::fill_n(image.begin() + static_cast<ptrdiff_t>(at), layout.idSize, 0);
        }
        // Past the header nothing is left that a scan could read.
        if (keepNothing) std::fill(image.begin() + 4096, image.end(), 0);
        const std::string path = (scratch_.path() / "box.pst").string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
        return path;
    }

    test::ScratchDir scratch_;
};
KESTREL_BOTH_LAYOUTS(DeepScanProgram);

TEST_P(DeepScanProgram, SoundFileScansOnlyWhenAsked) {
    const std::string path = Write(false);
    const test::RunResult info = Cli({"info", path, "--json"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_TRUE(json::parse(info.out)["scan"].is_null());
    const test::RunResult analyze = Cli({"analyze", path, "--json"});
    ASSERT_EQ(analyze.exitCode, 0) << analyze.err;
    EXPECT_TRUE(json::parse(analyze.out)["scan"].is_null());

    const test::RunResult deep = Cli({"analyze", path, "--json", "--deep"});
    ASSERT_EQ(deep.exitCode, 0) << deep.err;
    const json doc = json::parse(deep.out);
    const json& scan = doc["scan"];
    EXPECT_EQ(scan["reason"], "requested");
    EXPECT_EQ(scan["guessed"], false);
    EXPECT_GT(scan["blocks"].get<int>(), 0);
    EXPECT_GT(scan["pages"].get<int>(), 0);
    EXPECT_EQ(scan["blocksAdded"], 0);
    EXPECT_EQ(scan["nodesAdded"], 0);
    EXPECT_TRUE(scan["seconds"].is_number());
    EXPECT_EQ(doc["folders"], json::parse(analyze.out)["folders"]);

    EXPECT_EQ(Cli({"analyze", path, "--deep", "--no-deep"}).exitCode, 2);
}

TEST_P(DeepScanProgram, UnreadableRootsReadAfterTheScan) {
    const std::string path = Write(true);
    const test::RunResult info = Cli({"info", path, "--json"});
    EXPECT_EQ(info.exitCode, 1);
    EXPECT_TRUE(json::parse(info.out)["scan"].is_null());

    const test::RunResult deepInfo = Cli({"info", path, "--json", "--deep"});
    EXPECT_EQ(deepInfo.exitCode, 0) << deepInfo.err;
    const json infoDoc = json::parse(deepInfo.out);
    EXPECT_EQ(infoDoc["loadResult"], 2);  // the B-tree walk's own answer
    EXPECT_EQ(infoDoc["scan"]["reason"], "rootUnreadable");
    EXPECT_GT(infoDoc["nodes"].get<int>(), 0);

    const test::RunResult analyze = Cli({"analyze", path, "--json"});
    ASSERT_EQ(analyze.exitCode, 0) << analyze.err;
    const json doc = json::parse(analyze.out);
    EXPECT_EQ(doc["status"], "completed");
    EXPECT_EQ(doc["scan"]["reason"], "rootUnreadable");
    const auto& warnings = doc["warnings"];
    EXPECT_NE(std::find(warnings.begin(), warnings.end(), std::string(kWarnIndexesRebuilt)),
              warnings.end());

    EXPECT_EQ(Cli({"analyze", path, "--json", "--no-deep"}).exitCode, 1);
}

TEST_P(DeepScanProgram, NothingToRebuildFails) {
    const std::string path = Write(true, true);
    const test::RunResult info = Cli({"info", path, "--deep"});
    EXPECT_EQ(info.exitCode, 1);
    EXPECT_NE(info.err.find("B-tree could not be read"), std::string::npos) << info.err;
    const test::RunResult analyze = Cli({"analyze", path, "--json"});
    EXPECT_EQ(analyze.exitCode, 1);
    EXPECT_EQ(json::parse(analyze.out)["status"], "error");
}

}  // namespace
}  // namespace kestrel
