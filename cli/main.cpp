// kestrel-cli: the headless front end.
#include <fmt/core.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/analysis_json.h"
#include "cli/analyze_command.h"
#include "cli/carve_command.h"
#include "cli/check_command.h"
#include "cli/export_command.h"
#include "cli/partitions_command.h"
#include "cli/search_command.h"
#include "engine/analysis.h"
#include "storage/btree_loader.h"
#include "storage/deep_scan.h"
#include "storage/nid.h"
#include "storage/pst_context.h"

namespace {

const char* CryptName(uint32_t method) {
    switch (method) {
        case 0:
            return "none";
        case 1:
            return "permutation";
        case 2:
            return "cyclic";
        default:
            return "unknown";
    }
}

// kestrel-cli info FILE [--json] [--deep]: header, variant, encoding, block and node counts;
// with --deep, after the scan of the file's pages and blocks.
int RunInfo(const std::string& path, bool json, bool deep) {
    kestrel::PstContext context;
    std::string reason;
    if (kestrel::OpenPstFile(context, path, &reason) != 0) {
        fmt::print(stderr, "kestrel-cli: {}\n", kestrel::cli::CannotOpenText(path, reason));
        return 1;
    }
    int loadResult = 2;
    std::string failure;
    std::optional<kestrel::DeepScanReport> scan;
    try {
        bool guessed = false;
        if (context.variant == kestrel::PstVariant::Unknown && deep)
            guessed = kestrel::GuessLayout(context);
        if (context.variant == kestrel::PstVariant::Unknown) {
            failure = kestrel::cli::NotPstText(path, context.version);
        } else {
            loadResult = kestrel::LoadIndexes(context);
            if (deep) {
                kestrel::ScanReason why = guessed
                                              ? kestrel::ScanReason::HeaderDamaged
                                              : kestrel::AutomaticScanReason(context, loadResult);
                if (why == kestrel::ScanReason::None) why = kestrel::ScanReason::Requested;
                scan = kestrel::DeepScan(context, why);
                scan->guessed = guessed;
            }
            // After a scan the file is read when its indexes lead to the store or the root
            // folder, whatever its B-trees gave.
            const bool rebuilt = scan && (kestrel::FindNode(context, kestrel::kMessageStoreNid) ||
                                          kestrel::FindNode(context, kestrel::kRootFolderNid));
            if (loadResult != 0 && !rebuilt)
                failure = fmt::format("{}: the block or node B-tree could not be read", path);
        }
    } catch (const std::exception& e) {
        failure = fmt::format("{}: {}", path, e.what());
    }

    const size_t blocks = context.blocks.size();
    const size_t nodes = context.nodes.ReachableCount();
    const size_t orphans = context.nodes.CreatedCount() - nodes;
    if (json) {
        nlohmann::ordered_json out;
        out["file"] = path;
        out["version"] = context.version;
        out["variant"] = kestrel::VariantName(context.variant);
        out["cryptMethod"] = context.cryptMethod;
        out["blocks"] = blocks;
        out["nodes"] = nodes;
        out["orphans"] = orphans;
        out["loadResult"] = loadResult;
        out["scan"] = kestrel::cli::ScanJson(scan);
        // Invalid UTF-8 in a path must not abort the output.
        fmt::print("{}\n", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        fmt::print("File:          {}\n", path);
        fmt::print("Version:       {} ({})\n", context.version,
                   kestrel::VariantName(context.variant));
        fmt::print("Encoding:      {} ({})\n", context.cryptMethod, CryptName(context.cryptMethod));
        fmt::print("Blocks:        {}\n", blocks);
        fmt::print("Nodes:         {}\n", nodes);
        fmt::print("Orphans:       {}\n", orphans);
        fmt::print("Skipped:       {} block-tree, {} node-tree subtrees\n",
                   context.stats.skippedBlockSubtrees, context.stats.skippedNodeSubtrees);
        fmt::print("Load result:   {}\n", loadResult);
        if (scan) {
            fmt::print("Deep scan:     {} ({}): {} pages, {} blocks; {} blocks, {} nodes added\n",
                       kestrel::ScanReasonName(scan->reason),
                       scan->guessed ? "layout guessed" : "layout from the header", scan->pages,
                       scan->blocks, scan->blocksAdded, scan->nodesAdded);
        }
    }
    if (!failure.empty()) {
        std::fflush(stdout);
        fmt::print(stderr, "kestrel-cli: {}\n", failure);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Kestrel: recovers mail from Outlook PST files"};
    app.set_version_flag("--version", std::string("kestrel-cli ") + KESTREL_VERSION);
    app.require_subcommand(1);

    std::string infoFile;
    bool infoJson = false;
    CLI::App* info = app.add_subcommand("info", "header, variant, encoding, block and node counts");
    info->add_option("FILE", infoFile, "the PST file")->required();
    info->add_flag("--json", infoJson, "print one JSON object");
    bool infoDeep = false;
    bool infoNoDeep = false;
    CLI::Option* deep = info->add_flag(
        "--deep", infoDeep, "rebuild the indexes by scanning the file's pages and blocks");
    info->add_flag("--no-deep", infoNoDeep, "no scan (as without --deep)")->excludes(deep);

    kestrel::cli::AnalyzeArgs analyzeArgs;
    CLI::App* analyze = kestrel::cli::AddAnalyzeCommand(app, analyzeArgs);
    kestrel::cli::ExportArgs exportArgs;
    CLI::App* exportCommand = kestrel::cli::AddExportCommand(app, exportArgs);
    kestrel::cli::SearchArgs searchArgs;
    CLI::App* search = kestrel::cli::AddSearchCommand(app, searchArgs);
    kestrel::cli::PartitionsArgs partitionsArgs;
    CLI::App* partitions = kestrel::cli::AddPartitionsCommand(app, partitionsArgs);
    kestrel::cli::CarveArgs carveArgs;
    CLI::App* carve = kestrel::cli::AddCarveCommand(app, carveArgs);
    kestrel::cli::CheckArgs checkArgs;
    CLI::App* check = kestrel::cli::AddCheckCommand(app, checkArgs);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        // Name what was not understood: CLI11 says only "A subcommand is required" for a
        // word that is no command.
        std::string what = e.what();
        if (app.get_subcommands().empty() && argc > 1 && argv[1][0] != '-')
            what = fmt::format("unknown command \"{}\"", argv[1]);
        fmt::print(stderr, "kestrel-cli: {}\nRun with --help for more information.\n", what);
        return 2;
    }
    try {
        if (*info) return RunInfo(infoFile, infoJson, infoDeep);
        if (*analyze) return kestrel::cli::RunAnalyze(analyzeArgs);
        if (*exportCommand) return kestrel::cli::RunExportCommand(exportArgs);
        if (*search) return kestrel::cli::RunSearch(searchArgs);
        if (*partitions) return kestrel::cli::RunPartitionsCommand(partitionsArgs);
        if (*carve) return kestrel::cli::RunCarveCommand(carveArgs);
        if (*check) return kestrel::cli::RunCheckCommand(checkArgs);
    } catch (const std::exception& e) {
        fmt::print(stderr, "kestrel-cli: {}\n", e.what());
        return 1;
    }
    return 0;
}
