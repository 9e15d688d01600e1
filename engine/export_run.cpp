#include "engine/export_run.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "engine/eml_writer.h"
#include "engine/export_files.h"
#include "engine/pim_export.h"
#include "engine/pst_export.h"
#include "platform/settings.h"

namespace kestrel {

namespace {

std::mutex savingMutex;
SavingValues saving;

void Publish(const std::function<void(SavingValues&)>& change) {
    std::lock_guard lock(savingMutex);
    change(saving);
}

// "Personal Folders\Inbox\Sub\" as its names.
std::vector<std::string> PathNames(std::string_view path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        names.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::string JoinNames(const std::vector<std::string>& names, size_t count, char separator) {
    std::string out;
    for (size_t i = 0; i < count && i < names.size(); ++i) {
        if (i) out += separator;
        out += names[i];
    }
    return out;
}

// Room kept in a folder's name for " (99)" and ".mbox".
constexpr size_t kNameRoom = 12;

std::string SafeFolderName(std::string_view name) {
    std::string safe = SafeName(name, kMaxNameBytes - kNameRoom);
    return safe.empty() ? std::string("_") : safe;
}

// "00001 Subject.eml": the number keeps the list's order and the names unique.
std::string NumberedName(uint64_t number, size_t count, const FullItem& item,
                         std::string_view extension) {
    const int width = std::max<int>(5, static_cast<int>(fmt::format("{}", count).size()));
    const std::string prefix = fmt::format("{:0{}}", number, width);
    const MessageRecord* message = item.item->message.get();
    const std::string subject =
        message && message->subject
            ? SafeName(message->subject->text, kMaxNameBytes - prefix.size() - 5)
            : std::string();
    return (subject.empty() ? prefix : prefix + " " + subject) + std::string(extension);
}

// The items of one folder that are not mail, in list order: what the vCard, iCalendar and
// note writers save.
struct PimFolderItems {
    std::vector<const ContactEntry*> contacts;  // distribution lists among them
    std::vector<const CalendarEntry*> calendar;
    std::vector<const TaskEntry*> tasks;
    std::vector<const StickyNoteEntry*> notes;
    std::vector<const JournalEntry*> journal;
};

// One message made ready on the builder thread: its file's name and bytes (or mbox entry),
// or why it could not be.
struct PreparedMessage {
    enum class Kind { Ready, Unreadable, Failed };
    Kind kind = Kind::Ready;
    std::string reason;
    bool countsAsRead = false;  // unreadable as read (else its file could not be made)
    std::string fileName;
    std::string bytes;
    std::vector<std::string> problems;
};

// The messages between the builder threads and the writer, in list order: each builder
// puts a message in at its position, the writer takes them in order. A few are kept at
// most, and not many bytes, so memory stays flat whatever the writer's pace; the message
// the writer waits for always gets in.
class PreparedQueue {
  public:
    explicit PreparedQueue(size_t builders) : building_(builders) {}

    // False when the writer gave up (the builder stops then).
    bool Push(size_t position, PreparedMessage message) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] {
            return cancelled_ || position == next_ ||
                   (position < next_ + kMaxItems && bytes_ < kMaxBytes);
        });
        if (cancelled_) return false;
        bytes_ += message.bytes.size();
        slots_[position % kMaxItems] = std::move(message);
        if (position == next_ && writerWaiting_) ready_.notify_one();
        return true;
    }
    // The next message in list order; none once the builders have finished and all their
    // messages were taken.
    std::optional<PreparedMessage> Pop() {
        std::unique_lock lock(mutex_);
        std::optional<PreparedMessage>& slot = slots_[next_ % kMaxItems];
        writerWaiting_ = true;
        ready_.wait(lock, [&] { return slot.has_value() || building_ == 0; });
        writerWaiting_ = false;
        if (!slot) return std::nullopt;
        std::optional<PreparedMessage> message = std::move(slot);
        slot.reset();
        ++next_;
        bytes_ -= message->bytes.size();
        room_.notify_all();
        return message;
    }
    // One builder has finished.
    void Close() {
        std::lock_guard lock(mutex_);
        if (--building_ == 0) ready_.notify_all();
    }
    void Cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        room_.notify_all();
    }

  private:
    static constexpr size_t kMaxItems = 16;
    static constexpr size_t kMaxBytes = 32u << 20;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::array<std::optional<PreparedMessage>, kMaxItems> slots_;
    size_t next_ = 0;  // the position the writer takes next
    size_t bytes_ = 0;
    size_t building_;
    bool writerWaiting_ = false;
    bool cancelled_ = false;
};

