// Damaged copies of every corpus file (and of two built mailboxes): each analysis ends
// within its time and memory limits, never touches the file, and every item whose
// structures the damage left alone comes back as it was.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pstwrite/pst_check.h"
#include "robustness/built_mailboxes.h"
#include "robustness/damage.h"
#include "robustness/memory_file.h"
#include "support/mailbox_builder.h"
#include "support/quiet_analysis.h"
#include "support/test_paths.h"

namespace kestrel::test {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// One copy, analysis and reads together, gets this long before the run counts as hung.
constexpr auto kCopyTimeLimit = std::chrono::seconds(kSanitized ? 120 : 30);
// The whole process may not grow past this (the sanitizers' shadow memory included).
constexpr long kPeakMemoryLimitKb = kSanitized ? 3L << 20 : 1L << 20;

// Ends the process, naming the copy, when one copy takes longer than its limit: a hang
// must show up as a failure with a name, not as a stuck test run.
class Watchdog {
  public:
    Watchdog() : thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Arm(std::string what, std::chrono::seconds limit) {
        std::lock_guard lock(mutex_);
        what_ = std::move(what);
        deadline_ = std::chrono::steady_clock::now() + limit;
        armed_ = true;
        wake_.notify_all();
    }
    void Disarm() {
        std::lock_guard lock(mutex_);
        armed_ = false;
    }

  private:
    void Watch() {
        std::unique_lock lock(mutex_);
        while (!quit_) {
            if (armed_ && std::chrono::steady_clock::now() >= deadline_) {
                std::fprintf(stderr, "HANG: %s took longer than its limit\n", what_.c_str());
                std::fflush(stderr);
                std::abort();
            }
            wake_.wait_for(lock, std::chrono::milliseconds(200));
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::string what_;
    std::chrono::steady_clock::time_point deadline_{};
    bool armed_ = false;
    bool quit_ = false;
    std::thread thread_;
};

long PeakMemoryKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

uint64_t Fnv(const void* data, size_t size, uint64_t hash = 0xcbf29ce484222325ull) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    return hash;
}

// A digest of what an item holds on its own, apart from named properties (whose meaning
// comes from the store's name map, a structure of its own): subject, bodies, recipients,
// attachments with their data, attached messages.
class ItemDigest {
  public:
    void Add(const std::string& text) { Add(text.data(), text.size()); }
    void Add(const std::vector<uint8_t>& bytes) { Add(bytes.data(), bytes.size()); }
    void Add(uint64_t value) { Add(&value, sizeof value); }
    void Add(const void* data, size_t size) {
        hash_ = Fnv(&size, sizeof size, hash_);
        hash_ = Fnv(data, size, hash_);
    }
    void Add(const FullItem& full) {
        const ItemRecord& item = *full.item;
        Add(item.className);
        Add(item.displayName);
        if (const MessageRecord* m = item.message.get()) {
            Add(m->subject ? m->subject->text : std::string("<none>"));
            Add(m->body);
            Add(m->bodyHtml);
            Add(m->rtfBody);
            Add(m->senderName);
            Add(m->displayTo);
        }
        Add(uint64_t{item.attachments.size()});
        for (const AttachmentRecord& a : item.attachments) {
            Add(a.longName);
            Add(a.shortName);
            Add(a.data);
        }
        Add(uint64_t{full.recipients.size()});
        for (const RecipientEntry& r : full.recipients) {
            Add(r.displayName);
            Add(r.address);
            Add(uint64_t{r.type});
        }
        Add(uint64_t{full.embedded.size()});
        for (const auto& e : full.embedded) {
            Add(uint64_t{e.attachmentIndex});
            Add(*e.message);
        }
    }
    uint64_t value() const { return hash_; }

