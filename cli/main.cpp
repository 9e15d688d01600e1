// kestrel-cli: the headless front end.
#include <CLI/CLI.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    CLI::App app{"Kestrel: recovers mail from Outlook PST files"};
    app.set_version_flag("--version", std::string("kestrel-cli ") + KESTREL_VERSION);
    app.require_subcommand(1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    return 0;
}
