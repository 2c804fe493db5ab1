#include "analysis/MeasuringQueue.h"

#include <algorithm>

namespace analysis {

MeasuringQueue::MeasuringQueue(int threads) : m_threadCount(std::max(1, threads)) {
    for (int i = 0; i < m_threadCount; ++i) m_threads.emplace_back([this] { work(); });
}

MeasuringQueue::~MeasuringQueue() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_workAvailable.notify_all();
    for (std::thread& t : m_threads) t.join();
}

void MeasuringQueue::work() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_workAvailable.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
        // Jobs already queued run even when stopping, so that none is lost.
        if (m_waiting.empty()) return;
        std::shared_ptr<Job> job = m_waiting.front();
        m_waiting.pop_front();
        std::function<Analysis()> run = std::move(job->work);
        lock.unlock();
        Analysis result = run();
        run = nullptr;  // the sound's bytes go here
        lock.lock();
        job->result = std::move(result);
        job->done = true;
        m_bytesInFlight -= job->bytes;
        --m_inFlight;
        m_jobDone.notify_all();
    }
}

void MeasuringQueue::waitForRoom(int64_t bytes) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_jobDone.wait(lock, [&] {
        // One sound more than there are workers waits ready, so that a worker that finishes
        // starts on the next one at once instead of waiting for it to be read.
        return m_inFlight == 0 ||
               (m_inFlight <= m_threadCount && m_bytesInFlight + bytes <= kBudget);
    });
}

void MeasuringQueue::submit(std::function<Analysis()> job, int64_t bytes) {
    auto entry = std::make_shared<Job>();
    entry->work = std::move(job);
    entry->bytes = bytes;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytesInFlight += bytes;
    ++m_inFlight;
    m_waiting.push_back(entry);
    m_order.push_back(std::move(entry));
    m_workAvailable.notify_one();
}

void MeasuringQueue::submitDone(Analysis ready) {
    auto entry = std::make_shared<Job>();
    entry->result = std::move(ready);
    entry->done = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_order.push_back(std::move(entry));
}

bool MeasuringQueue::next(Analysis* result, bool wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_order.empty()) return false;
    if (wait)
        m_jobDone.wait(lock, [this] { return m_order.front()->done; });
    else if (!m_order.front()->done)
        return false;
    *result = std::move(m_order.front()->result);
    m_order.pop_front();
    return true;
}

}  // namespace analysis
