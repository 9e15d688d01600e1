#include "cli/analyze_command.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <iostream>
#include <map>
#include <string_view>

#include <fmt/format.h>

#include "cli/analysis_json.h"
#include "cli/progress_bar.h"
#include "engine/analysis.h"
#include "engine/result_views.h"

namespace kestrel::cli {

namespace {

// The labels of the summary panel, in its order.
constexpr std::string_view kCounterOrder[] = {
    kCounterInbox,        kCounterDrafts,     kCounterOutbox,   kCounterSentItems,
    kCounterDeletedItems, kCounterJunkEmails, kCounterJournal,  kCounterTasks,
    kCounterContacts,     kCounterNotes,      kCounterCalendar, kCounterTotalMail};

// The write end of the pipe a run waits on: the stop signals' handler writes 's' to it,
// the run's end 'f'. The reading thread sleeps until one of them comes.
std::atomic<int> wakeFd{-1};

extern "C" void OnStopSignal(int) {
    const int saved = errno;
    const int fd = wakeFd.load();
    const char byte = 's';
    if (fd >= 0) (void)!::write(fd, &byte, 1);
    errno = saved;
}

// The progress bar, which also wakes the waiting thread when the run is over.
class WakingProgressBar : public ProgressBar {
  public:
    using ProgressBar::ProgressBar;
    void Finished(AnalysisStatus status) override {
        ProgressBar::Finished(status);
        const int fd = wakeFd.load();
        const char byte = 'f';
        if (fd >= 0) (void)!::write(fd, &byte, 1);
    }
};

// Ctrl-C and SIGTERM, while it lives, write to the wake pipe instead of ending the process.
class StopSignals {
  public:
    StopSignals() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
        wakeFd = fds_[1];
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        // Interrupted reads of the PST are restarted, not failed.
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, &previousInt_);
        sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &previousInt_, nullptr);
        sigaction(SIGTERM, &previousTerm_, nullptr);
        wakeFd = -1;
        for (int fd : fds_) {
            if (fd >= 0) ::close(fd);
        }
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Sleeps until the run ends ('f') or a stop signal comes ('s').
    char Wait() const {
        char byte = 'f';
        ssize_t got = -1;
        do {
            got = ::read(fds_[0], &byte, 1);
        } while (got < 0 && errno == EINTR);
        return got == 1 ? byte : 'f';
    }

  private:
    int fds_[2] = {-1, -1};
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

// Runs the engine's worker while this thread sleeps until the run ends or Ctrl-C / SIGTERM
// comes, which stops the run the way the Stop button does: what was found so far is kept.
AnalysisStatus RunWithInterrupts(AnalysisEngine& engine, AnalysisOptions options,
                                 const StopSignals& signals) {
    engine.Start(std::move(options));
    // Without a pipe there is nothing to sleep on: the run is simply waited for.
    if (signals.Wait() == 's') engine.Stop();
    engine.Wait();
    return engine.status();
}

// A summary label as the JSON and the text show it: trimmed, single-spaced.
std::string CounterKey(std::string_view label) {
    std::string key;
    for (char c : label) {
        if (c == ' ' && (key.empty() || key.back() == ' ')) continue;
        key += c;
    }
    if (!key.empty() && key.back() == ' ') key.pop_back();
    return key;
}

// Entries of the item lists met in each folder, by folder NID.
struct ListedCounts {
    uint64_t contacts = 0, tasks = 0, notes = 0, journal = 0, calendar = 0;
};

std::map<uint32_t, ListedCounts> CountListed(const AnalysisResult& result) {
    std::map<uint32_t, ListedCounts> counts;
    for (const auto& e : result.contacts) ++counts[e.folderNid].contacts;
    for (const auto& e : result.tasks) ++counts[e.folderNid].tasks;
    for (const auto& e : result.notes) ++counts[e.folderNid].notes;
    for (const auto& e : result.journal) ++counts[e.folderNid].journal;
    for (const auto& e : result.calendar) ++counts[e.folderNid].calendar;
    return counts;
}

std::string ListedText(const ListedCounts& c) {
    std::string text;
    auto add = [&](uint64_t n, std::string_view what) {
        if (n == 0) return;
        // The first number lines up under the mail counts.
        text += text.empty() ? fmt::format("{:>6} {}", n, what) : fmt::format(", {} {}", n, what);
    };
    add(c.contacts, "contacts");
    add(c.calendar, "appointments");
    add(c.tasks, "tasks");
    add(c.notes, "notes");
    add(c.journal, "journal entries");
    return text.empty() ? "     -" : text;
}

void PrintWarnings(std::FILE* out, const AnalysisResult& result) {
    if (result.warnings.empty()) return;
    fmt::print(out, "\nWarnings:\n");
    for (const auto& warning : result.warnings) fmt::print(out, "  - {}\n", warning);
}

}  // namespace

std::string CannotOpenText(const std::string& path, const std::string& reason) {
    return fmt::format("cannot open \"{}\": {}", path, reason);
}

std::string NotPstText(const std::string& path, uint32_t version) {
    return fmt::format("{}: not a PST file (unknown format version {})", path, version);
}

int CheckedOutput(int exitCode) {
    if (!std::cout.good() || std::ferror(stdout)) {
        fmt::print(stderr, "kestrel-cli: the output could not be written\n");
        return 1;
    }
    return exitCode;
}

std::string FailureText(const AnalysisResult& result) {
    if (result.error == kMsgFileInUse) return CannotOpenText(result.file, result.openFailure);
    if (result.variant == PstVariant::Unknown) return NotPstText(result.file, result.version);
    return fmt::format("{}: {}", result.file, result.error);
}

