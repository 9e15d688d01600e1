#include "platform/app_folders.h"

#include <cstdlib>
#include <string>
#include <system_error>

namespace kestrel {

namespace {

std::filesystem::path HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    return std::filesystem::temp_directory_path();
}

// $variable/kestrel when the variable is an absolute path, else ~/fallback/kestrel.
std::filesystem::path XdgFolder(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value && *value == '/') return std::filesystem::path(value) / "kestrel";
    return HomeFolder() / fallback / "kestrel";
}

}  // namespace

std::filesystem::path ConfigFolder() {
    const char* over = std::getenv("KESTREL_CONFIG_DIR");
    if (over && *over) return over;
    return XdgFolder("XDG_CONFIG_HOME", ".config");
}

std::filesystem::path CacheFolder() { return XdgFolder("XDG_CACHE_HOME", ".cache"); }

std::filesystem::path StateFolder() { return XdgFolder("XDG_STATE_HOME", ".local/state"); }

bool EnsureFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return std::filesystem::is_directory(folder, ec);
}

}  // namespace kestrel
