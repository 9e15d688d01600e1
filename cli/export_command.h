#pragma once
// kestrel-cli export FILE --out DIR [--format eml|mbox|pst] [--crypt none|permute]
// [--restore-deleted] [--deep|--no-deep] [--overwrite] [--json] [--quiet]: the analysis as
// analyze runs it, then the save into DIR (pst: DIR/<source name>, or --out NEW.pst).
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "engine/export_run.h"

namespace kestrel::cli {

struct ExportArgs {
    std::string file;
    std::string out;
    std::string format = "eml";
    std::string crypt = "permute";  // pst only
    bool restoreDeleted = false;
    bool deep = false;    // scan the file whatever the B-trees say
    bool noDeep = false;  // never scan on its own
    bool overwrite = false;
    bool json = false;
    bool quiet = false;
};

CLI::App* AddExportCommand(CLI::App& app, ExportArgs& args);

// 0 when everything readable was written (unreadable items are listed, not failures); 1
// when the analysis or the save failed or was stopped, or files that existed were left.
int RunExportCommand(const ExportArgs& args);

// The --json summary.
nlohmann::ordered_json ExportSummaryJson(const ExportSummary& summary);

}  // namespace kestrel::cli
