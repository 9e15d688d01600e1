#pragma once
// Runs the analysis over a mailbox made by the builder, written to a scratch file, and
// records what the observer was told.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "engine/analysis.h"
#include "support/mailbox_builder.h"

namespace kestrel::test {

// Every call the engine made, in order, as text ("page progress.html", "counter Inbox 2").
class RecordingObserver : public AnalysisObserver {
  public:
    void FolderAdded(const std::string& path, const std::string& containerClass, uint32_t,
                     bool mail) override {
        Add("folder " + path + (mail ? " mail" : "") + " [" + containerClass + "]");
    }
    void CounterChanged(std::string_view counter, uint64_t value) override {
        Add("counter " + std::string(counter) + " " + std::to_string(value));
    }
    void ProgressRange(int64_t low, int64_t high) override {
        Add("range " + std::to_string(low) + " " + std::to_string(high));
    }
    void ShowPage(std::string_view page) override { Add("page " + std::string(page)); }
    void ShowMessage(std::string_view text) override { Add("message " + std::string(text)); }
    void SaveEnabled(bool enabled) override { Add(enabled ? "save on" : "save off"); }
    void SaveShown(bool shown) override { Add(shown ? "save shown" : "save hidden"); }
    void PauseStopEnabled(bool enabled) override {
        Add(enabled ? "pause-stop on" : "pause-stop off");
    }
    void ProgressBarHidden() override { Add("bar hidden"); }
    void Finished(AnalysisStatus status) override {
        Add("finished " + std::string(StatusName(status)));
    }

    std::vector<std::string> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool Saw(const std::string& event) const {
        for (const auto& e : Events())
            if (e == event) return true;
        return false;
    }
    // The last value a counter was shown with; -1 when never.
    int64_t Counter(std::string_view counter) const {
        int64_t value = -1;
        const std::string prefix = "counter " + std::string(counter) + " ";
        for (const auto& e : Events())
            if (e.rfind(prefix, 0) == 0) value = std::stoll(e.substr(prefix.size()));
        return value;
    }

  protected:
    virtual void Add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }

    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// A scratch PST file that goes away with the test.
class ScratchFile {
  public:
    explicit ScratchFile(const std::vector<uint8_t>& image, std::string name = "box.pst") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kestrel-engine-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no scratch folder");
        folder_ = pattern;
        path_ = folder_ / name;
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    }
    ~ScratchFile() {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path folder_;
    std::filesystem::path path_;
};

struct Analysed {
    AnalysisStatus status = AnalysisStatus::Error;
    AnalysisResult result;
    RecordingObserver events;
    std::shared_ptr<ItemSource> source;

    const MailFolderEntry* Folder(std::string_view path) const {
        return result.folders.FindByPath(path);
    }
    std::vector<std::string> Subjects(std::string_view path) const {
        std::vector<std::string> subjects;
        if (const MailFolderEntry* f = Folder(path))
            for (const auto& m : f->messages) subjects.emplace_back(m.subject());
        return subjects;
    }
    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const auto& f : result.folders.entries()) paths.push_back(f.path);
        return paths;
    }
};

// A node written past the mailbox's own bookkeeping: any NID under any parent.
inline void AddRawNode(MailboxBuilder& box, uint32_t nid, uint32_t parent,
                       const std::vector<Prop>& props) {
    const StoredNode node = StoreNode(box.pst(), box.ltp().PropertyContext(props));
    box.pst().AddNode(nid, node.bidData, node.bidSub, parent);
}
inline std::vector<Prop> MailProps(const std::string& subject) {
    return {Prop::Unicode(0x001A, "IPM.Note"), Prop::Unicode(0x0037, subject)};
}

inline void AnalyseFile(const std::filesystem::path& file, Analysed& out,
                        bool restoreDeleted = false,
                        DeepScanMode deepScan = DeepScanMode::Automatic) {
    AnalysisOptions options;
    options.sourcePstPath = file.string();
    options.writeLog = false;
    options.restoreDeleted = restoreDeleted;
    options.deepScan = deepScan;
    std::shared_mutex mutex;
    RunControl control;
    out.status = RunAnalysis(options, out.result, mutex, out.events, control, &out.source);
}

inline void AnalyseImage(const std::vector<uint8_t>& image, Analysed& out,
                         bool restoreDeleted = false,
                         DeepScanMode deepScan = DeepScanMode::Automatic) {
    ScratchFile file(image);
    AnalyseFile(file.path(), out, restoreDeleted, deepScan);
}

inline void AnalyseBox(MailboxBuilder& box, Analysed& out, bool restoreDeleted = false) {
    AnalyseImage(box.Build(), out, restoreDeleted);
}

}  // namespace kestrel::test