CLI::App* AddAnalyzeCommand(CLI::App& app, AnalyzeArgs& args) {
    CLI::App* analyze = app.add_subcommand(
        "analyze", "rebuild the folders and list every message and item the file still holds");
    analyze->add_option("FILE", args.file, "the PST file")->required();
    analyze->add_flag("--json", args.json, "print one JSON object");
    analyze->add_flag("--restore-deleted", args.restoreDeleted,
                      "file messages no folder leads to under \"Recovered Items\"");
    CLI::Option* deep = analyze->add_flag(
        "--deep", args.deep, "rebuild the indexes by scanning the file's pages and blocks");
    analyze->add_flag("--no-deep", args.noDeep, "no scan of a file whose B-trees are damaged")
        ->excludes(deep);
    analyze->add_flag("--quiet", args.quiet, "no progress bar");
    return analyze;
}

void PrintSummary(std::FILE* out, const AnalysisResult& result) {
    fmt::print(out, "File:      {}\n", result.file);
    fmt::print(out, "Version:   {} ({})\n", result.version, VariantName(result.variant));
    fmt::print(out, "Status:    {}\n", StatusName(result.status));
    if (result.scan) {
        const DeepScanReport& scan = *result.scan;
        fmt::print(out, "Scan:      {}{}: {} pages, {} blocks; {} blocks, {} nodes added\n",
                   ScanReasonName(scan.reason), scan.guessed ? " (layout guessed)" : "", scan.pages,
                   scan.blocks, scan.blocksAdded, scan.nodesAdded);
    }
    if (result.status == AnalysisStatus::Error) {
        // What failed and why, in the system's words; a table of zero counters would read
        // as an empty mailbox.
        fmt::print(out, "Error:     {}\n", FailureText(result));
        PrintWarnings(out, result);
        return;
    }

    if (!result.folders.empty()) {
        fmt::print(out, "\nFolders:\n");
        const auto listed = CountListed(result);
        struct Line {
            std::string name;
            std::string count;
        };
        std::vector<Line> lines;
        size_t width = 0;
        for (const auto& folder : result.folders.entries()) {
            // "Personal Folders\Inbox\Sub\": three levels, named "Sub".
            std::string_view path = folder.path;
            if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
            const size_t cut = path.rfind('\\');
            const size_t depth = std::count(path.begin(), path.end(), '\\');
            std::string name(cut == std::string_view::npos ? path : path.substr(cut + 1));
            if (name.empty()) name = "(no name)";
            Line line{std::string(2 * depth, ' ') + LineCleanUp(name), {}};
            if (folder.mail) {
                line.count = fmt::format("{:>6} mail", folder.messages.size());
            } else {
                const auto it = listed.find(folder.folderNid);
                line.count = it == listed.end() ? "     -" : ListedText(it->second);
            }
            width = std::max(width, Utf8Length(line.name));
            lines.push_back(std::move(line));
        }
        for (const auto& line : lines) {
            const std::string pad(width - Utf8Length(line.name) + 2, ' ');
            fmt::print(out, "  {}{}{}\n", line.name, pad, line.count);
        }
    }

    fmt::print(out, "\nCounters:\n");
    for (std::string_view label : kCounterOrder) {
        const uint64_t value = result.counters.Get(label).value_or(0);
        if (label == kCounterTotalMail) {
            // Not a message count: the screen's number of nodes walked up to the last mail
            // folder, which differs from the messages listed.
            fmt::print(out,
                       "  {:<14}{}  (nodes walked up to the last mail folder; {} messages "
                       "listed)\n",
                       CounterKey(label), value, result.folders.MessageCount());
        } else {
            fmt::print(out, "  {:<14}{}\n", CounterKey(label), value);
        }
    }
    fmt::print(out,
               "\nMessages:  {} in {} folders; {} contacts, {} appointments, {} tasks, "
               "{} notes, {} journal entries\n",
               result.folders.MessageCount(), result.folders.size(), result.contacts.size(),
               result.calendar.size(), result.tasks.size(), result.notes.size(),
               result.journal.size());
    if (result.restoredCount) {
        fmt::print(out, "Restored:  {} messages under {}\n", result.restoredCount,
                   kRecoveredFolderPath);
    }
    PrintWarnings(out, result);
}

int RunAnalyze(const AnalyzeArgs& args) {
    const bool bar = !args.quiet && isatty(fileno(stderr));
    const StopSignals signals;
    WakingProgressBar progress(stderr, bar);
    AnalysisEngine engine(&progress);

    AnalysisOptions options;
    options.sourcePstPath = args.file;  // opened as given
    options.restoreDeleted = args.restoreDeleted;
    options.deepScan = args.deep     ? DeepScanMode::Always
                       : args.noDeep ? DeepScanMode::Never
                                     : DeepScanMode::Automatic;
    // The activity log records the wizard's steps; a batch run leaves it alone.
    options.writeLog = false;
    const AnalysisStatus status = RunWithInterrupts(engine, std::move(options), signals);

    int exitCode = 0;
    engine.ReadResult([&](const AnalysisResult& result) {
        if (args.json) {
            WriteAnalysisJson(std::cout, result);
            std::cout.flush();
        } else {
            PrintSummary(stdout, result);
            std::fflush(stdout);
        }
        if (status == AnalysisStatus::Error) {
            // The JSON keeps the engine's text.
            fmt::print(stderr, "kestrel-cli: {}\n", FailureText(result));
            exitCode = 1;
        } else if (status == AnalysisStatus::Stopped) {
            fmt::print(stderr, "kestrel-cli: analysis stopped; the results so far are shown\n");
            exitCode = 1;
        }
    });
    return CheckedOutput(exitCode);
}

}  // namespace kestrel::cli
