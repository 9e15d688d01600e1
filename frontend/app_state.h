#pragma once
// The process-wide values the screens share, under their own names.
#include <atomic>
#include <cstdint>
#include <string>

class QEvent;
class QKeyEvent;
class QObject;
class QWidget;

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

    // The disk or image picked in the first screen's disk tree: its label, its index in
    // the disk table (-1 for an image file) and the device or file to read.
    std::string selectedDiskName;
    int selectedDiskIndex = -1;
    std::string selectedDiskSource;
    // 0 while the first screen's disk tree is in use, 1 while the partition screen's.
    int treeClickMode = 0;
    // 1 while the search screen runs from the partition screen: its exit commands wait.
    std::atomic<bool> childOpen{false};
    // The partition screen's range, in 512-byte sectors: the fields as last accepted,
    // the start, the last sector, and the end field as entered (one past the last sector).
    int64_t lastValidStart = 0;
    int64_t lastValidEnd = 0;
    uint64_t rangeStart = 0;
    uint64_t rangeEnd = 0;
    uint64_t rangeEndAsEntered = 0;
    uint32_t selectedPartitionPosition = 0;
    std::string partitionLabel;
};

AppState& App();

// The key press a screen's keyboard rules should see for a key event, or null. Shift only
// updates App().shiftDown. A key the focused control leaves goes on to its parents as the
// same event: the rules see it once, until its release (lastKey remembers it).
QKeyEvent* KeyToHandle(QEvent* event, const QKeyEvent*& lastKey);
// KeyToHandle for an event an application-wide filter sees: null unless it is a key event
// sent to a widget of screen's window.
QKeyEvent* ScreenKeyToHandle(const QWidget* screen, QObject* watched, QEvent* event,
                             const QKeyEvent*& lastKey);
// The focus step Tab leads to from step in the screens' shared footer: 5 (View Report) is
// passed over while that button is disabled, and after 7 (Exit) the count starts again.
int NextFocusStep(int step, bool viewReportEnabled);

}  // namespace kestrel