class Exporter {
  public:
    Exporter(const AnalysisResult& result, ItemSource& source, ExportOptions options,
             RunControl& control)
        : result_(result), source_(source), options_(std::move(options)), control_(control) {
        summary_.source = result.file;
        summary_.destination = options_.destination;
        summary_.format = options_.format;
    }

    ExportSummary Run() {
        const auto& folders = result_.folders.entries();
        selected_.assign(folders.size(), options_.folderNids.empty());
        for (size_t i = 0; i < folders.size(); ++i) {
            for (uint32_t nid : options_.folderNids)
                if (folders[i].folderNid == nid) selected_[i] = true;
            if (selected_[i] && folders[i].mail)
                summary_.messagesTotal += folders[i].messages.size();
        }
        Publish([&](SavingValues& v) {
            v = SavingValues{};
            v.SavingTotal = summary_.messagesTotal;
            v.SavingMailCountText = CountText();
        });
        Layout();
        GroupPimItems();
        try {
            root_ = OutputFolder::OpenRoot(options_.destination);
            summary_.outcome = ExportOutcome::Completed;
            ItemSource::Hold hold(source_);
            for (size_t i = 0; i < folders.size(); ++i) {
                if (!selected_[i]) continue;
                if (folders[i].mail && !ExportMailFolder(i)) break;
                if (auto it = pim_.find(folders[i].folderNid); it != pim_.end()) {
                    if (!ExportPimFolder(i, it->second)) break;
                    pim_.erase(it);
                }
            }
        } catch (const ExportWriteError& e) {
            Fail(e.what());
        }
        WriteReport();
        Publish([&](SavingValues& v) {
            v.outcome = summary_.outcome;
            v.failure = summary_.failure;
        });
        return std::move(summary_);
    }

  private:
    std::string CountText() const {
        return fmt::format("{} of {}", done_.load(), summary_.messagesTotal);
    }

    void Fail(std::string reason) {
        summary_.outcome = ExportOutcome::Failed;
        summary_.failure = std::move(reason);
    }

    // True when the run must end here (Stop); waits while paused.
    bool Stopped() {
        if (!control_.TestPoint()) return false;
        summary_.outcome = ExportOutcome::Stopped;
        return true;
    }

    // Each folder's place under the destination: its safe name below its parent's place;
    // sibling folders of one name get " (2)", " (3)", ...
    void Layout() {
        const auto& folders = result_.folders.entries();
        places_.resize(folders.size());
        std::unordered_map<std::string, size_t> lastByPath;
        std::map<std::string, std::set<std::string>> taken;  // names used in each place
        for (size_t i = 0; i < folders.size(); ++i) {
            const std::vector<std::string> names = PathNames(folders[i].path);
            std::vector<std::string> place;
            if (names.size() > 1) {
                const std::string parentPath = JoinNames(names, names.size() - 1, '\\') + "\\";
                if (auto it = lastByPath.find(parentPath); it != lastByPath.end()) {
                    place = places_[it->second];
                } else {
                    for (size_t k = 0; k + 1 < names.size(); ++k)
                        place.push_back(SafeFolderName(names[k]));
                }
            }
            const std::string base = SafeFolderName(names.empty() ? std::string() : names.back());
            std::set<std::string>& used = taken[JoinNames(place, place.size(), '/')];
            std::string name = base;
            for (int n = 2; used.count(name) && n < 100000; ++n)
                name = fmt::format("{} ({})", base, n);
            used.insert(name);
            place.push_back(name);
            places_[i] = std::move(place);
            lastByPath[folders[i].path] = i;
        }
    }

