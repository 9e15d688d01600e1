#include "cli/analyze_command.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

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

// Runs the engine's worker while this thread waits for it or for Ctrl-C / SIGTERM, which
// stop the run the way the Stop button does: what was found so far is kept.
AnalysisStatus RunWithInterrupts(AnalysisEngine& engine, AnalysisOptions options) {
    sigset_t stopSignals, previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Blocked before the worker starts, so that it inherits the mask and only this thread
    // takes the signals.
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    engine.Start(std::move(options));
    bool interrupted = false;
    while (engine.Running()) {
        // Short enough that a small file's run does not wait on the poll: the worker's end
        // is noticed within 10 ms, for about a hundred wake-ups a second.
        const timespec wait{0, 10'000'000};
        if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) {
            interrupted = true;
            engine.Stop();
            break;
        }
    }
    engine.Wait();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return interrupted ? AnalysisStatus::Stopped : engine.status();
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

}  // namespace

CLI::App* AddAnalyzeCommand(CLI::App& app, AnalyzeArgs& args) {
    CLI::App* analyze = app.add_subcommand(
        "analyze", "rebuild the folders and list every message and item the file still holds");
    analyze->add_option("FILE", args.file, "the PST file")->required();
    analyze->add_flag("--json", args.json, "print one JSON object");
    analyze->add_flag("--restore-deleted", args.restoreDeleted,
                      "file messages no folder leads to under \"Recovered Items\"");
    analyze->add_flag("--quiet", args.quiet, "no progress bar");
    return analyze;
}

void PrintSummary(std::FILE* out, const AnalysisResult& result) {
    fmt::print(out, "File:      {}\n", result.file);
    fmt::print(out, "Version:   {} ({})\n", result.version, VariantName(result.variant));
    fmt::print(out, "Status:    {}\n", StatusName(result.status));
    if (result.status == AnalysisStatus::Error) fmt::print(out, "Error:     {}\n", result.error);

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
        fmt::print(out, "  {:<14}{}\n", label, result.counters.Get(label).value_or(0));
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
    if (!result.warnings.empty()) {
        fmt::print(out, "\nWarnings:\n");
        for (const auto& warning : result.warnings) fmt::print(out, "  - {}\n", warning);
    }
}

int RunAnalyze(const AnalyzeArgs& args) {
    const bool bar = !args.quiet && isatty(fileno(stderr));
    ProgressBar progress(stderr, bar);
    AnalysisEngine engine(&progress);

    AnalysisOptions options;
    options.sourcePstPath = args.file;  // opened as given
    options.restoreDeleted = args.restoreDeleted;
    // The activity log records the wizard's steps; a batch run leaves it alone.
    options.writeLog = false;
    const AnalysisStatus status = RunWithInterrupts(engine, std::move(options));

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
            if (result.error == kMsgFileInUse) {
                fmt::print(stderr, "kestrel-cli: {}({})\n", result.error,
                           result.openFailure);
            } else {
                fmt::print(stderr, "kestrel-cli: {}: {}\n", args.file, result.error);
            }
            exitCode = 1;
        } else if (status == AnalysisStatus::Stopped) {
            fmt::print(stderr, "kestrel-cli: analysis stopped; the results so far are shown\n");
            exitCode = 1;
        }
    });
    if (!std::cout.good() || std::ferror(stdout)) {
        fmt::print(stderr, "kestrel-cli: the output could not be written\n");
        return 1;
    }
    return exitCode;
}

}  // namespace kestrel::cli
