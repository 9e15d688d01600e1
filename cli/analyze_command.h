#pragma once
// kestrel-cli analyze FILE [--json] [--restore-deleted] [--deep|--no-deep] [--quiet]: runs the
// analysis the recovery screen runs and prints what it found.
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "engine/result_lists.h"

namespace kestrel::cli {

struct AnalyzeArgs {
    std::string file;
    bool json = false;
    bool restoreDeleted = false;
    bool quiet = false;
    bool deep = false;    // scan the file whatever the B-trees say
    bool noDeep = false;  // never scan on its own
};

// Adds the subcommand to app; args receives its values.
CLI::App* AddAnalyzeCommand(CLI::App& app, AnalyzeArgs& args);

// Runs it: 0 when the analysis completed, 1 when it failed or was interrupted.
int RunAnalyze(const AnalyzeArgs& args);

// The error lines both commands print after "kestrel-cli: ".
std::string CannotOpenText(const std::string& path, const std::string& reason);
std::string NotPstText(const std::string& path, uint32_t version);
// What a failed run's summary and error line say: the system's reason where there is one.
std::string FailureText(const AnalysisResult& result);
// exitCode, or 1 with an error line when standard output could not be written (a full disk,
// a closed pipe).
int CheckedOutput(int exitCode);

// The human summary: file, status, the folder tree with message counts, the counters,
// warnings. A run that failed shows its head and warnings only.
void PrintSummary(std::FILE* out, const AnalysisResult& result);

}  // namespace kestrel::cli
