#include "storage/block_inflate.h"

#include <zlib.h>

#include <climits>

namespace kestrel {

namespace {

// One inflate state per thread, reset between blocks: setting one up costs more than
// inflating a small block.
class Inflater {
  public:
    Inflater() { ready_ = inflateInit(&stream_) == Z_OK; }
    ~Inflater() {
        if (ready_) inflateEnd(&stream_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool Run(std::span<const uint8_t> in, uint8_t* out, size_t outSize) {
        if (!ready_ || inflateReset(&stream_) != Z_OK) return false;
        if (in.size() > UINT_MAX || outSize > UINT_MAX) return false;
        stream_.next_in = const_cast<Bytef*>(in.data());
        stream_.avail_in = static_cast<uInt>(in.size());
        stream_.next_out = out;
        stream_.avail_out = static_cast<uInt>(outSize);
        // The output buffer holds the recorded size and no more: a stream that wants to go
        // on after filling it ends with Z_BUF_ERROR or Z_OK, never past it.
        const int result = inflate(&stream_, Z_FINISH);
        return result == Z_STREAM_END && stream_.total_out == outSize;
    }

  private:
    z_stream stream_{};
    bool ready_ = false;
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
