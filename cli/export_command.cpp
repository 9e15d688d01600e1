#include "cli/export_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "cli/analyze_command.h"
#include "cli/progress_bar.h"
#include "engine/analysis.h"

namespace kestrel::cli {

namespace {

std::atomic<int> exportWakeFd{-1};

std::string_view FormatName(ExportFormat format) {
    switch (format) {
        case ExportFormat::Mbox:
            return "mbox";
        case ExportFormat::Pst:
            return "pst";
        default:
            return "eml";
    }
}

extern "C" void OnExportStopSignal(int) {
    const int saved = errno;
    const int fd = exportWakeFd.load();
    const char byte = 's';
    if (fd >= 0) (void)!::write(fd, &byte, 1);
    errno = saved;
}

// Ctrl-C and SIGTERM stop the analysis or the save the way the Stop button does; a watcher
// thread turns the signal into the stop request (which takes a lock, so not in the handler)
// and draws the saving progress.
class StopWatcher {
  public:
    StopWatcher(AnalysisEngine& engine, RunControl& saving, bool progress)
        : engine_(engine), saving_(saving), progress_(progress) {
        if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
        exportWakeFd = fds_[1];
        struct sigaction action {};
        action.sa_handler = OnExportStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, &previousInt_);
        sigaction(SIGTERM, &action, &previousTerm_);
        if (fds_[0] >= 0) thread_ = std::thread([this] { Watch(); });
    }
    ~StopWatcher() {
        done_ = true;
        if (fds_[1] >= 0) {
            const char byte = 'q';
            (void)!::write(fds_[1], &byte, 1);
        }
        if (thread_.joinable()) thread_.join();
        sigaction(SIGINT, &previousInt_, nullptr);
        sigaction(SIGTERM, &previousTerm_, nullptr);
        exportWakeFd = -1;
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    StopWatcher(const StopWatcher&) = delete;
    StopWatcher& operator=(const StopWatcher&) = delete;

    void SavingStarted() { savingStarted_ = true; }
    // Ends the progress line before the summary is printed.
    void SavingEnded() {
        std::lock_guard lock(drawMutex_);
        savingStarted_ = false;
        if (drawn_) {
            fmt::print(stderr, "\n");
            std::fflush(stderr);
            drawn_ = false;
        }
    }
    bool StopSeen() const { return stopSeen_; }

  private:
    void Watch() {
        while (!done_) {
            pollfd entry{fds_[0], POLLIN, 0};
            const int ready = ::poll(&entry, 1, 250);
            if (ready > 0) {
                char byte = 0;
                if (::read(fds_[0], &byte, 1) == 1 && byte == 's') {
                    stopSeen_ = true;
                    engine_.RequestStop();
                    saving_.RequestStop();
                }
                continue;
            }
            std::lock_guard lock(drawMutex_);
            if (progress_ && savingStarted_) {
                const SavingValues values = ReadSavingValues();
                fmt::print(stderr, "\rSaving {:<30.30} {}   ", values.SavingFolderName,
                           values.SavingMailCountText);
                std::fflush(stderr);
                drawn_ = true;
            }
        }
    }

    AnalysisEngine& engine_;
    RunControl& saving_;
    bool progress_;
    int fds_[2] = {-1, -1};
    std::atomic<bool> done_{false};
    std::atomic<bool> savingStarted_{false};
    std::atomic<bool> stopSeen_{false};
    std::mutex drawMutex_;
    bool drawn_ = false;
    std::thread thread_;
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

void PrintSummaryText(const ExportSummary& summary) {
    fmt::print("Source:       {}\n", summary.source);
    fmt::print("Destination:  {}\n", summary.destination);
    fmt::print("Format:       {}\n", FormatName(summary.format));
    fmt::print("Outcome:      {}\n", OutcomeName(summary.outcome));
    fmt::print("Messages:     {} of {} written, {} unreadable\n", summary.messagesWritten,
               summary.messagesTotal, summary.unreadable.size());
    fmt::print("Other items:  {} written (contacts, calendar, tasks, notes, journal)\n",
               summary.otherItemsWritten);
    if (!summary.existing.empty())
        fmt::print("Existing:     {} file(s) left as they were\n", summary.existing.size());
    if (!summary.reportPath.empty()) fmt::print("Report:       {}\n", summary.reportPath);
}

}  // namespace

CLI::App* AddExportCommand(CLI::App& app, ExportArgs& args) {
    CLI::App* command = app.add_subcommand(
        "export", "save the recovered messages as EML files or mbox folders, with a report");
    command->add_option("FILE", args.file, "the PST file")->required();
    command
        ->add_option("--out", args.out,
                     "the destination folder (made when missing); for pst also NEW.pst")
        ->required();
    command
        ->add_option("--format", args.format,
                     "eml (one file per message), mbox, or pst (a repaired PST file)")
        ->check(CLI::IsMember({"eml", "mbox", "pst"}));
    command->add_option("--crypt", args.crypt, "pst: how its blocks are encoded (none|permute)")
        ->check(CLI::IsMember({"none", "permute"}));
    command->add_flag("--restore-deleted", args.restoreDeleted,
                      "file messages no folder leads to under \"Recovered Items\" and save them");
    CLI::Option* deep = command->add_flag(
        "--deep", args.deep, "rebuild the indexes by scanning the file's pages and blocks");
    command->add_flag("--no-deep", args.noDeep, "no scan of a file whose B-trees are damaged")
        ->excludes(deep);
    command->add_flag("--overwrite", args.overwrite, "replace files that exist");
    command->add_flag("--json", args.json, "print the summary as one JSON object");
    command->add_flag("--quiet", args.quiet, "no progress bar");
    return command;
}

nlohmann::ordered_json ExportSummaryJson(const ExportSummary& summary) {
    nlohmann::ordered_json out;
    out["file"] = summary.source;
    out["destination"] = summary.destination;
    out["format"] = FormatName(summary.format);
    out["status"] = OutcomeName(summary.outcome);
    out["error"] = summary.failure.empty() ? nlohmann::ordered_json()
                                           : nlohmann::ordered_json(summary.failure);
    out["messages"] = summary.messagesTotal;
    out["written"] = summary.messagesWritten;
    out["otherItems"] = summary.otherItemsWritten;
    out["report"] = summary.reportPath.empty() ? nlohmann::ordered_json()
                                               : nlohmann::ordered_json(summary.reportPath);
    nlohmann::ordered_json folders = nlohmann::ordered_json::array();
    for (const ExportedFolder& folder : summary.folders) {
        folders.push_back({{"path", folder.path},
                           {"output", folder.output},
                           {"written", folder.written},
                           {"unreadable", folder.unreadable}});
    }
    out["folders"] = std::move(folders);
    nlohmann::ordered_json unreadable = nlohmann::ordered_json::array();
    for (const UnreadableItem& item : summary.unreadable)
        unreadable.push_back({{"nid", item.nid}, {"folder", item.folder}, {"reason", item.reason}});
    out["unreadable"] = std::move(unreadable);
    out["existing"] = summary.existing;
    out["problems"] = summary.problems;
    return out;
}

int RunExportCommand(const ExportArgs& args) {
    // A file-size limit makes write() fail with EFBIG instead of killing the process, so
    // the save ends as a failure with its reason.
    ::signal(SIGXFSZ, SIG_IGN);
    const bool bar = !args.quiet && isatty(fileno(stderr));
    ProgressBar progress(stderr, bar);
    AnalysisEngine engine(&progress);
    RunControl saving;
    StopWatcher watcher(engine, saving, bar);

    AnalysisOptions options;
    options.sourcePstPath = args.file;
    options.restoreDeleted = args.restoreDeleted;
    options.deepScan = args.deep     ? DeepScanMode::Always
                       : args.noDeep ? DeepScanMode::Never
                                     : DeepScanMode::Automatic;
    options.writeLog = false;
    // Every message is read again in full to be written: the lists need no details.
    options.listDetails = false;
    engine.Start(std::move(options));
    engine.Wait();
    const AnalysisStatus status = engine.status();
    const std::shared_ptr<ItemSource> source = engine.itemSource();

    int exitCode = 0;
    engine.ReadResult([&](const AnalysisResult& result) {
        if (status == AnalysisStatus::Error || !source) {
            fmt::print(stderr, "kestrel-cli: {}\n", FailureText(result));
            exitCode = 1;
            return;
        }
        if (status == AnalysisStatus::Stopped || watcher.StopSeen()) {
            fmt::print(stderr, "kestrel-cli: analysis stopped; nothing was saved\n");
            exitCode = 1;
            return;
        }
        ExportOptions exportOptions;
        exportOptions.destination = args.out;
        exportOptions.format = args.format == "mbox"  ? ExportFormat::Mbox
                               : args.format == "pst" ? ExportFormat::Pst
                                                      : ExportFormat::Eml;
        exportOptions.cryptMethod = args.crypt == "none" ? 0 : 1;
        exportOptions.overwrite = args.overwrite;
        watcher.SavingStarted();
        const ExportSummary summary = RunExport(result, *source, exportOptions, saving);
        watcher.SavingEnded();
        if (args.json) {
            std::cout << ExportSummaryJson(summary).dump(-1, ' ', false,
                                                         nlohmann::json::error_handler_t::replace)
                      << '\n';
            std::cout.flush();
        } else {
            PrintSummaryText(summary);
            std::fflush(stdout);
        }
        if (summary.outcome == ExportOutcome::Failed) {
            fmt::print(stderr, "kestrel-cli: {}\n", summary.failure);
            exitCode = 1;
        } else if (summary.outcome == ExportOutcome::Stopped) {
            fmt::print(stderr, "kestrel-cli: save stopped; the files written so far are whole\n");
            exitCode = 1;
        } else if (!summary.existing.empty()) {
            fmt::print(stderr,
                       "kestrel-cli: {} file(s) existed and were left as they were (--overwrite "
                       "replaces them)\n",
                       summary.existing.size());
            exitCode = 1;
        }
    });
    return CheckedOutput(exitCode);
}

}  // namespace kestrel::cli
