#pragma once
// Opens a builder's image as a PST file and loads its indexes.
#include <filesystem>
#include <memory>
#include <system_error>

#include "storage/btree_loader.h"
#include "storage/pst_context.h"
#include "pstwrite/pst_builder.h"

namespace kestrel::test {

struct LoadedImage {
    std::unique_ptr<PstContext> context = std::make_unique<PstContext>();
    int result = -1;
    PstContext& operator*() { return *context; }
    PstContext* operator->() { return context.get(); }
};

inline LoadedImage LoadImage(PstBuilder& pst) {
    LoadedImage loaded;
    OpenPstImage(*loaded.context, pst.Build());
    loaded.result = LoadIndexes(*loaded.context);
    return loaded;
}

// The message store's node, without which no node tree loads.
inline void AddStore(PstBuilder& pst) {
    pst.AddNode(0x21, pst.AddBlock({0x01, 0x02, 0xEC, 0xBC}));
}

// A scratch file removed however the test ends.
struct ScratchPath {
    std::filesystem::path path;
    ~ScratchPath() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
};

}  // namespace kestrel::test
