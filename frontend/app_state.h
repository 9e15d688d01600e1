#pragma once
// The process-wide values the screens share, under their own names.
#include <atomic>
#include <string>

namespace kestrel {

struct AppState {
    // 1 while a screen's exit question is up: a second Exit or Close is ignored.
    std::atomic<bool> dialogBusy{false};
    // Set while the recovery screen is open: the first screen's keyboard rules are off.
    std::atomic<bool> screenActive{false};
    // Shift is held (kept from key presses and releases).
    std::atomic<bool> shiftDown{false};
    // The wizard's mode; the hidden Back names the search mode.
    std::string modeName;
    // The file chosen on the first screen, and the one picked in the search list.
    std::string sourcePstPath;
    std::string chosenPstPath;
    // The destination the first screen shows (its default or the folder picked there).
    std::string destinationFolder;
    // The language file the first screen chose from "LngFile" when it opened.
    std::string languageFile;
    // The mode panel's choice: "REPAIR" or "EXTRACT".
    std::string modeTag;
};

AppState& App();

}  // namespace kestrel