    // Each item under the folder it is saved in; one whose folder is not listed at all is
    // reported, not dropped unsaid.
    void GroupPimItems() {
        auto group = [&](const auto& list, auto member) {
            for (const auto& e : list) {
                if (const MailFolderEntry* home = result_.folders.HomeOf(e))
                    (pim_[home->folderNid].*member).push_back(&e);
                else
                    summary_.unreadable.push_back(
                        {e.nid, e.folderPath, "its folder is not among those rebuilt"});
            }
        };
        group(result_.contacts, &PimFolderItems::contacts);
        group(result_.calendar, &PimFolderItems::calendar);
        group(result_.tasks, &PimFolderItems::tasks);
        group(result_.notes, &PimFolderItems::notes);
        group(result_.journal, &PimFolderItems::journal);
    }

    // The folder of places_[index] (count names of it), made when missing.
    OutputFolder OpenPlace(size_t index, size_t count) {
        OutputFolder folder = root_.Sub(places_[index][0]);
        for (size_t k = 1; k < count; ++k) folder = folder.Sub(places_[index][k]);
        return folder;
    }
    OutputFolder FolderOf(size_t index) { return OpenPlace(index, places_[index].size()); }

    // Reads one listed item. Null when it cannot be read (listed in the report); a source
    // that cannot be read any more (changed, gone) fails the run and sets failed.
    std::unique_ptr<FullItem> Load(uint32_t nid, uint64_t dataBid, const std::string& folder,
                                   bool& failed) {
        try {
            std::unique_ptr<FullItem> item = source_.Load(nid, dataBid);
            if (!item || !item->item) {
                summary_.unreadable.push_back({nid, folder, "the node gives no item"});
                return nullptr;
            }
            return item;
        } catch (const FileError& e) {
            // A source that changed or cannot be opened again: nothing more can be read.
            Fail(e.what());
            failed = true;
        } catch (const std::exception& e) {
            summary_.unreadable.push_back({nid, folder, e.what()});
        }
        return nullptr;
    }

    void Progress(const std::string& folderName) {
        Publish([&](SavingValues& v) {
            v.SavingFolderName = folderName;
            v.SavingDone = done_;
            v.SavingMailCountText = CountText();
        });
    }

