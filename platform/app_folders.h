#pragma once
// The per-user folders the program writes to: settings, cache (preview page, RTF bodies),
// state (logs). The program never writes into its data folder or the current directory.
#include <filesystem>

namespace kestrel {

// $KESTREL_CONFIG_DIR, else $XDG_CONFIG_HOME/kestrel, else ~/.config/kestrel.
std::filesystem::path ConfigFolder();
// $XDG_CACHE_HOME/kestrel, else ~/.cache/kestrel.
std::filesystem::path CacheFolder();
// $XDG_STATE_HOME/kestrel, else ~/.local/state/kestrel.
std::filesystem::path StateFolder();

// Creates folder (and its parents) when missing; false when it cannot be made.
bool EnsureFolder(const std::filesystem::path& folder);

}  // namespace kestrel
