#pragma once
// Carving: PST and OST files found by their header at sector boundaries of a range of a
// disk or image, copied out as "carved-<sector>.pst". Carving cannot follow fragments: a
// fragmented file comes back as its first fragment and whatever follows it on the disk.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/raw_device.h"

namespace kestrel {

struct PstHeaderMatch {
    bool ost = false;  // client magic "SO"
    uint16_t version = 0;
    uint64_t fileEof = 0;  // ibFileEof: the size the header gives
};

// The header a sector starts with, when it is one: "!BDN", "SM" or "SO" at 8, wVer 14, 15,
// 23 or 36 (the 4 KB-page layout) at 10.
std::optional<PstHeaderMatch> MatchPstHeader(const uint8_t* sector);

struct CarvedFile {
    uint64_t sector = 0;  // where the header was
    std::filesystem::path path;
    uint64_t size = 0;          // bytes written
    uint64_t declaredSize = 0;  // what the header gives
    bool truncated = false;     // the range ended first
    bool ost = false;
    uint16_t version = 0;
    uint64_t unreadableSectors = 0;  // written as zeros
};

struct CarveReport {
    uint64_t start = 0;
    uint64_t end = 0;  // one past the last sector scanned
    uint64_t scanned = 0;
    uint64_t unreadableSectors = 0;  // in the scan
    std::vector<CarvedFile> files;
    std::vector<std::string> problems;  // headers not carved and why
    uint64_t existing = 0;              // files not carved because one of the name was there
    bool stopped = false;
    std::string error;  // a file could not be written: the carve ended there
};

// Called with the sectors done and the sectors in all.
using CarveProgress = std::function<void(uint64_t done, uint64_t total)>;

// Scans [start, end) (512-byte sectors, end clipped to the source) of source and writes
// what it finds into outDir, never over an existing file. The caller makes sure outDir is
// not on the source (DirOnSource).
CarveReport CarvePstFiles(SectorSource& source, uint64_t start, uint64_t end,
                          const std::filesystem::path& outDir, const CarveProgress& progress = {},
                          const std::atomic<bool>* stop = nullptr);

}  // namespace kestrel