    // False when the run ends here (stopped or failed).
    bool ExportMailFolder(size_t index) {
        const MailFolderEntry& folder = result_.folders.entries()[index];
        const std::vector<std::string> names = PathNames(folder.path);
        const std::string shownName = names.empty() ? folder.path : names.back();
        Progress(shownName);
        ExportedFolder tally;
        tally.path = folder.path;
        const bool mbox = options_.format == ExportFormat::Mbox;
        tally.output =
            JoinNames(places_[index], places_[index].size(), '/') + (mbox ? ".mbox" : "");

        if (!mbox) return ExportEmlMessages(folder, FolderOf(index), shownName, tally);

        // One mbox file, whole or not there at all: the messages go in in list order.
        OutputFolder out = places_[index].size() > 1 ? OpenPlace(index, places_[index].size() - 1)
                                                     : OutputFolder::OpenRoot(options_.destination);
        OutputFolder::PendingFile mboxFile = out.Begin(places_[index].back() + ".mbox");
        // Reading and building the next messages, on two threads where there are two cores,
        // overlaps writing this one. Each builder takes the next message not yet taken.
        const size_t builderCount = std::thread::hardware_concurrency() > 1 ? 2 : 1;
        PreparedQueue queue(builderCount);
        std::atomic<size_t> taken{0};
        auto build = [&] {
            for (;;) {
                const size_t k = taken.fetch_add(1);
                if (k >= folder.messages.size()) break;
                PreparedMessage prepared =
                    Prepare(folder.messages[k], k + 1, folder.messages.size(), true);
                const bool failed = prepared.kind == PreparedMessage::Kind::Failed;
                if (!queue.Push(k, std::move(prepared)) || failed) break;
            }
            queue.Close();
        };
        std::vector<std::thread> builders;
        struct JoinOnExit {
            PreparedQueue& queue;
            std::vector<std::thread>& threads;
            ~JoinOnExit() {
                queue.Cancel();
                for (std::thread& thread : threads) thread.join();
            }
        } joinOnExit{queue, builders};
        try {
            for (size_t b = 0; b < builderCount; ++b) builders.emplace_back(build);
        } catch (const std::system_error& e) {
            // A builder that could not start has nothing to finish; with none, nothing of
            // the folder can be read.
            for (size_t b = builders.size(); b < builderCount; ++b) queue.Close();
            if (builders.empty())
                throw ExportWriteError(fmt::format("cannot start a thread: {}", e.what()));
        }

        for (size_t k = 0; k < folder.messages.size(); ++k) {
            if (Stopped()) return false;
            std::optional<PreparedMessage> next = queue.Pop();
            if (!next) break;
            PreparedMessage& message = *next;
            const uint32_t nid = folder.messages[k].nid;
            if (message.kind == PreparedMessage::Kind::Failed) {
                // A source that changed or cannot be opened again: nothing more can be read.
                Fail(message.reason);
                return false;
            }
            ++done_;
            if (message.kind == PreparedMessage::Kind::Unreadable) {
                summary_.unreadable.push_back({nid, folder.path, message.reason});
                ++tally.unreadable;
                if (message.countsAsRead) Progress(shownName);
                continue;
            }
            for (auto& problem : message.problems)
                summary_.problems.push_back(folder.path + ": " + problem);
            mboxFile.Append(message.bytes);
            ++tally.written;
            Progress(shownName);
        }
        if (mboxFile.Commit(options_.overwrite) == OutputFolder::Placed::Existed) {
            summary_.existing.push_back(tally.output);
            tally.written = 0;
        }
        summary_.messagesWritten += tally.written;
        summary_.folders.push_back(std::move(tally));
        return true;
    }

