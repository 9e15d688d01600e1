#pragma once
// Puts a preview page and its images into a folder (the cache folder): the images of the
// page before are removed first, and a read-only page left from an earlier run is
// replaced.
#include <filesystem>
#include <optional>

#include "items/preview_page.h"

namespace kestrel {

// The page's path once written; nothing when it could not be written.
std::optional<std::filesystem::path> WritePreviewPage(const std::filesystem::path& folder,
                                                      const PreviewPage& page);

}  // namespace kestrel
