#pragma once
// The help window: the HTML manual of the data folder (help/index.html) in one window of
// its own. Asking for help while it is open raises that window instead of a second one.
#include <QString>

class QWidget;

namespace kestrel {

inline constexpr char kHelpTitle[] = "Help - Kestrel for Microsoft Outlook";

// The manual's first page.
QString HelpIndexPath();
// Shows (or raises) the help window; false when the manual is missing.
bool ShowHelp();
// The open help window, or null.
QWidget* OpenHelpWindow();

}  // namespace kestrel
