#include "cli/progress_bar.h"

#include <algorithm>

#include <fmt/format.h>

namespace kestrel::cli {

namespace {
constexpr int kBarWidth = 30;
// A terminal needs no more than a dozen redraws a second.
constexpr auto kRedrawEvery = std::chrono::milliseconds(80);
}  // namespace

std::string ProgressBar::Line(int64_t low, int64_t high, int64_t position, uint64_t folders) {
    // The range's top is three below the node count and may even be below its bottom
    // (a walk of three nodes or fewer): the bar then stays full rather than divide by it.
    const int64_t span = high - low;
    const int64_t done = std::clamp<int64_t>(position - low, 0, std::max<int64_t>(span, 0));
    const int percent = span > 0 ? static_cast<int>(done * 100 / span) : 100;
    const int filled = percent * kBarWidth / 100;
    return fmt::format("[{}{}] {:3d}%  {} nodes, {} folders", std::string(filled, '#'),
                       std::string(kBarWidth - filled, '-'), percent, position - low, folders);
}

std::string ProgressBar::ScanLine(uint64_t done, uint64_t total) {
    const uint64_t clamped = std::min(done, total);
    const int percent = total > 0 ? static_cast<int>(clamped * 100 / total) : 100;
    const int filled = percent * kBarWidth / 100;
    constexpr uint64_t kMiB = 1024 * 1024;
    return fmt::format("[{}{}] {:3d}%  scanning {} of {} MB", std::string(filled, '#'),
                       std::string(kBarWidth - filled, '-'), percent, clamped / kMiB,
                       (total + kMiB - 1) / kMiB);
}

void ProgressBar::ScanProgress(uint64_t done, uint64_t total) {
    std::lock_guard lock(mutex_);
    scanning_ = true;
    scanDone_ = done;
    scanTotal_ = total;
    Draw(false);
}

void ProgressBar::ProgressRange(int64_t low, int64_t high) {
    std::lock_guard lock(mutex_);
    scanning_ = false;
    low_ = low;
    high_ = high;
    position_ = low;
    Draw(true);
}

void ProgressBar::ProgressPosition(int64_t position) {
    std::lock_guard lock(mutex_);
    position_ = position;
    Draw(false);
}

void ProgressBar::FolderAdded(const std::string&, const std::string&, uint32_t, bool) {
    std::lock_guard lock(mutex_);
    ++folders_;
    Draw(false);
}

void ProgressBar::Finished(AnalysisStatus) {
    std::lock_guard lock(mutex_);
    if (!enabled_ || !drawn_) return;
    Draw(true);
    // Leave the last state on its own line; the summary or the JSON follows.
    std::fputc('\n', out_);
    std::fflush(out_);
    drawn_ = false;
}

void ProgressBar::Draw(bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < kRedrawEvery) return;
    lastDraw_ = now;
    drawn_ = true;
    // \r and erase-to-end: each drawing replaces the last on the same line.
    fmt::print(
        out_, "\r{}\x1b[K",
        scanning_ ? ScanLine(scanDone_, scanTotal_) : Line(low_, high_, position_, folders_));
    std::fflush(out_);
}

}  // namespace kestrel::cli
