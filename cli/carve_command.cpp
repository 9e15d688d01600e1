#include "cli/carve_command.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "cli/analyze_command.h"
#include "cli/progress_bar.h"
#include "platform/disk_table.h"
#include "platform/raw_device.h"

namespace kestrel::cli {

namespace fs = std::filesystem;

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void OnCarveStop(int) {
    stopRequested = true;
}

// Ctrl-C and SIGTERM stop the carve after the file being written, while this lives.
class CarveSignals {
  public:
    CarveSignals() {
        stopRequested = false;
        struct sigaction action {};
        action.sa_handler = OnCarveStop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, &previousInt_);
        sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~CarveSignals() {
        sigaction(SIGINT, &previousInt_, nullptr);
        sigaction(SIGTERM, &previousTerm_, nullptr);
    }
    CarveSignals(const CarveSignals&) = delete;
    CarveSignals& operator=(const CarveSignals&) = delete;

  private:
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

// The nearest folder of path that exists (path itself when it does).
fs::path ExistingAncestor(const fs::path& path) {
    std::error_code ec;
    fs::path at = fs::absolute(path, ec);
    for (int depth = 0; depth < 4096 && !at.empty(); ++depth) {
        if (fs::exists(at, ec)) return at;
        if (at == at.parent_path()) break;
        at = at.parent_path();
    }
    return at;
}

std::string SizeText(uint64_t bytes) {
    if (bytes < 1024 * 1024) return fmt::format("{} bytes", bytes);
    return fmt::format("{:.1f} MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

}  // namespace

CLI::App* AddCarveCommand(CLI::App& app, CarveArgs& args) {
    CLI::App* command = app.add_subcommand(
        "carve", "copy out the PST files whose headers sit in a sector range of a disk or image");
    command->add_option("DEVICE_OR_IMAGE", args.device, "a block device or a disk image file")
        ->required();
    command
        ->add_option("--out", args.out, "the folder the files are written to (carved-<sector>.pst)")
        ->required();
    command->add_option("--start", args.start, "first sector (512-byte units; default 0)");
    command->add_option("--end", args.end,
                        "one past the last sector, as the partition list shows it (default: the "
                        "end of the device)");
    command->add_flag("--json", args.json, "print one JSON object");
    command->add_flag("--quiet", args.quiet, "no progress bar");
    command->footer(
        "Each header found gives the file's size; a file that reaches past the range end is "
        "cut there and flagged truncated. Carving cannot follow fragments: a fragmented file "
        "comes back as its first fragment and whatever follows it on the disk (analyze --deep "
        "reads what such a file still holds). Nothing is written to the device or image, and "
        "DIR may not be on it. Existing files are never overwritten.");
    return command;
}

nlohmann::ordered_json CarveJson(const std::string& device, const CarveReport& report) {
    nlohmann::ordered_json out;
    out["device"] = device;
    out["start"] = report.start;
    out["end"] = report.end;
    out["scanned"] = report.scanned;
    out["unreadableSectors"] = report.unreadableSectors;
    out["stopped"] = report.stopped;
    out["error"] =
        report.error.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(report.error);
    out["files"] = nlohmann::ordered_json::array();
    for (const CarvedFile& file : report.files) {
        nlohmann::ordered_json entry;
        entry["path"] = file.path.string();
        entry["sector"] = file.sector;
        entry["size"] = file.size;
        entry["declaredSize"] = file.declaredSize;
        entry["truncated"] = file.truncated;
        entry["kind"] = file.ost ? "ost" : "pst";
        entry["version"] = file.version;
        entry["unreadableSectors"] = file.unreadableSectors;
        out["files"].push_back(std::move(entry));
    }
    out["problems"] = report.problems;
    return out;
}

int RunCarveCommand(const CarveArgs& args) {
    if (args.end && *args.end <= args.start) {
        fmt::print(stderr, "kestrel-cli: --end ({}) must be greater than --start ({})\n", *args.end,
                   args.start);
        return 2;
    }
    RawDevice device;
    std::string reason;
    if (!device.Open(args.device, &reason)) {
        fmt::print(stderr, "kestrel-cli: {}\n", CannotOpenText(args.device, reason));
        return 1;
    }
    const uint64_t sectors = device.SectorCount();
    if (args.start >= sectors) {
        fmt::print(stderr, "kestrel-cli: {}: the range starts past the end ({} sectors)\n",
                   args.device, sectors);
        return 1;
    }
    uint64_t end = args.end.value_or(sectors);
    if (end > sectors) {
        fmt::print(stderr, "kestrel-cli: {}: the range is cut at the end of the device ({})\n",
                   args.device, sectors);
        end = sectors;
    }

    // Check before anything is created: even a new folder would be written onto the disk.
    std::string why;
    if (DirOnSource(ExistingAncestor(args.out), args.device, &why)) {
        fmt::print(stderr,
                   "kestrel-cli: refused: {}; writing there could overwrite what is "
                   "being recovered\n",
                   why);
        return 1;
    }
    std::error_code ec;
    fs::create_directories(args.out, ec);
    if (ec || !fs::is_directory(args.out)) {
        fmt::print(stderr, "kestrel-cli: cannot create \"{}\": {}\n", args.out,
                   ec ? ec.message() : "not a folder");
        return 1;
    }
    if (DirOnSource(args.out, args.device, &why)) {
        fmt::print(stderr,
                   "kestrel-cli: refused: {}; writing there could overwrite what is "
                   "being recovered\n",
                   why);
        return 1;
    }

    ProgressBar bar(stderr, !args.quiet && ::isatty(STDERR_FILENO));
    CarveReport report;
    {
        CarveSignals signals;
        report = CarvePstFiles(
            device, args.start, end, args.out,
            [&](uint64_t done, uint64_t total) {
                bar.ScanProgress(done * kSectorSize, total * kSectorSize);
            },
            &stopRequested);
        bar.Finished(report.stopped ? AnalysisStatus::Stopped : AnalysisStatus::Completed);
    }

    if (args.json) {
        const auto out = CarveJson(args.device, report);
        fmt::print("{}\n", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        fmt::print("Device:      {}\n", args.device);
        fmt::print("Sectors:     {} to {} ({} scanned, {} unreadable)\n", report.start, report.end,
                   report.scanned, report.unreadableSectors);
        fmt::print("Carved:      {} file(s) into {}\n", report.files.size(), args.out);
        for (const CarvedFile& file : report.files) {
            fmt::print(
                "  {}  sector {}, {}, {} version {}{}{}\n", file.path.filename().string(),
                file.sector, SizeText(file.size), file.ost ? "OST" : "PST", file.version,
                file.truncated
                    ? fmt::format(", truncated (the header gives {} bytes)", file.declaredSize)
                    : "",
                file.unreadableSectors ? fmt::format(", {} unreadable sectors written as zeros",
                                                     file.unreadableSectors)
                                       : "");
        }
        if (!report.problems.empty()) {
            fmt::print("\nProblems:\n");
            for (const auto& problem : report.problems) fmt::print("  - {}\n", problem);
        }
    }
    if (!report.error.empty() || report.stopped) {
        std::fflush(stdout);
        fmt::print(
            stderr, "kestrel-cli: {}\n",
            report.error.empty() ? "stopped: the rest of the range was not scanned" : report.error);
        return CheckedOutput(1);
    }
    if (report.existing > 0) {
        std::fflush(stdout);
        fmt::print(stderr, "kestrel-cli: {} file(s) not carved: a file of the name exists in {}\n",
                   report.existing, args.out);
        return CheckedOutput(1);
    }
    return CheckedOutput(0);
}

}  // namespace kestrel::cli
