// Measures the sounds of project check on worker threads while the main thread reads the
// next sound from the container and asks SDL_mixer about it; the reports come back in the
// order the sounds went in.
//
// Memory stays within one sound plus a small budget: a sound joins the ones being measured
// only while all of them together stay within kBudget bytes, and a larger one only once
// no other is in flight. So a show of any size holds at most its largest sound, or a few
// small ones, at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/SoundCheck.h"

namespace vxtool {

class MeasuringQueue final {
  public:
    static constexpr int64_t kBudget = 24 << 20;

    // threads: worker threads, at least 1.
    explicit MeasuringQueue(int threads);
    // Waits for every sound submitted and stops the workers.
    ~MeasuringQueue();
    MeasuringQueue(const MeasuringQueue&) = delete;
    MeasuringQueue& operator=(const MeasuringQueue&) = delete;

    // Blocks until a sound of `bytes` bytes may be read and submitted within the budget.
    void waitForRoom(int64_t bytes);
    // Queues a sound of `bytes` bytes (after waitForRoom with the same size); null for an
    // entry whose report is already complete (no sound, or nothing to measure).
    void submit(std::unique_ptr<PendingSound> sound, int64_t bytes, SoundReport ready = {});
    // The next report in submission order: false when none is left, or (wait false) when
    // the next one is not finished yet.
    bool next(SoundReport* report, bool wait);

  private:
    struct Job {
        std::unique_ptr<PendingSound> sound;
        int64_t bytes = 0;
        SoundReport report;
        bool done = false;
    };
    void work();

    std::mutex m_mutex;
    std::condition_variable m_workAvailable;
    std::condition_variable m_jobDone;
    std::deque<std::shared_ptr<Job>> m_order;    // every job not yet handed back, in order
    std::deque<std::shared_ptr<Job>> m_waiting;  // jobs no worker has taken yet
    int64_t m_bytesInFlight = 0;
    int m_inFlight = 0;
    int m_threadCount;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

}  // namespace vxtool
