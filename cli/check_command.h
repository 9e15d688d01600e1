#pragma once
// kestrel-cli check FILE [--json]: a health check of a PST file that changes nothing:
// header, page and block trailers, B-tree key order, allocation maps, references, node
// parents, the nodes every store must have, and tables against the items they list.
#include <string>

#include <CLI/CLI.hpp>

namespace kestrel::cli {

struct CheckArgs {
    std::string file;
    bool json = false;
};

CLI::App* AddCheckCommand(CLI::App& app, CheckArgs& args);

// 0 when healthy; 1 with problems (or when the file cannot be read).
int RunCheckCommand(const CheckArgs& args);

}  // namespace kestrel::cli