    // Each message into its own EML file. Every thread (two where there are two cores)
    // takes the next message nobody has taken, reads and builds it and writes its file, so
    // no thread waits on another. What is not a plain success (an unreadable message, a
    // problem, a file that was there) is noted by position and filed in list order once the
    // folder is done; a run that ends inside the folder still counts the files it wrote.
    // False when the run ends here.
    bool ExportEmlMessages(const MailFolderEntry& folder, const OutputFolder& out,
                           const std::string& shownName, ExportedFolder& tally) {
        struct Note {
            bool unreadable = false;
            bool existed = false;
            std::string reason;
            std::string fileName;  // one that was there
            std::vector<std::string> problems;
        };
        struct Failure {
            size_t position;
            std::string reason;
            bool writing;  // the destination failed (else the source)
        };
        const size_t count = folder.messages.size();
        std::atomic<size_t> taken{0};
        std::atomic<bool> end{false};
        std::atomic<bool> stopped{false};
        std::atomic<uint64_t> written{0};
        std::mutex mutex;
        std::map<size_t, Note> notes;
        std::optional<Failure> failure;
        auto fail = [&](size_t k, std::string reason, bool writing) {
            std::lock_guard lock(mutex);
            if (!failure || k < failure->position) failure = Failure{k, std::move(reason), writing};
            end = true;
        };
        auto work = [&](bool publishing) {
            size_t k = 0;
            try {
                while (!end.load(std::memory_order_relaxed)) {
                    if (control_.TestPoint()) {
                        stopped = true;
                        end = true;
                        break;
                    }
                    k = taken.fetch_add(1);
                    if (k >= count) break;
                    PreparedMessage message = Prepare(folder.messages[k], k + 1, count, false);
                    if (message.kind == PreparedMessage::Kind::Failed) {
                        // A source that changed or cannot be opened again: nothing more
                        // can be read.
                        fail(k, std::move(message.reason), false);
                        break;
                    }
                    Note note;
                    if (message.kind == PreparedMessage::Kind::Unreadable) {
                        note.unreadable = true;
                        note.reason = std::move(message.reason);
                    } else {
                        note.problems = std::move(message.problems);
                        note.existed =
                            out.WriteFile(message.fileName, message.bytes, options_.overwrite) ==
                            OutputFolder::Placed::Existed;
                        if (note.existed)
                            note.fileName = std::move(message.fileName);
                        else
                            ++written;
                    }
                    ++done_;
                    if (note.unreadable || note.existed || !note.problems.empty()) {
                        std::lock_guard lock(mutex);
                        notes.emplace(k, std::move(note));
                    }
                    if (publishing) Progress(shownName);
                }
            } catch (const ExportWriteError& e) {
                fail(k, e.what(), true);
            } catch (const std::exception& e) {
                fail(k, e.what(), false);
            }
        };
        {
            const size_t threads = std::thread::hardware_concurrency() > 1 ? 2 : 1;
            std::vector<std::jthread> helpers;
            try {
                for (size_t t = 1; t < threads && count > 1; ++t) helpers.emplace_back(work, false);
            } catch (const std::system_error&) {
                // No thread to spare: this one does them all.
            }
            work(true);
        }
        Progress(shownName);

        for (auto& [k, note] : notes) {
            const uint32_t nid = folder.messages[k].nid;
            if (note.unreadable) {
                summary_.unreadable.push_back({nid, folder.path, std::move(note.reason)});
                ++tally.unreadable;
                continue;
            }
            for (auto& problem : note.problems)
                summary_.problems.push_back(folder.path + ": " + problem);
            if (note.existed) summary_.existing.push_back(tally.output + "/" + note.fileName);
        }
        tally.written = written;
        summary_.messagesWritten += tally.written;
        summary_.folders.push_back(std::move(tally));
        if (stopped) summary_.outcome = ExportOutcome::Stopped;
        if (failure) {
            if (failure->writing) throw ExportWriteError(failure->reason);
            Fail(std::move(failure->reason));
        }
        return !stopped && !failure;
    }

    // Reads one listed message and makes its file or mbox entry; on a builder thread, so
    // it touches nothing but the item source.
    PreparedMessage Prepare(const MessageSummary& entry, uint64_t number, size_t count, bool mbox) {
        PreparedMessage prepared;
        std::unique_ptr<FullItem> item;
        try {
            item = source_.Load(entry.nid, entry.dataBid);
        } catch (const FileError& e) {
            prepared.kind = PreparedMessage::Kind::Failed;
            prepared.reason = e.what();
            return prepared;
        } catch (const std::exception& e) {
            prepared.kind = PreparedMessage::Kind::Unreadable;
            prepared.reason = e.what();
            prepared.countsAsRead = true;
            return prepared;
        }
        if (!item || !item->item) {
            prepared.kind = PreparedMessage::Kind::Unreadable;
            prepared.reason = "the node gives no item";
            prepared.countsAsRead = true;
            return prepared;
        }
        try {
            std::string eml = EmlOf(*item, prepared.problems);
            if (mbox) {
                prepared.bytes =
                    MboxEntry(eml, EnvelopeSender(*item->item), MessageDateSeconds(*item->item));
            } else {
                prepared.bytes = std::move(eml);
                prepared.fileName = NumberedName(number, count, *item, ".eml");
            }
        } catch (const std::exception& e) {
            prepared.kind = PreparedMessage::Kind::Unreadable;
            prepared.reason = e.what();
            prepared.problems.clear();
        }
        return prepared;
    }

