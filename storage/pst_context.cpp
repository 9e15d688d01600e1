#include "storage/pst_context.h"

#include <algorithm>
#include <cstring>

#include "storage/byte_reader.h"
#include "storage/crc.h"

namespace kestrel {

namespace {

constexpr size_t kHeaderCrcStart = 8;
constexpr size_t kHeaderCrcLength = 471;

// Takes the few header fields the reader uses. A damaged magic or CRC is only noted: it
// must not keep the rest of the file from being read.
void ReadHeader(PstContext& context) {
    context.blocks.Clear();
    context.nodes.Clear();
    context.stats = {};
    context.damagedBlocks.Clear();
    context.blockRootOffset = 0;
    context.nodeRootOffset = 0;
    context.headerFileEof = 0;

    // Bytes the file does not have count as zero, so an empty file has version 0.
    std::vector<uint8_t> header(516, 0);
    context.file.ReadAt(0, header.data(), header.size());
    ByteReader reader(header);

    context.headerMagicValid = std::memcmp(header.data(), "!BDN", 4) == 0;
    context.headerCrcValid =
        reader.U32(4).value_or(0) == PstCrc(header.data() + kHeaderCrcStart, kHeaderCrcLength);
    context.version = reader.U16(10).value_or(0);
    context.variant = VariantFromVersion(context.version, reader.U16(8).value_or(0));
    context.layout = PstLayout::For(context.variant);
    context.cryptMethod = 1;
    if (!context.layout) return;

    const PstLayout& layout = *context.layout;
    context.nodeRootOffset = reader.UInt(layout.nodeRootOffsetPos, layout.idSize).value_or(0);
    context.blockRootOffset = reader.UInt(layout.blockRootOffsetPos, layout.idSize).value_or(0);
    context.headerFileEof = reader.UInt(layout.fileEofPos, layout.idSize).value_or(0);
    uint8_t crypt = reader.U8(layout.cryptMethodPos).value_or(1);
    // An encoding we do not know is most likely a damaged byte over the common one.
    context.cryptMethod = crypt <= 2 ? crypt : 1;
}

}  // namespace

OpenResult OpenPstFile(PstContext& context, const std::string& path, std::string* error) {
    if (!context.file.Open(path, error)) return kOpenFailed;
    try {
        ReadHeader(context);
    } catch (const FileError& e) {
        if (error) *error = e.osError() != 0 ? std::strerror(e.osError()) : e.what();
        context.file.Close();
        return kOpenFailed;
    }
    return kOpenOk;
}

OpenResult OpenPstImage(PstContext& context, std::vector<uint8_t> image) {
    context.file.OpenMemory(std::move(image));
    ReadHeader(context);
    return kOpenOk;
}

size_t AvailableAt(PstContext& context, uint64_t offset, size_t count) {
    return HeldAt(context.file.GetLength(), offset, count);
}

size_t HeldAt(uint64_t length, uint64_t offset, size_t count) {
    return offset >= length ? 0 : static_cast<size_t>(std::min<uint64_t>(count, length - offset));
}

size_t ReadAt(PstContext& context, uint64_t offset, size_t count, std::vector<uint8_t>& buffer) {
    // Never allocate more than the file can give, whatever size the caller took from it. A
    // range inside the size the file had when it was opened needs no fstat: a file that
    // shrank since gives a short read, and the buffer is cut to it below.
    const uint64_t opened = context.file.openedSize();
    const size_t wanted =
        count <= opened && offset <= opened - count ? count : AvailableAt(context, offset, count);
    buffer.resize(wanted);
    if (wanted == 0) return 0;
    size_t got = context.file.ReadAt(offset, buffer.data(), wanted);
    buffer.resize(got);
    return got;
}

}  // namespace kestrel
