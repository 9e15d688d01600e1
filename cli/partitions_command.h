#pragma once
// kestrel-cli partitions DEVICE_OR_IMAGE [--json]: the partitions of a disk or disk image,
// listed and labelled as the partition screen lists them.
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "engine/partition_table.h"

namespace kestrel::cli {

struct PartitionsArgs {
    std::string device;
    bool json = false;
};

CLI::App* AddPartitionsCommand(CLI::App& app, PartitionsArgs& args);

// 0 when the table was read (also when there is none), 1 when the device could not be read.
int RunPartitionsCommand(const PartitionsArgs& args);

nlohmann::ordered_json PartitionsJson(const std::string& device, const DiskPartitionTable& table);

}  // namespace kestrel::cli