    // A folder's contacts go to one .vcf, its appointments and tasks to one .ics (both named
    // after the folder, inside its place), each note or journal entry to a .txt of its own.
    // Items are read one at a time; the folder's cards and events are small text.
    // False when the run ends here (stopped or failed).
    bool ExportPimFolder(size_t index, const PimFolderItems& items) {
        const MailFolderEntry& folder = result_.folders.entries()[index];
        const std::string relative = JoinNames(places_[index], places_[index].size(), '/');
        ExportedFolder tally;
        tally.path = folder.path;
        tally.output = relative;
        std::optional<OutputFolder> out;
        auto place = [&]() -> OutputFolder& {
            if (!out) out = FolderOf(index);
            return *out;
        };
        auto finish = [&](bool goOn) {
            summary_.otherItemsWritten += tally.written;
            if (tally.written || tally.unreadable) summary_.folders.push_back(std::move(tally));
            return goOn;
        };
        // Reads each entry and hands its item to write; false when the run must end.
        auto each = [&](const auto& entries, const auto& write) {
            for (const auto* entry : entries) {
                if (Stopped()) return false;
                bool failed = false;
                std::unique_ptr<FullItem> item =
                    Load(entry->nid, entry->dataBid, folder.path, failed);
                if (failed) return false;
                if (!item) {
                    ++tally.unreadable;
                    continue;
                }
                try {
                    write(*item);
                } catch (const ExportWriteError&) {
                    throw;
                } catch (const std::exception& e) {
                    summary_.unreadable.push_back({entry->nid, folder.path, e.what()});
                    ++tally.unreadable;
                }
            }
            return true;
        };
        const std::string base = places_[index].back();
        try {
            std::string cards;
            uint64_t cardCount = 0;
            if (!each(items.contacts, [&](const FullItem& item) {
                    cards += VCardOf(item);
                    ++cardCount;
                }))
                return finish(false);
            if (cardCount && WriteItemFile(place(), relative, base + ".vcf", cards))
                tally.written += cardCount;

            CalendarFile events;
            uint64_t eventCount = 0;
            auto addEvents = [&](const FullItem& item) {
                std::vector<std::string> problems;
                events.Add(item, problems);
                for (auto& problem : problems)
                    summary_.problems.push_back(folder.path + ": " + problem);
                ++eventCount;
            };
            if (!each(items.calendar, addEvents) || !each(items.tasks, addEvents))
                return finish(false);
            if (eventCount && WriteItemFile(place(), relative, base + ".ics", events.Document()))
                tally.written += eventCount;

            uint64_t number = 0;
            const size_t count = items.notes.size() + items.journal.size();
            auto writeText = [&](const FullItem& item) {
                const std::string name = NumberedName(++number, count, item, ".txt");
                if (WriteItemFile(place(), relative, name, NoteTextOf(item))) ++tally.written;
            };
            if (!each(items.notes, writeText) || !each(items.journal, writeText))
                return finish(false);
        } catch (const ExportWriteError&) {
            finish(false);
            throw;
        }
        return finish(true);
    }

    // Writes bytes as name in folder (the overwrite rule applied); true when written.
    bool WriteItemFile(const OutputFolder& folder, const std::string& relative,
                       const std::string& name, std::string_view bytes) {
        if (folder.WriteFile(name, bytes, options_.overwrite) == OutputFolder::Placed::Existed) {
            summary_.existing.push_back(relative + "/" + name);
            return false;
        }
        return true;
    }

    void WriteReport() {
        if (!root_.IsOpen()) return;
        const std::string text = ReportText(summary_);
        try {
            for (int n = 1; n < 100; ++n) {
                const std::string name =
                    n == 1 ? std::string(kReportFileName)
                           : fmt::format("{} ({}).txt",
                                         kReportFileName.substr(0, kReportFileName.size() - 4), n);
                if (root_.WriteFile(name, text, options_.overwrite) ==
                    OutputFolder::Placed::Written) {
                    std::error_code ec;
                    std::filesystem::path path = std::filesystem::absolute(
                        std::filesystem::path(options_.destination) / name, ec);
                    summary_.reportPath =
                        ec ? (std::filesystem::path(options_.destination) / name).string()
                           : path.lexically_normal().string();
                    break;
                }
            }
        } catch (const ExportWriteError& e) {
            if (summary_.outcome != ExportOutcome::Failed) Fail(e.what());
            return;
        }
        if (options_.recordReport && !summary_.reportPath.empty())
            WriteSetting(kReportFileValue, summary_.reportPath);
    }

