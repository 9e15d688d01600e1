#pragma once
// The data side of the item list beside the folder tree: for a selected folder, which of
// the six views it shows, the columns, and the rows as UTF-8 cell texts. Qt-free: the
// desktop screen puts the rows into its list, the command line prints them.
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

struct AnalysisResult;

enum class ResultViewKind { Mail, Contacts, Tasks, Journal, StickyNotes, Calendar };

struct ViewColumn {
    std::string title;
    int width = 0;  // pixels
};

// The five fixed folder paths that choose a list of their own; any other path (a
// subfolder of one of them too) shows the mail view. Compared whole and case-sensitive.
ResultViewKind ChooseResultView(std::string_view path);

// The columns of a view, in order (SetListColumns' layouts 1 to 6).
const std::vector<ViewColumn>& ViewColumns(ResultViewKind kind);

// One row of the list: the item it shows (for the preview) and its cells, one per column.
struct ViewRow {
    uint32_t nid = 0;
    uint64_t dataBid = 0;  // the node's data block: with the NID, the node the row shows
    int icon = 0;          // index into the screen's image list
    std::vector<std::string> cells;
};

struct ResultView {
    ResultViewKind kind = ResultViewKind::Mail;
    uint32_t folderNid = 0;  // the folder selected
    // Contacts selected while no contact was found: the list keeps what it shows.
    bool keepPrevious = false;
    bool gridLines = false;  // the calendar draws grid lines once it has a row
    bool cancelled = false;  // a newer selection asked the fill to stop: rows are partial
    std::vector<ViewRow> rows;

    const std::vector<ViewColumn>& columns() const { return ViewColumns(kind); }
};

// The view of the folder the tree item of folderNid stands for, its rows in the order
// the list shows them (tasks and sticky notes last first). Every row gets the same
// clean-ups and placeholders. cancel, when given, is tested before each row; a set flag
// ends the fill with the rows made so far. The caller keeps result from changing while
// this runs (AnalysisEngine::ReadResult). Never changes result: the long-text cut applies
// to the cell only.
ResultView FillResultView(const AnalysisResult& result, uint32_t folderNid,
                          const std::atomic<bool>* cancel = nullptr);

// Line feed, carriage return and tab become spaces.
std::string LineCleanUp(std::string_view text);
// The line clean-up plus the other control characters a list cell cannot show (3, 15, 16,
// 17, 23, 24, 25, 26, 27). Works on UTF-8: letters such as "å" or dashes stay.
std::string FullCleanUp(std::string_view text);
// A text longer than 254 characters shows as its first 200 characters and "...". Counts
// UTF-8 characters and never cuts inside one.
std::string LongTextCut(std::string_view text);
// Characters of a UTF-8 text; a byte that starts no valid sequence counts as one.
size_t Utf8Length(std::string_view text);

// A FILETIME as a list shows it, from its own UTC fields: "Mon Jan 01 12:00:00 2007".
// Nothing for a date before 1970, after 3000, or for bytes that are not 8 long.
std::optional<std::string> FormatItemDate(uint64_t filetime);
std::optional<std::string> FormatItemDate(std::span<const uint8_t> filetime);
// The same instant in ISO 8601 UTC ("2007-01-01T12:00:00Z"), for the JSON output. Nothing
// under the same conditions.
std::optional<std::string> FormatIsoDate(uint64_t filetime);
std::optional<std::string> FormatIsoDate(std::span<const uint8_t> filetime);

}  // namespace kestrel
