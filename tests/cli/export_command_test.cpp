// kestrel-cli export as a user runs it: the JSON summary, exit codes, and a destination that
// cannot take the files (a full file-size limit, a path through a file): exit 1, no half
// file, the source untouched.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "support/mailbox_builder.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::ReadWhole;

class ExportCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        test::MailboxBuilder box(PstVariant::Unicode);
        test::Message small = test::MakeMail("Small", "Ann", "ann@example.com", "short");
        small.recipients = {{"Bob", "bob@example.com"}};
        box.AddMessage(box.Folder("Inbox"), small);
        test::Message big = test::MakeMail("Big", "Ann", "ann@example.com", "long");
        test::Attachment data;
        data.longName = "data.bin";
        data.data.assign(300 * 1024, 0x5A);
        big.attachments.push_back(data);
        box.AddMessage(box.Folder("Inbox"), big);
        pst_ = scratch_.path() / "box.pst";
        box.WriteTo(pst_);
        source_ = ReadWhole(pst_);
    }

    // Runs the program with a file-size limit of limitBytes (0: none).
    test::RunResult Run(const std::vector<std::string>& args, rlim_t limitBytes = 0) {
        if (limitBytes == 0) return test::RunProgram(KESTREL_CLI_PATH, args, scratch_.path());
        const auto outPath = scratch_.path() / "stdout.txt";
        const auto errPath = scratch_.path() / "stderr.txt";
        std::vector<std::string> all = {KESTREL_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            // The output files are opened before the limit, which they stay under anyway.
            if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr))
                _exit(127);
            const rlimit limit{limitBytes, limitBytes};
            setrlimit(RLIMIT_FSIZE, &limit);
            execv(KESTREL_CLI_PATH, argv.data());
            _exit(127);
        }
        test::RunResult result;
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child) return result;
        if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
        result.out = ReadWhole(outPath);
        result.err = ReadWhole(errPath);
        return result;
    }

    static std::vector<fs::path> FilesUnder(const fs::path& root) {
        std::vector<fs::path> files;
        if (!fs::exists(root)) return files;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            if (!entry.is_directory()) files.push_back(entry.path());
        return files;
    }

    test::ScratchDir scratch_;
    fs::path pst_;
    std::string source_;
};

TEST_F(ExportCommand, JsonSummaryAndExitCodes) {
    const fs::path out = scratch_.path() / "deep" / "out";
    test::RunResult run = Run({"export", pst_.string(), "--out", out.string(), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto summary = nlohmann::json::parse(run.out);
    EXPECT_EQ(summary["status"], "completed");
    EXPECT_EQ(summary["messages"], 2);
    EXPECT_EQ(summary["written"], 2);
    EXPECT_TRUE(summary["error"].is_null());
    EXPECT_TRUE(fs::exists(out / "Personal Folders" / "Inbox" / "00001 Small.eml"));
    EXPECT_TRUE(fs::exists(summary["report"].get<std::string>()));

    // Again without --overwrite: the files stay and the run says so.
    run = Run({"export", pst_.string(), "--out", out.string(), "--quiet"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("--overwrite"), std::string::npos) << run.err;
    run = Run({"export", pst_.string(), "--out", out.string(), "--overwrite", "--quiet"});
    EXPECT_EQ(run.exitCode, 0) << run.err;

    run = Run({"export", pst_.string(), "--out", out.string(), "--format", "mbox", "--quiet"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadWhole(out / "Personal Folders" / "Inbox.mbox").rfind("From ann@example.com ", 0),
              0u);

    EXPECT_EQ(Run({"export", pst_.string(), "--out", out.string(), "--format", "pdf"}).exitCode, 2);
    EXPECT_EQ(Run({"export", pst_.string()}).exitCode, 2);
    EXPECT_EQ(
        Run({"export", (scratch_.path() / "missing.pst").string(), "--out", out.string()}).exitCode,
        1);
    EXPECT_EQ(ReadWhole(pst_), source_);
}

TEST_F(ExportCommand, UnwritableDestinationFails) {
    // A path through a regular file: no permission bits involved, so root fails too.
    const fs::path blocker = scratch_.path() / "plain-file";
    std::ofstream(blocker) << "in the way";
    const test::RunResult run =
        Run({"export", pst_.string(), "--out", (blocker / "out").string(), "--json", "--quiet"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Not a directory"), std::string::npos) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)["status"], "failed");
    EXPECT_EQ(ReadWhole(blocker), "in the way");
    EXPECT_EQ(ReadWhole(pst_), source_);
}

TEST_F(ExportCommand, FileSizeLimitFailsWithoutHalfFiles) {
    const fs::path out = scratch_.path() / "limited";
    const test::RunResult run =
        Run({"export", pst_.string(), "--out", out.string(), "--quiet"}, 64 * 1024);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
    const fs::path inbox = out / "Personal Folders" / "Inbox";
    EXPECT_TRUE(fs::exists(inbox / "00001 Small.eml"));
    EXPECT_FALSE(fs::exists(inbox / "00002 Big.eml"));
    for (const fs::path& file : FilesUnder(out))
        EXPECT_EQ(file.filename().string().find(".part"), std::string::npos) << file;
    EXPECT_NE(ReadWhole(out / "Recovery Report.txt").find("File too large"), std::string::npos);
    EXPECT_EQ(ReadWhole(pst_), source_);
}

}  // namespace
}  // namespace kestrel