    const AnalysisResult& result_;
    ItemSource& source_;
    ExportOptions options_;
    RunControl& control_;
    ExportSummary summary_;
    OutputFolder root_;
    std::vector<bool> selected_;
    std::vector<std::vector<std::string>> places_;
    std::map<uint32_t, PimFolderItems> pim_;
    std::atomic<uint64_t> done_{0};  // counted on every thread
};

}  // namespace

std::string_view OutcomeName(ExportOutcome outcome) {
    switch (outcome) {
        case ExportOutcome::Running:
            return "running";
        case ExportOutcome::Completed:
            return "completed";
        case ExportOutcome::Stopped:
            return "stopped";
        case ExportOutcome::Failed:
            return "failed";
    }
    return "failed";
}

void PublishSaving(const std::function<void(SavingValues&)>& change) {
    Publish(change);
}

SavingValues ReadSavingValues() {
    std::lock_guard lock(savingMutex);
    return saving;
}

ExportSummary RunExport(const AnalysisResult& result, ItemSource& source, ExportOptions options,
                        RunControl& control) {
    if (options.format == ExportFormat::Pst) return RunPstExport(result, source, options, control);
    try {
        return Exporter(result, source, std::move(options), control).Run();
    } catch (const std::exception& e) {
        ExportSummary summary;
        summary.source = result.file;
        summary.outcome = ExportOutcome::Failed;
        summary.failure = e.what();
        Publish([&](SavingValues& v) {
            v.outcome = summary.outcome;
            v.failure = summary.failure;
        });
        return summary;
    }
}

std::string ReportText(const ExportSummary& summary) {
    std::string text;
    auto line = [&](std::string_view s) {
        text += s;
        text += '\n';
    };
    line("Kestrel for Microsoft Outlook - Recovery Report");
    line("");
    line(fmt::format("Source:       {}", summary.source));
    line(fmt::format("Destination:  {}", summary.destination));
    line(fmt::format("Format:       {}", summary.format == ExportFormat::Mbox  ? "MBOX"
                                         : summary.format == ExportFormat::Pst ? "PST"
                                                                               : "EML"));
    line("");
    line("Items written per folder:");
    for (const ExportedFolder& folder : summary.folders) {
        line(fmt::format(
            "  {}  ->  {}: {} written{}", folder.path, folder.output, folder.written,
            folder.unreadable ? fmt::format(", {} unreadable", folder.unreadable) : ""));
    }
    if (summary.folders.empty()) line("  (none)");
    if (!summary.unreadable.empty()) {
        line("");
        line("Items that could not be read:");
        for (const UnreadableItem& item : summary.unreadable)
            line(fmt::format("  NID 0x{:X} in {}: {}", item.nid, item.folder, item.reason));
    }
    if (!summary.problems.empty()) {
        line("");
        line("Parts left out:");
        for (const std::string& problem : summary.problems) line("  " + problem);
    }
    if (!summary.existing.empty()) {
        line("");
        line("Files that existed and were left as they were:");
        for (const std::string& file : summary.existing) line("  " + file);
    }
    line("");
    line(
        fmt::format("Totals:       {} of {} messages written, {} other items written, {} items "
                    "unreadable, {} files left as they were",
                    summary.messagesWritten, summary.messagesTotal, summary.otherItemsWritten,
                    summary.unreadable.size(), summary.existing.size()));
    std::string outcome(OutcomeName(summary.outcome));
    if (summary.outcome == ExportOutcome::Failed) outcome += ": " + summary.failure;
    line(fmt::format("Outcome:      {}", outcome));
    return text;
}

}  // namespace kestrel
