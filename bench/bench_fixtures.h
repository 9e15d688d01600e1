#pragma once
// Inputs the micro-benchmarks share, built once per process with the test builders: a
// node database of many small nodes, a mailbox of ordinary messages, text in several
// scripts and compressed RTF with real back-references.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "items/item_context.h"
#include "storage/pst_context.h"
#include "storage/pst_layout.h"

namespace kestrel::bench {

// A small deterministic generator, so that every run measures the same bytes.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    uint64_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }
    bool Chance(unsigned percent) { return Below(100) < percent; }

  private:
    uint64_t state_;
};

// A file image whose node tree holds `nodes` message nodes under folders of 1,000, each
// with a data block of its own, and every third with a subnode block too.
const std::vector<uint8_t>& IndexImage(PstVariant variant, size_t nodes);

// A mailbox of ordinary mail: bodies of a few hundred bytes to 60 KB, a third with an
// HTML body, a fifth with compressed RTF, a quarter with one or two attachments of up to
// 64 KB; subjects and bodies partly in non-Latin scripts.
struct Mailbox {
    std::vector<uint8_t> image;
    std::vector<uint32_t> messages;  // NIDs of the messages
    uint32_t folder = 0;             // the folder that holds them
    size_t messageCount = 0;
};
const Mailbox& TypicalMailbox(PstVariant variant, size_t messages = 400);

// The image written to a file under the bench folder (reads then go through pread).
std::filesystem::path ImageFile(const std::vector<uint8_t>& image, const std::string& name);

// An open, loaded file over image: indexes and named-property map.
struct LoadedFile {
    std::unique_ptr<PstContext> storage;
    std::unique_ptr<ItemContext> items;  // over *storage
};
LoadedFile OpenLoaded(const std::vector<uint8_t>& image);

// Text of about `size` bytes of UTF-8: "ascii" (English), "latin" (accented Latin),
// "mixed" (Latin, Cyrillic, Greek, CJK, an emoji now and then).
std::string SampleText(const std::string& kind, size_t size, uint64_t seed = 1);
// UTF-8 to UTF-16LE.
std::vector<uint8_t> ToUtf16(const std::string& utf8);

// An RTF document of about `size` bytes, and its LZFu compression with back-references.
std::string SampleRtf(size_t size, uint64_t seed = 1);
std::vector<uint8_t> CompressLzfu(const std::string& rtf);

}  // namespace kestrel::bench