  private:
    uint64_t hash_ = 0xcbf29ce484222325ull;
};

// A listed item: its NID and its data block (damage can give two nodes one NID).
using ItemId = std::pair<uint32_t, uint64_t>;
// Where each listed item appears: "kind|subject" lines.
using Listing = std::map<ItemId, std::multiset<std::string>>;

Listing ListItems(const AnalysisResult& result) {
    Listing listing;
    for (const MailFolderEntry& folder : result.folders.entries()) {
        for (const MessageSummary& m : folder.messages)
            listing[{m.nid, m.dataBid}].insert("message|" + std::string(m.className()) + "|" + std::string(m.subject()));
    }
    for (const ContactEntry& c : result.contacts) {
        listing[{c.nid, c.dataBid}].insert("contact|" + c.contact.surname + "|" +
                                           c.contact.givenName);
    }
    for (const TaskEntry& t : result.tasks) listing[{t.nid, t.dataBid}].insert("task|" + t.subject);
    for (const StickyNoteEntry& n : result.notes)
        listing[{n.nid, n.dataBid}].insert("note|" + n.subject);
    for (const JournalEntry& j : result.journal)
        listing[{j.nid, j.dataBid}].insert("journal|" + j.subject);
    for (const CalendarEntry& c : result.calendar)
        listing[{c.nid, c.dataBid}].insert("calendar|" + c.subject);
    return listing;
}

struct Outcome {
    AnalysisStatus status = AnalysisStatus::Error;
    std::string error;
    Listing listing;
    uint32_t topNid = 0;
    std::map<ItemId, uint64_t> digests;  // of the items asked for that loaded
    std::map<ItemId, std::string> loadErrors;
    bool fileChanged = false;
    std::string text;  // ResultText: everything listed, in filing order
};

// Analyses image from a memory file (orphans restored, no log), then reads every item
// of want again in full through the run's item source.
Outcome Analyse(std::span<const uint8_t> image, const std::vector<ItemId>& want,
                size_t loadAhead = AnalysisOptions{}.loadAhead) {
    Outcome out;
    MemoryFile file(image);
    const uint64_t before = Fnv(image.data(), image.size());

    AnalysisResult result;
    std::shared_ptr<ItemSource> source;
    out.status =
        AnalyseQuietly(file.path(), result, true, &source, DeepScanMode::Automatic, loadAhead);
    out.error = result.error;
    out.text = ResultText(result);
    out.listing = ListItems(result);
    if (!result.folders.empty()) out.topNid = result.folders.entries().front().folderNid;

    if (source) {
        for (const ItemId& id : want) {
            try {
                std::unique_ptr<FullItem> full = source->Load(id.first, id.second);
                if (!full) continue;
                ItemDigest digest;
                digest.Add(*full);
                out.digests[id] = digest.value();
            } catch (const std::exception& e) {
                out.loadErrors[id] = e.what();
            }
        }
    }
    const std::vector<uint8_t> after = file.Contents();
    out.fileChanged = after.size() != image.size() || Fnv(after.data(), after.size()) != before;
    return out;
}

// The structure `check` must name on a copy with that damage: the header for a cut file
// or zeroed roots, the B-tree page whose entries were changed, the block whose bytes were.
// Garbage over the last tenth may land on free space only, so it names nothing for sure.
std::optional<std::string> CheckedStructure(DamageKind kind) {
    switch (kind) {
        case DamageKind::Truncate:
        case DamageKind::ZeroRootOffsets:
            return "header";
        case DamageKind::FlipDataBytes:
        case DamageKind::BrokenHeapSignature:
        case DamageKind::SubnodeSelf:
        case DamageKind::XBlockSelf:
            return "blocks";
        case DamageKind::LastTenth:
            return std::nullopt;
        default:
            return "pages";
    }
}

struct Source {
    std::string name;
    std::vector<uint8_t> image;
};

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> SourceNames() {
    std::vector<std::string> names = {"built-unicode-cyclic", "built-ansi", "built-unicode4k"};
    for (const auto& path : CorpusFiles()) names.push_back(path.filename().string());
    return names;
}

Source LoadSource(const std::string& name) {
    if (name == "built-unicode-cyclic") return {name, BuiltMailbox(PstVariant::Unicode, 2)};
    if (name == "built-ansi") return {name, BuiltMailbox(PstVariant::Ansi, 1)};
    if (name == "built-unicode4k") return {name, BuiltMailbox(PstVariant::Unicode4k, 1)};
    for (const auto& path : CorpusFiles())
        if (path.filename() == name) return {name, ReadFile(path)};
    return {name, {}};
}

class DamagedCopies : public ::testing::TestWithParam<std::string> {};

TEST_P(DamagedCopies, EndCleanlyAndKeepWhatTheDamageMissed) {
    const Source source = LoadSource(GetParam());
    ASSERT_FALSE(source.image.empty()) << source.name;
    const std::string stem = std::filesystem::path(source.name).stem().string();

    // What the sound file gives.
    const std::vector<ItemId> none;
    Outcome sound = Analyse(source.image, none);
    ASSERT_EQ(sound.status, AnalysisStatus::Completed) << sound.error;
    std::vector<ItemId> items;
    for (const auto& [id, lines] : sound.listing) items.push_back(id);
    sound = Analyse(source.image, items);
    ASSERT_EQ(sound.digests.size(), items.size()) << "the sound file reads every listed item";

    DamageSet damage(source.image, stem);
    ASSERT_TRUE(damage.map().has_value());
    const PstMap& map = *damage.map();
    // Without these the analysis cannot even start: the store and the top folder.
    std::vector<ByteRange> essentials = map.NodeFootprint(0x21);
    for (const ByteRange& r : map.NodeFootprint(sound.topNid)) essentials.push_back(r);

    const std::vector<ByteRange> nameMap = map.NodeFootprint(0x61);
    constexpr uint32_t kNormalMessage = 0x04;

    Watchdog watchdog;
    std::vector<std::string> faults;
    size_t copies = 0, checked = 0, listedChecks = 0;
    for (size_t i = 0; i < damage.size(); ++i) {
        const std::optional<DamagedCopy> copy = damage.Make(i);
        if (!copy) continue;
        ++copies;
        std::vector<ItemId> intact;
        for (const ItemId& id : items) {
            if (!AnyOverlap(map.NodeFootprint(id.first), copy->damaged)) intact.push_back(id);
        }

        watchdog.Arm(copy->name, kCopyTimeLimit);
        const Outcome run = Analyse(copy->bytes, intact);
        watchdog.Disarm();

        auto fault = [&](const std::string& text) { faults.push_back(copy->name + ": " + text); };
        if (run.fileChanged) fault("the file changed under the analysis");
        if (run.status == AnalysisStatus::Stopped) fault("stopped with nobody asking");
        if (run.status == AnalysisStatus::Error && run.error.empty())
            fault("error without a message");
        if (run.status != AnalysisStatus::Completed && !AnyOverlap(essentials, copy->damaged))
            fault("failed (" + run.error + ") though the store and top folder are intact");
        // The walk loads ahead on a second thread: one thread must list the same.
        const Outcome serial = Analyse(copy->bytes, none, 0);
        if (serial.status != run.status || serial.text != run.text)
            fault("listed differently when loaded on one thread");
        if (PeakMemoryKb() > kPeakMemoryLimitKb)
            fault("peak memory " + std::to_string(PeakMemoryKb()) + " KB");
        if (const auto structure = CheckedStructure(copy->kind)) {
            const MemoryFile file(copy->bytes);
            if (!pstwrite::CheckPstFile(file.path()).problems.count(*structure))
                fault("check does not name the damaged " + *structure);
        }

        for (const ItemId& id : intact) {
            const uint32_t nid = id.first;
            ++checked;
            const std::string what =
                "item " + std::to_string(nid) + " " + *sound.listing[id].begin();
            if (auto e = run.loadErrors.find(id); e != run.loadErrors.end()) {
                fault(what + " fails to read: " + e->second);
            } else if (!run.digests.count(id)) {
                fault(what + " no longer reads");
            } else if (run.digests.at(id) != sound.digests.at(id)) {
                fault(what + " reads differently");
            }
            // Listed as before where what decides its list is intact as well: the
            // node-tree entries above it, and the name map (contacts and appointments
            // are told by named properties). A normal message whose folder cannot be
            // read is restored among the orphans; other items need their folders.
            if (run.status != AnalysisStatus::Completed ||
                AnyOverlap(map.AncestryFootprint(nid), copy->damaged) ||
                AnyOverlap(nameMap, copy->damaged))
                continue;
            if ((nid & 0x1F) != kNormalMessage &&
                AnyOverlap(map.FoldersAboveFootprint(nid), copy->damaged))
                continue;
            ++listedChecks;
            auto listed = run.listing.find(id);
            if (listed == run.listing.end()) {
                fault(what + " is no longer listed");
            } else if (listed->second != sound.listing[id]) {
                fault(what + " is listed as " + *listed->second.begin());
            }
        }
    }
    std::printf("[ damage ] %s: %zu copies, %zu intact items read again, %zu listings checked\n",
                source.name.c_str(), copies, checked, listedChecks);
    EXPECT_GT(copies, 20u);
    std::string report;
    for (size_t i = 0; i < faults.size() && i < 40; ++i) report += "  " + faults[i] + "\n";
    EXPECT_TRUE(faults.empty()) << faults.size() << " fault(s):\n" << report;
}

std::string ParamName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name;
    for (char c : info.param) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedCopies, ::testing::ValuesIn(SourceNames()), ParamName);

TEST(DamagedCopies, CorpusIsThere) {
    KESTREL_REQUIRE_CORPUS();
    EXPECT_FALSE(CorpusFiles().empty());
}

}  // namespace
}  // namespace kestrel::test
