// kestrel-cli: the headless front end.
#include <fmt/core.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/analyze_command.h"
#include "cli/export_command.h"
#include "engine/analysis.h"
#include "storage/btree_loader.h"
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

// kestrel-cli info FILE [--json]: header, variant, encoding, block and node counts.
int RunInfo(const std::string& path, bool json) {
    kestrel::PstContext context;
    std::string reason;
    if (kestrel::OpenPstFile(context, path, &reason) != 0) {
        fmt::print(stderr, "kestrel-cli: {}\n", kestrel::cli::CannotOpenText(path, reason));
        return 1;
    }
    int loadResult = 2;
    std::string failure;
    try {
        if (context.variant == kestrel::PstVariant::Unknown) {
            failure = kestrel::cli::NotPstText(path, context.version);
        } else {
            loadResult = kestrel::LoadIndexes(context);
            if (loadResult != 0)
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

    kestrel::cli::AnalyzeArgs analyzeArgs;
    CLI::App* analyze = kestrel::cli::AddAnalyzeCommand(app, analyzeArgs);
    kestrel::cli::ExportArgs exportArgs;
    CLI::App* exportCommand = kestrel::cli::AddExportCommand(app, exportArgs);

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
        if (*info) return RunInfo(infoFile, infoJson);
        if (*analyze) return kestrel::cli::RunAnalyze(analyzeArgs);
        if (*exportCommand) return kestrel::cli::RunExportCommand(exportArgs);
    } catch (const std::exception& e) {
        fmt::print(stderr, "kestrel-cli: {}\n", e.what());
        return 1;
    }
    return 0;
}
