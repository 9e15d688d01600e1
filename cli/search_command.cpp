#include "cli/search_command.h"

#include <fmt/core.h>

#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "engine/file_finder.h"

namespace kestrel::cli {

CLI::App* AddSearchCommand(CLI::App& app, SearchArgs& args) {
    CLI::App* search =
        app.add_subcommand("search", "list the PST files under a folder like the search screen");
    search->add_option("DIR", args.folder, "the folder to search")->required();
    search->add_flag("--no-subdirs", args.noSubdirs, "search DIR only, not its sub-folders");
    search->add_flag("--json", args.json, "print one JSON object");
    return search;
}

int RunSearch(const SearchArgs& args) {
    std::error_code ec;
    if (!std::filesystem::is_directory(args.folder, ec)) {
        fmt::print(stderr, "kestrel-cli: cannot search \"{}\": no such folder\n", args.folder);
        return 1;
    }
    CFileFinder finder;
    FileSearchOptions options;
    options.baseFolder = args.folder;
    options.subfolders = !args.noSubdirs;
    finder.FindFiles(options);

    if (args.json) {
        nlohmann::ordered_json files = nlohmann::ordered_json::array();
        for (const std::string& found : finder.Found()) {
            const CPath path(found);
            nlohmann::ordered_json entry;
            entry["name"] = path.FileName();
            entry["path"] = found;
            entry["size"] = path.Size();
            entry["modified"] = ModifiedText(path.Modified());
            files.push_back(std::move(entry));
        }
        nlohmann::ordered_json out;
        out["folder"] = args.folder;
        out["files"] = std::move(files);
        std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
        fmt::print("{:<30} {:<60} {:>10}  {}\n", "Name", "In Folder", "Size", "Modified");
        for (const std::string& found : finder.Found()) {
            const CPath path(found);
            fmt::print("{:<30} {:<60} {:>10}  {}\n", path.FileName(), found, SizeText(path.Size()),
                       ModifiedText(path.Modified()));
        }
        fmt::print("{} items found\n", finder.FoundCount());
    }
    std::cout.flush();
    return std::cout.good() ? 0 : 1;
}

}  // namespace kestrel::cli
