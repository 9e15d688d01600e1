#include "storage/block_inflate.h"

#include <libdeflate.h>

namespace kestrel {

namespace {

// One decompressor per thread: setting one up costs more than inflating a small block.
// libdeflate checks the zlib header and the Adler-32 of the output, and writes no byte past
// the buffer it is given.
class Inflater {
  public:
    Inflater() : decompressor_(libdeflate_alloc_decompressor()) {}
    ~Inflater() {
        if (decompressor_) libdeflate_free_decompressor(decompressor_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // True when in is a whole zlib stream of exactly outSize bytes: without an "actual size"
    // out-parameter libdeflate fails a stream that gives fewer bytes, as it fails one that
    // would give more.
    bool Run(std::span<const uint8_t> in, uint8_t* out, size_t outSize) {
        return decompressor_ &&
               libdeflate_zlib_decompress(decompressor_, in.data(), in.size(), out, outSize,
                                          nullptr) == LIBDEFLATE_SUCCESS;
    }

  private:
    libdeflate_decompressor* decompressor_;
};

}  // namespace

bool InflateBlock(std::span<const uint8_t> stored, size_t inflatedSize, std::vector<uint8_t>& out) {
    out.clear();
    if (inflatedSize == 0 || inflatedSize > kMaxInflatedBlock || stored.empty()) return false;
    thread_local Inflater inflater;
    out.resize(inflatedSize);
    if (inflater.Run(stored, out.data(), out.size())) return true;
    out.clear();
    return false;
}

}  // namespace kestrel
