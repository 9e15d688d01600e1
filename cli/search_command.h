#pragma once
// kestrel-cli search DIR [--no-subdirs] [--json]: the PST files under DIR, as the search
// screen lists them.
#include <string>

#include <CLI/CLI.hpp>

namespace kestrel::cli {

struct SearchArgs {
    std::string folder;
    bool noSubdirs = false;
    bool json = false;
};

CLI::App* AddSearchCommand(CLI::App& app, SearchArgs& args);

// 0 after a search (also one that found nothing); 1 when DIR is no folder.
int RunSearch(const SearchArgs& args);

}  // namespace kestrel::cli
