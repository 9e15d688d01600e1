#include "frontend/preview_writer.h"

#include <fstream>
#include <system_error>

#include "platform/app_folders.h"

namespace kestrel {

namespace {

bool WriteFile(const std::filesystem::path& file, const char* data, size_t size) {
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
        // A read-only copy (left by an earlier run, or made so by hand) is made writable.
        std::filesystem::permissions(file, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ec);
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        std::filesystem::remove(file, ec);
        out.open(file, std::ios::binary | std::ios::trunc);
        if (!out) return false;
    }
    out.write(data, static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

void RemoveOldImages(const std::filesystem::path& folder) {
    std::error_code ec;
    std::vector<std::filesystem::path> old;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kPreviewImagePrefix, 0) == 0) old.push_back(entry.path());
    }
    for (const auto& file : old) std::filesystem::remove(file, ec);
}

}  // namespace

std::optional<std::filesystem::path> WritePreviewPage(const std::filesystem::path& folder,
                                                      const PreviewPage& page) {
    if (!EnsureFolder(folder)) return std::nullopt;
    RemoveOldImages(folder);
    for (const PreviewImage& image : page.images) {
        if (!image.data) continue;
        WriteFile(folder / image.fileName, reinterpret_cast<const char*>(image.data->data()),
                  image.data->size());
    }
    const std::filesystem::path file = folder / std::string(kPreviewPageName);
    if (!WriteFile(file, page.html.data(), page.html.size())) return std::nullopt;
    return file;
}

}  // namespace kestrel
