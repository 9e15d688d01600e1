#pragma once
// The JSON object `kestrel-cli analyze --json` prints: the file, the run's status, the
// summary counters, every folder with the messages filed in it, and the other item lists.
// Written piece by piece, so a file with a million messages needs no second copy of its
// results in memory.
#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/result_lists.h"

namespace kestrel::cli {

// Writes the whole object and a final line feed. Texts that are not valid UTF-8 are
// written with U+FFFD in place of the broken bytes; empty texts and dates a list would
// not show are null.
void WriteAnalysisJson(std::ostream& out, const AnalysisResult& result);

// The parts, for tests.
nlohmann::ordered_json CountersJson(const SummaryCounters& counters);
nlohmann::ordered_json MessageJson(const MessageSummary& message);
nlohmann::ordered_json FolderHeadJson(const MailFolderEntry& folder);
// The deep scan's object (null when no scan ran): reason, guessed, seconds, pages, blocks,
// blocksAdded, nodesAdded, nodesRebuilt.
nlohmann::ordered_json ScanJson(const std::optional<DeepScanReport>& scan);
// What every entry of the item lists starts with: nid, class and folder.
nlohmann::ordered_json ListEntryJson(const ListEntry& entry);

}  // namespace kestrel::cli
