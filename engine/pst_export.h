#pragma once
// Save as a repaired PST: every folder the analysis rebuilt and every item in it, with all
// of its properties, recipients, attachments and embedded messages, written to a new
// Unicode PST. The file is written under a temporary name beside its destination and
// renamed when whole; a stop or a failure leaves nothing behind.
#include <string>

#include "engine/export_run.h"

namespace kestrel {

// Where the repaired PST goes: destination itself when it ends in ".pst" and is no
// folder, else destination/<the source's file name>.
std::string RepairedPstPath(const std::string& destination, const std::string& source);

// The Pst format of RunExport. Never throws.
ExportSummary RunPstExport(const AnalysisResult& result, ItemSource& source,
                           const ExportOptions& options, RunControl& control);

}  // namespace kestrel
