#pragma once
// Reads block contents: a block as the index records it, the decoded read (permutation
// or cyclic encoding), and data trees (XBLOCK, XXBLOCK) reassembled into one buffer.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "storage/pst_context.h"

namespace kestrel {

// Upper bound on the bytes one node's data tree may produce, whatever the file claims.
inline constexpr size_t kMaxNodeDataSize = 256u * 1024 * 1024;

// Reads the record's block, undecoded, into out (resized to the bytes actually read) and
// returns that count: cb bytes at ib, or for a block stored deflated the bytes they inflate
// to. A deflated block that does not inflate to its recorded size reads as nothing and is
// noted in context.damagedBlocks.
size_t ReadBlockRecord(PstContext& context, const BlockRecord& record, std::vector<uint8_t>& out);

// ReadBlockRecord of the BID's record; 0 (out left alone) when the BID is not in the index.
size_t ReadBlock(PstContext& context, uint64_t bid, std::vector<uint8_t>& out);

// ReadBlock, then the decoding of the file's crypt method (for a deflated block, before or
// after inflating it, whichever gives a sound stream). 0 when the stop flag is set.
size_t ReadDecodedBlock(PstContext& context, uint64_t bid, std::vector<uint8_t>& out);

enum DecodeResult : int {
    kDecodeOk = 0,
    kDecodeRefused = -1,  // nothing touched
};

// Permutation decoding in place (mpbbI). kDecodeRefused when buffer is null or method is
// not 1.
DecodeResult DecodePermute(uint8_t* buffer, size_t length, uint32_t method);
// The cyclic decoding in place; key is the low 32 bits of the block's BID.
void DecodeCyclic(uint8_t* buffer, size_t length, uint32_t key);
// Decodes a data block of the context's crypt method in place.
void DecodeBlockData(const PstContext& context, uint64_t bid, uint8_t* buffer, size_t length);

// The data blocks of a node's data, decoded, in order: one block for an external BID,
// the leaves of the XBLOCK/XXBLOCK tree for an internal one. Returns the total size.
size_t ReadDataBlocks(PstContext& context, const BlockRecord* block,
                      std::vector<std::vector<uint8_t>>& blocks);

// What ReadDataBlocks would return for block, reading only the tree's own blocks: each data
// block below it counts with the bytes the file holds for it, unread and undecoded.
size_t MeasureDataBlocks(PstContext& context, const BlockRecord* block);

// The data tree below bid, concatenated into out. Returns the total size (0 on failure).
size_t ReadDataTree(PstContext& context, uint64_t bid, std::vector<uint8_t>& out);

// The whole data of a block record (single block or data tree) in out. Returns its size.
size_t ReadNodeData(PstContext& context, const BlockRecord* block, std::vector<uint8_t>& out);

// The data of a block record handed to take one data block at a time, decoded, in order:
// what ReadNodeData would give, without joining it. Returns its size, 0 where ReadNodeData
// would fail (take may then have had part of it).
using PieceTaker = std::function<void(std::span<const uint8_t>)>;
size_t VisitNodeData(PstContext& context, const BlockRecord* block, const PieceTaker& take);

// The first bytes of a block record's data: the data blocks are read into out until it holds
// at least wanted bytes (whole blocks, or all there are), the rest only measured. Returns the
// size ReadNodeData would give, 0 where it would fail.
size_t PeekNodeData(PstContext& context, const BlockRecord* block, size_t wanted,
                    std::vector<uint8_t>& out);

}  // namespace kestrel
