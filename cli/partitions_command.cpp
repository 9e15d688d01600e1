#include "cli/partitions_command.h"

#include <fmt/format.h>

#include "cli/analyze_command.h"
#include "platform/raw_device.h"

namespace kestrel::cli {

namespace {

const char* SchemeName(PartitionScheme scheme) {
    switch (scheme) {
        case PartitionScheme::Mbr:
            return "MBR";
        case PartitionScheme::Gpt:
            return "GPT";
        case PartitionScheme::None:
            break;
    }
    return "none";
}

}  // namespace

CLI::App* AddPartitionsCommand(CLI::App& app, PartitionsArgs& args) {
    CLI::App* command = app.add_subcommand(
        "partitions", "list the partitions of a disk or disk image like the partition screen");
    command->add_option("DEVICE_OR_IMAGE", args.device, "a block device or a disk image file")
        ->required();
    command->add_flag("--json", args.json, "print one JSON object");
    command->footer(
        "Sectors are counted in 512-byte units; the end is one past the last sector. MBR "
        "(with its extended chain) and GPT tables are read; partitions of file systems the "
        "program does not know are listed as ( Unknown ).");
    return command;
}

nlohmann::ordered_json PartitionsJson(const std::string& device, const DiskPartitionTable& table) {
    nlohmann::ordered_json out;
    out["device"] = device;
    out["sectorSize"] = table.sectorSize;
    out["partitions"] = nlohmann::ordered_json::array();
    for (const PartitionRecord& record : table.records) {
        nlohmann::ordered_json entry;
        entry["number"] = record.number;
        entry["label"] = record.label;
        entry["fileSystem"] = record.fileSystem;
        entry["type"] = record.type;
        entry["start"] = record.start;
        entry["end"] = record.end;
        entry["clipped"] = record.clipped;
        out["partitions"].push_back(std::move(entry));
    }
    return out;
}

int RunPartitionsCommand(const PartitionsArgs& args) {
    RawDevice device;
    std::string reason;
    if (!device.Open(args.device, &reason)) {
        fmt::print(stderr, "kestrel-cli: {}\n", CannotOpenText(args.device, reason));
        return 1;
    }
    const DiskPartitionTable table = ReadPartitionTable(device);
    if (!table.sectorZeroRead) {
        fmt::print(stderr, "kestrel-cli: {}: sector 0 could not be read\n", args.device);
        return 1;
    }
    if (args.json) {
        const auto out = PartitionsJson(args.device, table);
        fmt::print("{}\n", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        for (const auto& problem : table.problems)
            fmt::print(stderr, "kestrel-cli: {}: {}\n", args.device, problem);
    } else {
        fmt::print("Device:      {}\n", args.device);
        fmt::print("Size:        {} sectors of 512 bytes\n", device.SectorCount());
        fmt::print("Table:       {} ({}-byte sectors)\n", SchemeName(table.scheme),
                   table.sectorSize);
        if (!table.records.empty()) fmt::print("\n");
        for (const PartitionRecord& record : table.records) {
            fmt::print("{:<28} {:>12} - {:<12} type {}{}\n", record.label, record.start, record.end,
                       record.type, record.clipped ? "  (clipped at the device end)" : "");
        }
        if (!table.problems.empty()) {
            fmt::print("\nProblems:\n");
            for (const auto& problem : table.problems) fmt::print("  - {}\n", problem);
        }
    }
    return CheckedOutput(0);
}

}  // namespace kestrel::cli
