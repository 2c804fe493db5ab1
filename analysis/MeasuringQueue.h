// Analyses sounds on worker threads while the calling thread reads the next sound and asks
// the player about it; the results come back in the order the sounds went in.
//
// Memory stays within one sound plus a small budget: a sound joins the ones being measured
// only while all of them together stay within kBudget bytes, and a larger one only once no
// other is in flight. So a show of any size holds at most its largest sound, or a few small
// ones, at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "analysis/SoundAnalysis.h"

namespace analysis {

class MeasuringQueue final {
  public:
    static constexpr int64_t kBudget = 24 << 20;

    // threads: worker threads, at least 1.
    explicit MeasuringQueue(int threads);
    // Runs every job submitted, then stops the workers.
    ~MeasuringQueue();
    MeasuringQueue(const MeasuringQueue&) = delete;
    MeasuringQueue& operator=(const MeasuringQueue&) = delete;

    // Blocks until a sound of `bytes` bytes may be read and submitted within the budget.
    void waitForRoom(int64_t bytes);
    // Queues job, which holds `bytes` of the budget until it has run on a worker (after
    // waitForRoom with the same size). What job captures is released on the worker.
    void submit(std::function<Analysis()> job, int64_t bytes);
    // Queues a result that needs no work.
    void submitDone(Analysis ready);
    // The next result in submission order: false when none is left, or (wait false) when
    // the next one is not finished yet.
    bool next(Analysis* result, bool wait);

  private:
    struct Job {
        std::function<Analysis()> work;
        int64_t bytes = 0;
        Analysis result;
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

}  // namespace analysis
