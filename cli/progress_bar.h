#pragma once
// The analysis observer of the command line: a one-line progress bar on a terminal.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "engine/analysis_observer.h"

namespace kestrel::cli {

class ProgressBar : public AnalysisObserver {
  public:
    // Draws on out when enabled; otherwise watches silently.
    ProgressBar(std::FILE* out, bool enabled) : out_(out), enabled_(enabled) {}

    void ProgressRange(int64_t low, int64_t high) override;
    void ProgressPosition(int64_t position) override;
    void ScanProgress(uint64_t done, uint64_t total) override;
    void FolderAdded(const std::string& path, const std::string& containerClass, uint32_t folderNid,
                     bool mail) override;
    void Finished(AnalysisStatus status) override;

    // The line as it is drawn for these values (width 30 bar), for tests.
    static std::string Line(int64_t low, int64_t high, int64_t position, uint64_t folders);
    // The line of the deep scan, done of total bytes.
    static std::string ScanLine(uint64_t done, uint64_t total);

  private:
    void Draw(bool force);

    std::FILE* out_;
    bool enabled_;
    std::mutex mutex_;
    int64_t low_ = 0;
    int64_t high_ = 0;
    int64_t position_ = 0;
    uint64_t folders_ = 0;
    bool scanning_ = false;  // the deep scan's line is shown until the walk's range comes
    uint64_t scanDone_ = 0;
    uint64_t scanTotal_ = 0;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace kestrel::cli
