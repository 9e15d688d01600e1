#pragma once
// The process-wide values the screens share, under their own names.
#include <atomic>
#include <string>

class QEvent;
class QKeyEvent;

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

// The key press a screen's keyboard rules should see for a key event, or null. Shift only
// updates App().shiftDown. A key the focused control leaves goes on to its parents as the
// same event: the rules see it once, until its release (lastKey remembers it).
QKeyEvent* KeyToHandle(QEvent* event, const QKeyEvent*& lastKey);

}  // namespace kestrel
