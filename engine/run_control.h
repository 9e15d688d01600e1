#pragma once
// The one stop request of a run, with its pause: set by the front end, seen by the worker at
// its test points, by the folder walk, and (through stopWord) by the storage and item loops.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kestrel {

class RunControl {
  public:
    void Pause() {
        std::lock_guard lock(mutex_);
        paused_ = true;
    }
    void Resume() {
        {
            std::lock_guard lock(mutex_);
            paused_ = false;
        }
        wake_.notify_all();
    }
    // Ends a pause too. Safe from any thread.
    void RequestStop() {
        {
            std::lock_guard lock(mutex_);
            stopWord_ = 1;
        }
        wake_.notify_all();
    }
    void Reset() {
        std::lock_guard lock(mutex_);
        stopWord_ = 0;
        paused_ = false;
    }
    bool Paused() const { return paused_.load(); }
    bool StopRequested() const { return stopWord_.load() != 0; }
    // The test point: waits while paused (and not stopped); true when the run must end.
    bool TestPoint() {
        if (paused_.load()) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return !paused_.load() || stopWord_.load() != 0; });
        }
        return stopWord_.load() != 0;
    }
    // The word the storage layer polls (PstContext::stopFlag).
    const std::atomic<uint32_t>* stopWord() const { return &stopWord_; }

  private:
    std::atomic<uint32_t> stopWord_{0};
    std::atomic<bool> paused_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
};

}  // namespace kestrel
