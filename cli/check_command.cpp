#include "cli/check_command.h"

#include <iostream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli/analyze_command.h"
#include "pstwrite/pst_check.h"

namespace kestrel::cli {

namespace {

nlohmann::ordered_json KindsJson(const std::map<std::string, pstwrite::CheckKind>& kinds) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const auto& [name, kind] : kinds)
        out.push_back({{"kind", name}, {"count", kind.count}, {"first", kind.first}});
    return out;
}

void PrintKinds(const char* title, const std::map<std::string, pstwrite::CheckKind>& kinds) {
    for (const auto& [name, kind] : kinds) {
        fmt::print("{} {}: {}\n", title, name, kind.count);
        for (const std::string& what : kind.first) fmt::print("  {}\n", what);
    }
}

}  // namespace

CLI::App* AddCheckCommand(CLI::App& app, CheckArgs& args) {
    CLI::App* command =
        app.add_subcommand("check", "check a PST file's structures without changing it");
    command->add_option("FILE", args.file, "the PST file")->required();
    command->add_flag("--json", args.json, "print one JSON object");
    return command;
}

int RunCheckCommand(const CheckArgs& args) {
    const pstwrite::CheckReport report = pstwrite::CheckPstFile(args.file);
    if (!report.openFailure.empty()) {
        fmt::print(stderr, "kestrel-cli: cannot open {}: {}\n", args.file, report.openFailure);
        return 1;
    }
    uint64_t total = 0;
    for (const auto& [name, kind] : report.problems) total += kind.count;
    if (args.json) {
        nlohmann::ordered_json out;
        out["file"] = args.file;
        out["variant"] = VariantName(report.variant);
        out["healthy"] = report.healthy();
        out["problems"] = KindsJson(report.problems);
        out["notes"] = KindsJson(report.notes);
        std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
        fmt::print("File:     {}\n", args.file);
        fmt::print("Variant:  {}\n", VariantName(report.variant));
        fmt::print("Result:   {}\n",
                   report.healthy() ? "healthy" : fmt::format("{} problem(s)", total));
        PrintKinds("Problem", report.problems);
        PrintKinds("Note", report.notes);
    }
    std::cout.flush();
    return CheckedOutput(report.healthy() ? 0 : 1);
}

}  // namespace kestrel::cli
