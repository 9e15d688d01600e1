#pragma once
// kestrel-cli carve DEVICE_OR_IMAGE --out DIR [--start S] [--end E] [--json] [--quiet]:
// copies the PST files whose headers sit at sector boundaries of a range into DIR.
#include <cstdint>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "engine/pst_carver.h"

namespace kestrel::cli {

struct CarveArgs {
    std::string device;
    std::string out;
    uint64_t start = 0;
    std::optional<uint64_t> end;
    bool json = false;
    bool quiet = false;
};

CLI::App* AddCarveCommand(CLI::App& app, CarveArgs& args);

// 0 when the range was scanned to its end and all it found was written; 1 when the device
// could not be read, DIR is refused or could not be written, a file of a carved name was
// there already, or the run was stopped; 2 for a range that makes no sense.
int RunCarveCommand(const CarveArgs& args);

nlohmann::ordered_json CarveJson(const std::string& device, const CarveReport& report);

}  // namespace kestrel::cli
