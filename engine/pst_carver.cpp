#include "engine/pst_carver.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <fmt/format.h>

#include "platform/file_io.h"
#include "storage/byte_reader.h"

namespace kestrel {

namespace {

// Sectors read at a time: 1 MiB.
constexpr uint32_t kBlockSectors = 2048;
// Smaller than any file the header's own layout allows.
constexpr uint64_t kMinFileSize = 512;

bool Stopped(const std::atomic<bool>* stop) {
    return stop && stop->load(std::memory_order_relaxed);
}

// Reads count sectors at sector into out; what cannot be read in 40-sector chunks is left
// zero and marked in readable (one flag per chunk). Returns the unreadable sectors.
uint64_t ReadTolerant(SectorSource& source, uint64_t sector, uint32_t count, uint8_t* out,
                      std::vector<bool>& readable) {
    const uint32_t chunks = (count + kSectorsPerChunk - 1) / kSectorsPerChunk;
    readable.assign(chunks, true);
    if (source.ReadSectors(sector, count, out)) return 0;
    uint64_t lost = 0;
    for (uint32_t c = 0; c < chunks; ++c) {
        const uint32_t first = c * kSectorsPerChunk;
        const uint32_t n = std::min(kSectorsPerChunk, count - first);
        uint8_t* at = out + size_t{first} * kSectorSize;
        if (!source.ReadSectors(sector + first, n, at)) {
            std::memset(at, 0, size_t{n} * kSectorSize);
            readable[c] = false;
            lost += n;
        }
    }
    return lost;
}

class Carver {
  public:
    Carver(SectorSource& source, const std::filesystem::path& outDir, const std::atomic<bool>* stop,
           CarveReport& report)
        : source_(source),
          outDir_(outDir),
          stop_(stop),
          report_(report),
          buffer_(size_t{kBlockSectors} * kSectorSize),
          copy_(buffer_.size()) {}

    void Scan(const CarveProgress& progress) {
        std::vector<bool> readable;
        for (uint64_t at = report_.start; at < report_.end;) {
            if (Stopped(stop_)) {
                report_.stopped = true;
                return;
            }
            const auto count =
                static_cast<uint32_t>(std::min<uint64_t>(kBlockSectors, report_.end - at));
            report_.unreadableSectors += ReadTolerant(source_, at, count, buffer_.data(), readable);
            for (uint32_t s = 0; s < count; ++s) {
                if (!readable[s / kSectorsPerChunk]) continue;
                const auto match = MatchPstHeader(buffer_.data() + size_t{s} * kSectorSize);
                if (match && !Carve(at + s, *match)) return;
            }
            at += count;
            report_.scanned = at - report_.start;
            if (progress) progress(report_.scanned, report_.end - report_.start);
        }
    }

  private:
    // Copies the file whose header is at sector; false when writing failed (which ends
    // the carve: the next file would fail the same way).
    bool Carve(uint64_t sector, const PstHeaderMatch& match) {
        if (match.fileEof < kMinFileSize) {
            report_.problems.push_back(
                fmt::format("sector {}: a PST header without a usable file size ({}), not carved",
                            sector, match.fileEof));
            return true;
        }
        CarvedFile file;
        file.sector = sector;
        file.ost = match.ost;
        file.version = match.version;
        file.declaredSize = match.fileEof;
        const uint64_t available = (report_.end - sector) * kSectorSize;
        file.size = std::min(match.fileEof, available);
        file.truncated = match.fileEof > available;
        file.path = outDir_ / fmt::format("carved-{}.pst", sector);
        const int fd = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) {
                report_.problems.push_back(fmt::format(
                    "sector {}: {} exists already, not overwritten", sector, file.path.string()));
                ++report_.existing;
                return true;
            }
            report_.error =
                fmt::format("cannot create {}: {}", file.path.string(), std::strerror(errno));
            return false;
        }
        std::vector<bool> readable;
        bool written = true;
        for (uint64_t done = 0; done < file.size && written;) {
            if (Stopped(stop_)) break;
            const uint64_t bytes = std::min<uint64_t>(copy_.size(), file.size - done);
            const auto sectors = static_cast<uint32_t>((bytes + kSectorSize - 1) / kSectorSize);
            file.unreadableSectors +=
                ReadTolerant(source_, sector + done / kSectorSize, sectors, copy_.data(), readable);
            written = WriteAll(fd, {reinterpret_cast<const char*>(copy_.data()), bytes});
            done += bytes;
        }
        const int saved = errno;
        if (::close(fd) != 0 && written) written = false;
        if (!written) {
            report_.error =
                fmt::format("cannot write {}: {}", file.path.string(), std::strerror(saved));
            ::unlink(file.path.c_str());
            return false;
        }
        if (Stopped(stop_)) {
            // Half a file is not what the header promised: it goes.
            ::unlink(file.path.c_str());
            report_.stopped = true;
            return false;
        }
        report_.files.push_back(std::move(file));
        return true;
    }

    SectorSource& source_;
    const std::filesystem::path& outDir_;
    const std::atomic<bool>* stop_;
    CarveReport& report_;
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> copy_;
};

}  // namespace

std::optional<PstHeaderMatch> MatchPstHeader(const uint8_t* sector) {
    const ByteReader reader(sector, kSectorSize);
    if (std::memcmp(sector, "!BDN", 4) != 0) return std::nullopt;
    PstHeaderMatch match;
    if (sector[8] == 'S' && sector[9] == 'M') {
        match.ost = false;
    } else if (sector[8] == 'S' && sector[9] == 'O') {
        match.ost = true;
    } else {
        return std::nullopt;
    }
    match.version = reader.U16(10).value_or(0);
    // 36 is the 4 KB-page offline store; its header keeps the Unicode offsets.
    if (match.version == 23 || match.version == 36) {
        match.fileEof = reader.U64(184).value_or(0);
    } else if (match.version == 14 || match.version == 15) {
        match.fileEof = reader.U32(168).value_or(0);
    } else {
        return std::nullopt;
    }
    return match;
}

CarveReport CarvePstFiles(SectorSource& source, uint64_t start, uint64_t end,
                          const std::filesystem::path& outDir, const CarveProgress& progress,
                          const std::atomic<bool>* stop) {
    CarveReport report;
    report.end = std::min(end, source.SectorCount());
    report.start = std::min(start, report.end);
    Carver(source, outDir, stop, report).Scan(progress);
    return report;
}

}  // namespace kestrel
